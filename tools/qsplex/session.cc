#include "tools/qsplex/session.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "qsstorage/qsstorage.h"
#include "records/node_records.h"
#include "standins/plex_controls.h"

namespace qsplex {

int Context::Fail(const std::string& subject,
                  const std::string& message) const {
  std::fprintf(stderr, "qsplex: %s: %s%s%s\n", command.c_str(), subject.c_str(),
               subject.empty() ? "" : ": ", message.c_str());
  return kExitFailure;
}

int Context::Fail(const std::string& subject, HRESULT hr) const {
  return Fail(subject, DescribeResult(hr));
}

std::vector<qss::AllocatedBlock> AllocatedBlocks() {
  std::vector<qss::AllocatedBlock> blocks;
  for (int id = QssPlex_NextBlockId(0); id != 0; id = QssPlex_NextBlockId(id)) {
    blocks.push_back({id, QssPlex_BlockWords(id)});
  }
  return blocks;
}

bool LoadImageFile(const Context& c) {
  QssPlex_Reset();
  std::FILE* file = std::fopen(c.image.c_str(), "rb");
  if (file == nullptr) {
    c.Fail(c.image, std::string(std::strerror(errno)) +
                        " (make one with 'qsplex init IMAGE')");
    return false;
  }
  std::fclose(file);
  if (QssPlex_Load(c.image.c_str()) != 0) {
    c.Fail(c.image,
           "not a plex image, or a damaged one: its header, block table or "
           "checksum is wrong");
    return false;
  }
  if (QssPlex_BlockWords(1) < 0 ||
      QssPlex_BlockWords(qss::kAnchorBlock) <= qss::kAnchorWord) {
    c.Fail(c.image,
           "not a plex image of this host: block 2 cannot hold the root "
           "anchor");
    return false;
  }
  return true;
}

bool OpenImage(const Context& c, bool change) {
  if (!LoadImageFile(c)) return false;
  const std::vector<qss::TreeFinding> findings =
      qss::CheckTree(AllocatedBlocks());
  if (!qss::TreeIsWalkable(findings)) {
    c.Fail(c.image, "the storage tree is damaged; 'qsplex check " + c.image +
                        "' lists what is wrong");
    return false;
  }
  if (change) QSStrg_RestoreRefCounts();
  return true;
}

bool ReplaceFile(const std::string& from, const std::string& to) {
#if defined(_WIN32)
  return MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
  return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

bool WritePlexFile(const std::string& path) {
  const std::string temporary = path + ".tmp";
  if (QssPlex_Save(temporary.c_str()) != 0) return false;
  if (ReplaceFile(temporary, path)) return true;
  std::remove(temporary.c_str());
  return false;
}

int SaveImage(const Context& c) {
  QSStrg_RestoreRefCounts();
  if (!WritePlexFile(c.image)) {
    return c.Fail(c.image, "cannot write the image; it is unchanged");
  }
  return 0;
}

bool NextElement(IEnumSTATSTG* elements, STATSTG* stat) {
  *stat = STATSTG{};
  return elements->Next(1, stat, nullptr) == S_OK;
}

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

bool OpenStorageAt(const Context& c, const std::vector<WideString>& names,
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

bool Locate(const Context& c, const std::string& path, DWORD parent_mode,
            bool create, Element* out) {
  if (!SplitPath(path, &out->names)) {
    c.Fail(path, "the path is not valid UTF-8");
    return false;
  }
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

bool LocateExisting(const Context& c, const std::string& path,
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
