#include "enum/enum_plex.h"

#include "storage/storage_plex.h"

namespace qss {

HRESULT CIStoragePlex::EnumElements(DWORD, void*, DWORD, IEnumSTATSTG** ppenum) {
  if (ppenum != nullptr) *ppenum = nullptr;
  return E_NOTIMPL;
}

}  // namespace qss
