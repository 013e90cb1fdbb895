// Elements found by path through the library's standard interfaces.
#ifndef QSSTORAGE_TOOLS_QSPLEX_TREE_LOOKUP_H_
#define QSSTORAGE_TOOLS_QSPLEX_TREE_LOOKUP_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/text.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {

// An element found by path: the root, or a child of `parent`.
struct Element {
  std::vector<WideString> names;  // the path, root first
  Ref<IStorage> parent;           // null for the root
  DWORD type = 0;                 // STGTY_STORAGE or STGTY_STREAM; 0: none
  uint64_t size = 0;
  DWORD mode = 0;
  CLSID clsid = {};

  bool is_root() const { return names.empty(); }
  const OLECHAR* name() const { return names.back().c_str(); }
  std::string path() const { return JoinPath(names, names.size()); }
};

// Opens the storage at the first `count` names of `names` with `mode`,
// creating missing ones when `create`. Prints the failure.
bool OpenStorageAt(const Reporter& c, const std::vector<WideString>& names,
                   size_t count, DWORD mode, bool create, Ref<IStorage>* out);
// Finds `path`: opens its parent with `parent_mode` (creating the storages
// on the way when `create`) and looks the last name up; a missing last
// element leaves type 0 and is not an error. Prints the failure.
bool Locate(const Reporter& c, const std::string& path, DWORD parent_mode,
            bool create, Element* out);
// Locate for an element that must exist: a missing one is a failure,
// printed as STG_E_FILENOTFOUND.
bool LocateExisting(const Reporter& c, const std::string& path,
                    DWORD parent_mode, Element* out);
// Looks `name` up among the elements of `storage`, as the library compares
// names. False when there is none.
bool FindChild(IStorage* storage, const OLECHAR* name, Element* out);
// Opens `element` as a storage: the root, or a child of its parent.
HRESULT OpenAsStorage(const Element& element, DWORD mode, IStorage** out);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_TREE_LOOKUP_H_
