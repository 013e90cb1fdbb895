#include <new>

#include "records/element_list.h"
#include "records/lifetime.h"
#include "records/names.h"
#include "records/node_records.h"
#include "storage/storage_plex.h"
#include "stream/stream_plex.h"

namespace qss {
namespace {

constexpr DWORD kAccessMask = STGM_WRITE | STGM_READWRITE;
constexpr DWORD kRefusedByCreate =
    STGM_DELETEONRELEASE | STGM_CONVERT | STGM_TRANSACTED;
constexpr DWORD kRefusedByOpen = kRefusedByCreate | STGM_CREATE;
constexpr int kInitialStreamBytes = 256;

bool FlagsAllowed(DWORD mode, DWORD refused) {
  return (mode & STGM_SHARE_EXCLUSIVE) != 0 && (mode & refused) == 0;
}

// A storage open for reading only, or not open, hands out its children for
// reading only.
bool OpenAccessAllowed(int parent_mode, DWORD mode) {
  return (parent_mode & kAccessMask) != 0 || (mode & kAccessMask) == 0;
}

// The out pointer, then the name. The four operations check them after
// access and flags, and before anything changes.
HRESULT CheckNameAndOut(const OLECHAR* name, const void* out, NameKey* key) {
  if (out == nullptr) return STG_E_INVALIDPOINTER;
  return PrepareName(name, key);
}

// Links a node just made under `storage`. When no entry can be had, the
// unlinked node goes back to the store, its only object detached first.
bool LinkNewNode(int storage, int child, int kind) {
  if (LinkElement(storage, child, kind)) return true;
  DeleteNode(child, kind);
  return false;
}

}  // namespace

HRESULT CIStoragePlex::CreateStream(const OLECHAR* pwcsName, DWORD grfMode,
                                    DWORD, DWORD, IStream** ppstm) {
  if (ppstm != nullptr) *ppstm = nullptr;
  if (!IsAlive()) return E_FAIL;
  if (!IsOpenForWriting()) return STG_E_ACCESSDENIED;
  if (!FlagsAllowed(grfMode, kRefusedByCreate)) return STG_E_INVALIDFLAG;
  NameKey key;
  const HRESULT args = CheckNameAndOut(pwcsName, ppstm, &key);
  if (args != S_OK) return args;
  if (FindElement(block_id(), key).entry != 0) return STG_E_FILEALREADYEXISTS;
  CImplIStreamPlex* stream = CreateStreamNode(key, kInitialStreamBytes);
  if (stream == nullptr) return E_OUTOFMEMORY;
  stream->SetOpenMode(static_cast<int>(grfMode));
  if (!LinkNewNode(block_id(), stream->block_id(), kKindStream)) {
    stream->Release();
    return E_OUTOFMEMORY;
  }
  *ppstm = stream;
  return S_OK;
}

HRESULT CIStoragePlex::OpenStream(const OLECHAR* pwcsName, void*, DWORD grfMode,
                                  DWORD, IStream** ppstm) {
  if (ppstm != nullptr) *ppstm = nullptr;
  if (!IsAlive()) return E_FAIL;
  if (!OpenAccessAllowed(GetOpenMode(), grfMode)) return STG_E_ACCESSDENIED;
  if (!FlagsAllowed(grfMode, kRefusedByOpen)) return STG_E_INVALIDFLAG;
  NameKey key;
  const HRESULT args = CheckNameAndOut(pwcsName, ppstm, &key);
  if (args != S_OK) return args;
  const Element found = FindElement(block_id(), key);
  if (found.entry == 0 || found.kind != kKindStream) return STG_E_FILENOTFOUND;
  auto* stream = new (std::nothrow) CImplIStreamPlex(found.child);
  if (stream == nullptr) return E_OUTOFMEMORY;
  // Every open decides the access of all objects over the stream.
  stream->SetOpenMode(static_cast<int>(grfMode));
  *ppstm = stream;
  return S_OK;
}

HRESULT CIStoragePlex::CreateStorage(const OLECHAR* pwcsName, DWORD grfMode,
                                     DWORD, DWORD, IStorage** ppstg) {
  if (ppstg != nullptr) *ppstg = nullptr;
  if (!IsAlive()) return E_FAIL;
  if (!IsOpenForWriting()) return STG_E_ACCESSDENIED;
  if (!FlagsAllowed(grfMode, kRefusedByCreate)) return STG_E_INVALIDFLAG;
  NameKey key;
  const HRESULT args = CheckNameAndOut(pwcsName, ppstg, &key);
  if (args != S_OK) return args;
  const Element existing = FindElement(block_id(), key);
  if (existing.entry != 0) {
    if ((grfMode & STGM_CREATE) == 0 || existing.kind != kKindStorage) {
      return STG_E_FILEALREADYEXISTS;
    }
    // The old storage goes first, even if the new one then cannot be made:
    // callers of STGM_CREATE rely on the name being free afterwards.
    DestroyChild(block_id(), existing.child, kKindStorage, existing.entry);
  }
  CIStoragePlex* storage = CreateStorageNode(key);
  if (storage == nullptr) return E_OUTOFMEMORY;
  storage->SetOpenModeIfNotOpen(static_cast<int>(grfMode));
  if (!LinkNewNode(block_id(), storage->block_id(), kKindStorage)) {
    storage->Release();
    return E_OUTOFMEMORY;
  }
  *ppstg = storage;
  return S_OK;
}

HRESULT CIStoragePlex::OpenStorage(const OLECHAR* pwcsName,
                                   IStorage* pstgPriority, DWORD grfMode,
                                   SNB snbExclude, DWORD, IStorage** ppstg) {
  if (ppstg != nullptr) *ppstg = nullptr;
  if (!IsAlive()) return E_FAIL;
  if (pstgPriority != nullptr || snbExclude != nullptr) {
    return STG_E_INVALIDPOINTER;
  }
  if (!OpenAccessAllowed(GetOpenMode(), grfMode)) return STG_E_ACCESSDENIED;
  if (!FlagsAllowed(grfMode, kRefusedByOpen)) return STG_E_INVALIDFLAG;
  NameKey key;
  const HRESULT args = CheckNameAndOut(pwcsName, ppstg, &key);
  if (args != S_OK) return args;
  const Element found = FindElement(block_id(), key);
  if (found.entry == 0 || found.kind != kKindStorage) {
    return STG_E_FILENOTFOUND;
  }
  auto* storage = new (std::nothrow) CIStoragePlex(found.child);
  if (storage == nullptr) return E_OUTOFMEMORY;
  // A storage keeps the mode of its first open since the last reset.
  storage->SetOpenModeIfNotOpen(static_cast<int>(grfMode));
  *ppstg = storage;
  return S_OK;
}

}  // namespace qss
