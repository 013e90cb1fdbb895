#include "storage/storage_plex.h"

namespace qss {

HRESULT CIStoragePlex::CopyTo(DWORD, const IID*, SNB, IStorage*) { return E_NOTIMPL; }
HRESULT CIStoragePlex::MoveElementTo(const OLECHAR*, IStorage*, const OLECHAR*, DWORD) { return E_NOTIMPL; }

}  // namespace qss
