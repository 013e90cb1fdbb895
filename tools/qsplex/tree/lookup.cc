#include "tools/qsplex/tree/lookup.h"

#include <utility>

#include "qsstorage/qsstorage.h"
#include "tools/qsplex/tree/path.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {

bool FindChild(IStorage* storage, const OLECHAR* name, Element* out) {
  Ref<IEnumSTATSTG> elements;
  if (FAILED(storage->EnumElements(0, nullptr, 0, elements.Out()))) {
    return false;
  }
  STATSTG stat = {};
  bool found = false;
  while (!found && NextElement(elements.get(), &stat)) {
    if (stat.pwcsName != nullptr && SameElementName(stat.pwcsName, name)) {
      found = true;
      out->type = stat.type;
      out->size = stat.cbSize.QuadPart;
      out->mode = stat.grfMode;
      out->clsid = stat.clsid;
    }
    CoTaskMemFree(stat.pwcsName);
  }
  return found;
}

bool OpenStorageAt(const Reporter& c, const std::vector<WideString>& names,
                   size_t count, DWORD mode, bool create, Ref<IStorage>* out) {
  Ref<IStorage> storage(GetRootIStorage());
  if (!storage) {
    c.Fail("/", E_OUTOFMEMORY);
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    Ref<IStorage> child;
    const OLECHAR* name = names[i].c_str();
    HRESULT hr =
        storage->OpenStorage(name, nullptr, mode, nullptr, 0, child.Out());
    if (hr == STG_E_FILENOTFOUND && create) {
      hr = storage->CreateStorage(name, kReadWrite, 0, 0, child.Out());
    }
    if (FAILED(hr)) {
      Element found;
      if (FindChild(storage.get(), name, &found) &&
          found.type == STGTY_STREAM) {
        c.Fail(JoinPath(names, i + 1), "is a stream, not a storage");
      } else if (hr == STG_E_FILENOTFOUND &&
                 c.Takes('p')) {
        c.Fail(JoinPath(names, i + 1),
               DescribeResult(hr) + "; -p makes the missing storages");
      } else {
        c.Fail(JoinPath(names, i + 1), hr);
      }
      return false;
    }
    storage = std::move(child);
  }
  *out = std::move(storage);
  return true;
}

bool Locate(const Reporter& c, const std::string& path, DWORD parent_mode,
            bool create, Element* out) {
  if (!ParsePath(c, path, &out->names)) return false;
  if (out->is_root()) {
    Ref<IStorage> root(GetRootIStorage());
    STATSTG stat = {};
    const HRESULT hr =
        root ? root->Stat(&stat, STATFLAG_NONAME) : E_OUTOFMEMORY;
    if (FAILED(hr)) {
      c.Fail("/", hr);
      return false;
    }
    out->type = STGTY_STORAGE;
    out->mode = stat.grfMode;
    out->clsid = stat.clsid;
    return true;
  }
  if (!OpenStorageAt(c, out->names, out->names.size() - 1, parent_mode, create,
                     &out->parent)) {
    return false;
  }
  FindChild(out->parent.get(), out->name(), out);
  return true;
}

bool LocateExisting(const Reporter& c, const std::string& path,
                    DWORD parent_mode, Element* out) {
  if (!Locate(c, path, parent_mode, false, out)) return false;
  if (out->type != 0) return true;
  c.Fail(out->path(), STG_E_FILENOTFOUND);
  return false;
}

HRESULT OpenAsStorage(const Element& element, DWORD mode, IStorage** out) {
  *out = nullptr;
  if (element.is_root()) {
    *out = GetRootIStorage();
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  return element.parent->OpenStorage(element.name(), nullptr, mode, nullptr, 0,
                                     out);
}

}  // namespace qsplex
