// Storage class ids across a copy. IStorage::CopyTo of this library carries
// names and bytes but no class id, so a copy into a compound file (or any
// storage) takes the class ids in a second walk.
#ifndef QSSTORAGE_TOOLS_QSPLEX_COMPOUND_CLASS_IDS_H_
#define QSSTORAGE_TOOLS_QSPLEX_COMPOUND_CLASS_IDS_H_

#include <vector>

#include "platform/com.h"
#include "support/utf8.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {

using qss_support::WideString;

// Where CopyClassIds failed: the names of the storage it was at, below the
// top, and whether the call that failed was on the destination's side.
struct CopyFailure {
  std::vector<WideString> names;
  bool in_dest = false;
};

// Sets on `dest` and on every storage below it the class id of the storage
// of the same path in `source`, where that is not null. Each storage of
// `source` must exist in `dest` (as after source->CopyTo(dest)); `source`'s
// storages are opened for reading, `dest`'s with STGM_READWRITE |
// STGM_SHARE_EXCLUSIVE. Depth-first without recursion, each storage open
// until everything below it is done; stops at the first failure and
// returns its code, and says where in `*failure` when given.
HRESULT CopyClassIds(IStorage* source, IStorage* dest,
                     CopyFailure* failure = nullptr);

// The same from a listing: sets on `dest` and on every storage below it
// the class id of the storage of the same path in `nodes` (a subtree as
// LoadTree lists it, `dest` standing for its top), where that is not null,
// for when the source is gone (moved). Storages without a name, and what
// lies below them, are passed by: no copy holds them. Stops at the first
// failure and returns its code.
HRESULT SetClassIds(IStorage* dest, const std::vector<TreeNode>& nodes);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_COMPOUND_CLASS_IDS_H_
