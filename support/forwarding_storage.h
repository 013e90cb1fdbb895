// An IStorage of another implementation over one of ours (or anyone's):
// every IStorage call goes on to the inner storage unchanged. Derived
// classes answer IUnknown and may take over any call.
#ifndef QSSTORAGE_SUPPORT_FORWARDING_STORAGE_H_
#define QSSTORAGE_SUPPORT_FORWARDING_STORAGE_H_

#include "platform/com.h"

namespace qss_support {

class ForwardingStorage : public IStorage {
 public:
  // Holds no reference to `inner`: a derived class that outlives its
  // caller's reference takes one.
  explicit ForwardingStorage(IStorage* inner) : inner_(inner) {}
  virtual ~ForwardingStorage() = default;

  HRESULT STDMETHODCALLTYPE CreateStream(const OLECHAR* name, DWORD mode,
                                         DWORD reserved1, DWORD reserved2,
                                         IStream** out) override {
    return inner_->CreateStream(name, mode, reserved1, reserved2, out);
  }
  HRESULT STDMETHODCALLTYPE OpenStream(const OLECHAR* name, void* reserved1,
                                       DWORD mode, DWORD reserved2,
                                       IStream** out) override {
    return inner_->OpenStream(name, reserved1, mode, reserved2, out);
  }
  HRESULT STDMETHODCALLTYPE CreateStorage(const OLECHAR* name, DWORD mode,
                                          DWORD reserved1, DWORD reserved2,
                                          IStorage** out) override {
    return inner_->CreateStorage(name, mode, reserved1, reserved2, out);
  }
  HRESULT STDMETHODCALLTYPE OpenStorage(const OLECHAR* name, IStorage* priority,
                                        DWORD mode, SNB exclude, DWORD reserved,
                                        IStorage** out) override {
    return inner_->OpenStorage(name, priority, mode, exclude, reserved, out);
  }
  HRESULT STDMETHODCALLTYPE CopyTo(DWORD count, const IID* exclude_ids,
                                   SNB exclude, IStorage* to) override {
    return inner_->CopyTo(count, exclude_ids, exclude, to);
  }
  HRESULT STDMETHODCALLTYPE MoveElementTo(const OLECHAR* name, IStorage* to,
                                          const OLECHAR* new_name,
                                          DWORD flags) override {
    return inner_->MoveElementTo(name, to, new_name, flags);
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override {
    return inner_->Commit(flags);
  }
  HRESULT STDMETHODCALLTYPE Revert() override { return inner_->Revert(); }
  HRESULT STDMETHODCALLTYPE EnumElements(DWORD reserved1, void* reserved2,
                                         DWORD reserved3,
                                         IEnumSTATSTG** out) override {
    return inner_->EnumElements(reserved1, reserved2, reserved3, out);
  }
  HRESULT STDMETHODCALLTYPE DestroyElement(const OLECHAR* name) override {
    return inner_->DestroyElement(name);
  }
  HRESULT STDMETHODCALLTYPE RenameElement(const OLECHAR* from,
                                          const OLECHAR* to) override {
    return inner_->RenameElement(from, to);
  }
  HRESULT STDMETHODCALLTYPE SetElementTimes(const OLECHAR* name,
                                            const FILETIME* created,
                                            const FILETIME* accessed,
                                            const FILETIME* modified) override {
    return inner_->SetElementTimes(name, created, accessed, modified);
  }
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) override {
    return inner_->SetClass(clsid);
  }
  HRESULT STDMETHODCALLTYPE SetStateBits(DWORD bits, DWORD mask) override {
    return inner_->SetStateBits(bits, mask);
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override {
    return inner_->Stat(stat, flags);
  }

 protected:
  IStorage* inner() const { return inner_; }

 private:
  IStorage* inner_;
};

}  // namespace qss_support

#endif  // QSSTORAGE_SUPPORT_FORWARDING_STORAGE_H_
