#include "enum/enum_plex.h"

#include <new>

#include "records/element_list.h"
#include "records/node_records.h"
#include "storage/storage_plex.h"
#include "stream/stream_plex.h"

namespace qss {
namespace {

// Fills `record` through the child's own Stat, so an enumerated element
// reads exactly like the opened one. A temporary object that cannot be made
// counts as a failed Stat.
template <class Element>
HRESULT StatThrough(int child, STATSTG* record) {
  auto* element = new (std::nothrow) Element(child);
  if (element == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = element->Stat(record, STATFLAG_DEFAULT);
  element->Release();
  return hr;
}

HRESULT StatChild(int kind, int child, STATSTG* record) {
  if (kind == kKindStorage) return StatThrough<CIStoragePlex>(child, record);
  if (kind == kKindStream) return StatThrough<CImplIStreamPlex>(child, record);
  return E_FAIL;
}

}  // namespace

HRESULT CIStoragePlex::EnumElements(DWORD, void*, DWORD,
                                    IEnumSTATSTG** ppenum) {
  if (ppenum != nullptr) *ppenum = nullptr;
  if (!IsAlive()) return STG_E_REVERTED;
  if (ppenum == nullptr) return STG_E_INVALIDPOINTER;
  const int first = FirstEntry(block_id());
  auto* elements = new (std::nothrow) CImplIEnumSTATStg(first, first);
  if (elements == nullptr) return E_OUTOFMEMORY;
  *ppenum = elements;
  return S_OK;
}

CImplIEnumSTATStg::CImplIEnumSTATStg(int start, int position)
    : cursor_(start, position) {}

HRESULT CImplIEnumSTATStg::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (IsNullAddress(&riid)) return E_NOINTERFACE;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IEnumSTATSTG)) {
    return E_NOINTERFACE;
  }
  *ppv = static_cast<IEnumSTATSTG*>(this);
  AddRef();
  return S_OK;
}

ULONG CImplIEnumSTATStg::AddRef() { return ++ref_count_; }

ULONG CImplIEnumSTATStg::Release() {
  if (--ref_count_ != 0) return ref_count_;
  delete this;
  return 0;
}

HRESULT CImplIEnumSTATStg::Next(ULONG celt, STATSTG* rgelt,
                                ULONG* pceltFetched) {
  if (pceltFetched != nullptr) *pceltFetched = 0;
  if (celt != 0 && rgelt == nullptr) return STG_E_INVALIDPOINTER;
  ULONG fetched = 0;
  // The cursor rests only on linked entries: whatever unlinks or frees an
  // entry moves it on first, and a linked entry's child is a live node.
  Element element;
  while (fetched < celt && cursor_.Step(&element)) {
    if (element.child == 0) continue;
    if (SUCCEEDED(StatChild(element.kind, element.child, &rgelt[fetched]))) {
      ++fetched;
    }
  }
  if (pceltFetched != nullptr) *pceltFetched = fetched;
  return fetched == celt ? S_OK : S_FALSE;
}

HRESULT CImplIEnumSTATStg::Skip(ULONG celt) {
  ULONG skipped = 0;
  Element element;
  while (skipped < celt && cursor_.Step(&element)) ++skipped;
  return skipped == celt ? S_OK : S_FALSE;
}

HRESULT CImplIEnumSTATStg::Reset() {
  cursor_.Reset();
  return S_OK;
}

HRESULT CImplIEnumSTATStg::Clone(IEnumSTATSTG** ppenum) {
  if (ppenum == nullptr) return STG_E_INVALIDPOINTER;
  *ppenum = nullptr;
  auto* copy =
      new (std::nothrow) CImplIEnumSTATStg(cursor_.start(), cursor_.position());
  if (copy == nullptr) return E_OUTOFMEMORY;
  *ppenum = copy;
  return S_OK;
}

}  // namespace qss
