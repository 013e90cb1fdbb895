#include "records/element_list.h"
#include "records/lifetime.h"
#include "records/names.h"
#include "records/node_records.h"
#include "storage/storage_plex.h"

namespace qss {

HRESULT CIStoragePlex::DestroyElement(const OLECHAR* pwcsName) {
  if (!IsAlive()) return STG_E_REVERTED;
  if (!IsOpenForWriting()) return STG_E_ACCESSDENIED;
  NameKey key;
  const HRESULT prepared = PrepareName(pwcsName, &key);
  if (prepared != S_OK) return prepared;
  const Element found = FindElement(block_id(), key);
  if (found.entry == 0) return STG_E_FILENOTFOUND;
  DestroyChild(block_id(), found.child, found.kind, found.entry);
  return S_OK;
}

HRESULT CIStoragePlex::RenameElement(const OLECHAR* pwcsOldName,
                                     const OLECHAR* pwcsNewName) {
  if (!IsAlive()) return STG_E_REVERTED;
  if (!IsOpenForWriting()) return STG_E_ACCESSDENIED;
  NameKey old_key;
  HRESULT prepared = PrepareName(pwcsOldName, &old_key);
  if (prepared != S_OK) return prepared;
  const Element found = FindElement(block_id(), old_key);
  if (found.entry == 0) return STG_E_FILENOTFOUND;
  NameKey new_key;
  prepared = PrepareName(pwcsNewName, &new_key);
  if (prepared != S_OK) return prepared;
  if (FindElement(block_id(), new_key).entry != 0) {
    return STG_E_FILEALREADYEXISTS;
  }
  return StoreNodeName(found.child, LayoutOf(found.kind), new_key)
             ? S_OK
             : E_OUTOFMEMORY;
}

}  // namespace qss
