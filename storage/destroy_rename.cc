#include <new>

#include "records/names.h"
#include "records/node_records.h"
#include "storage/storage_plex.h"
#include "stream/stream_plex.h"

namespace qss {
namespace {

// Writes the new name through a short-lived object over the child, as any
// other holder of the node would.
template <class Object>
HRESULT RenameThrough(int child, const char* ansi) {
  auto* object = new (std::nothrow) Object(child);
  if (object == nullptr) return E_OUTOFMEMORY;
  const bool stored = object->SetName(ansi);
  object->Release();
  return stored ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

HRESULT CIStoragePlex::DestroyElement(const OLECHAR* pwcsName) {
  if (!IsAlive()) return STG_E_REVERTED;
  if (!IsOpenForWriting()) return STG_E_ACCESSDENIED;
  const char* ansi;
  const HRESULT converted = ConvertName(pwcsName, &ansi);
  if (converted != S_OK) return converted;
  int kind = -1;
  int entry = 0;
  const int child = FindElement(ansi, &kind, &entry);
  if (child == 0) return STG_E_FILENOTFOUND;
  DestroyChild(child, kind, entry);
  return S_OK;
}

HRESULT CIStoragePlex::RenameElement(const OLECHAR* pwcsOldName,
                                     const OLECHAR* pwcsNewName) {
  if (!IsAlive()) return STG_E_REVERTED;
  if (!IsOpenForWriting()) return STG_E_ACCESSDENIED;
  const char* ansi;
  HRESULT converted = ConvertName(pwcsOldName, &ansi);
  if (converted != S_OK) return converted;
  int kind = -1;
  const int child = FindElement(ansi, &kind);
  if (child == 0) return STG_E_FILENOTFOUND;
  // Both names share the one conversion buffer: from here on `ansi` is the
  // new name, and the old one is known only by `child`.
  converted = ConvertName(pwcsNewName, &ansi);
  if (converted != S_OK) return converted;
  int taken_kind = -1;
  if (FindElement(ansi, &taken_kind) != 0) return STG_E_FILEALREADYEXISTS;
  if (kind == kKindStorage) return RenameThrough<CIStoragePlex>(child, ansi);
  return RenameThrough<CImplIStreamPlex>(child, ansi);
}

}  // namespace qss
