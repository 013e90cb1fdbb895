#include <cstring>

#include "records/heap.h"
#include "records/names.h"
#include "records/node_records.h"
#include "records/plex.h"
#include "storage/storage_names.h"
#include "storage/storage_plex.h"

namespace qss {

OLECHAR* StorageNameBuffer() {
  static OLECHAR buffer[kWideNameBufferChars];
  return buffer;
}

LPOLESTR CoTaskMemCopy(const OLECHAR* wide) {
  const size_t bytes = (WideLength(wide) + 1) * sizeof(OLECHAR);
  auto* copy = static_cast<LPOLESTR>(AllocateForCaller(bytes));
  if (copy != nullptr) std::memcpy(copy, wide, bytes);
  return copy;
}

HRESULT CIStoragePlex::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
  if (!IsAlive()) return E_FAIL;
  if (pstatstg == nullptr) return STG_E_INVALIDPOINTER;
  if (grfStatFlag != STATFLAG_NONAME) {
    pstatstg->pwcsName = nullptr;
    const OLECHAR* wide =
        ReadWideNodeName(block_id(), kStorageLayout, StorageNameBuffer());
    if (wide != nullptr) {
      pstatstg->pwcsName = CoTaskMemCopy(wide);
      if (pstatstg->pwcsName == nullptr) return E_OUTOFMEMORY;
    }
  }
  pstatstg->type = STGTY_STORAGE;
  pstatstg->grfMode = GetOpenMode();
  pstatstg->clsid = GetClassId();
  return S_OK;
}

HRESULT CIStoragePlex::SetClass(REFCLSID clsid) {
  if (!IsAlive()) return STG_E_REVERTED;
  if (!IsOpenForWriting()) return STG_E_ACCESSDENIED;
  if (IsNullAddress(&clsid)) return STG_E_INVALIDPOINTER;
  SetClassId(clsid);
  return S_OK;
}

HRESULT CIStoragePlex::SetElementTimes(const OLECHAR*, const FILETIME*,
                                       const FILETIME*, const FILETIME*) {
  return E_NOTIMPL;
}

HRESULT CIStoragePlex::SetStateBits(DWORD, DWORD) { return S_OK; }
HRESULT CIStoragePlex::Commit(DWORD) { return S_OK; }
HRESULT CIStoragePlex::Revert() { return S_OK; }

}  // namespace qss
