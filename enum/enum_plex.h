// CImplIEnumSTATStg: the library's IEnumSTATSTG over one element list. It
// holds two entry ids (start and position) and reads the list from the
// plex at each step; entries linked in after its creation stand before its
// start and are never visited. Entries unlinked while it lives are stepped
// over, so an element destroyed or moved away is not reported, and the
// enumerator of a destroyed storage runs out. It holds no reference to its
// storage, which may be released first.
//
// Next fills each record through the child's own Stat (name included) and
// counts only the records filled; Skip counts list entries. A null array
// with a count above 0, or a null out pointer, gives STG_E_INVALIDPOINTER.
#ifndef QSSTORAGE_ENUM_ENUM_PLEX_H_
#define QSSTORAGE_ENUM_ENUM_PLEX_H_

#include "platform/com.h"
#include "records/element_list.h"

namespace qss {

class CImplIEnumSTATStg : public IEnumSTATSTG {
 public:
  // An enumerator from `start` (0 = empty list) now at `position`,
  // reference count 1.
  CImplIEnumSTATStg(int start, int position);
  CImplIEnumSTATStg(const CImplIEnumSTATStg&) = delete;
  CImplIEnumSTATStg& operator=(const CImplIEnumSTATStg&) = delete;
  virtual ~CImplIEnumSTATStg() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Next(ULONG celt, STATSTG* rgelt,
                                 ULONG* pceltFetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE Clone(IEnumSTATSTG** ppenum) override;

 private:
  EntryCursor cursor_;
  ULONG ref_count_ = 1;
};

}  // namespace qss

#endif  // QSSTORAGE_ENUM_ENUM_PLEX_H_
