#include "records/names.h"
#include "records/node_records.h"
#include "storage/storage_plex.h"

namespace qss {

HRESULT CIStoragePlex::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
  if (!IsAlive()) return E_FAIL;
  if (pstatstg == nullptr) return STG_E_INVALIDPOINTER;
  const HRESULT named =
      StatName(block_id(), kStorageLayout, grfStatFlag, pstatstg);
  if (FAILED(named)) return named;
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
