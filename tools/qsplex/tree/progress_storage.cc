#include "tools/qsplex/tree/progress_storage.h"

#include <new>
#include <string>
#include <utility>

#include "support/com_ref.h"
#include "support/forwarding_storage.h"
#include "tools/qsplex/output/text.h"

namespace qsplex {
namespace {

using qss_support::Ref;

// Counts what a copy writes, and reports where a write fails; everything
// else goes to the inner stream.
class ProgressStream final : public IStream {
 public:
  ProgressStream(IStream* inner, Progress* progress, std::string path)
      : inner_(inner), progress_(progress), path_(std::move(path)) {
    inner->AddRef();
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) &&
        !IsEqualIID(riid, IID_ISequentialStream) &&
        !IsEqualIID(riid, IID_IStream)) {
      return E_NOINTERFACE;
    }
    *ppv = static_cast<IStream*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    if (--refs_ != 0) return refs_;
    delete this;
    return 0;
  }
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* read) override {
    return inner_->Read(pv, cb, read);
  }
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb,
                                  ULONG* written) override {
    ULONG count = 0;
    const HRESULT hr = inner_->Write(pv, cb, &count);
    if (written != nullptr) *written = count;
    progress_->Wrote(count);  // noexcept: shows nothing when memory runs out
    if (FAILED(hr)) progress_->Failed(path_);
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                 ULARGE_INTEGER* position) override {
    return inner_->Seek(move, origin, position);
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override {
    const HRESULT hr = inner_->SetSize(size);
    if (FAILED(hr)) progress_->Failed(path_);
    return hr;
  }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* to, ULARGE_INTEGER cb,
                                   ULARGE_INTEGER* read,
                                   ULARGE_INTEGER* written) override {
    return inner_->CopyTo(to, cb, read, written);
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override {
    return inner_->Commit(flags);
  }
  HRESULT STDMETHODCALLTYPE Revert() override { return inner_->Revert(); }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb,
                                       DWORD type) override {
    return inner_->LockRegion(offset, cb, type);
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset,
                                         ULARGE_INTEGER cb,
                                         DWORD type) override {
    return inner_->UnlockRegion(offset, cb, type);
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override {
    return inner_->Stat(stat, flags);
  }
  HRESULT STDMETHODCALLTYPE Clone(IStream** out) override {
    return inner_->Clone(out);
  }

 private:
  Ref<IStream> inner_;
  Progress* progress_;
  std::string path_;
  ULONG refs_ = 1;
};

class ProgressStorage final : public qss_support::ForwardingStorage {
 public:
  ProgressStorage(IStorage* inner, Progress* progress, std::string path)
      : ForwardingStorage(inner), progress_(progress), path_(std::move(path)) {
    inner->AddRef();
  }
  ~ProgressStorage() override { inner()->Release(); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IStorage)) {
      return E_NOINTERFACE;
    }
    *ppv = static_cast<IStorage*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    if (--refs_ != 0) return refs_;
    delete this;
    return 0;
  }
  HRESULT STDMETHODCALLTYPE CreateStream(const OLECHAR* name, DWORD mode,
                                         DWORD reserved1, DWORD reserved2,
                                         IStream** out) override {
    return Create<ProgressStream>(name, true, out, [&](IStream** made) {
      return inner()->CreateStream(name, mode, reserved1, reserved2, made);
    });
  }
  HRESULT STDMETHODCALLTYPE CreateStorage(const OLECHAR* name, DWORD mode,
                                          DWORD reserved1, DWORD reserved2,
                                          IStorage** out) override {
    return Create<ProgressStorage>(name, false, out, [&](IStorage** made) {
      return inner()->CreateStorage(name, mode, reserved1, reserved2, made);
    });
  }
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) override {
    return Failed(path_, inner()->SetClass(clsid));
  }

 private:
  // Tells the progress what `create` makes, and hands it out watched too,
  // so that what is made under it is seen.
  template <class Watched, class Element, class Make>
  HRESULT Create(const OLECHAR* name, bool stream, Element** out, Make create) {
    *out = nullptr;
    std::string path;
    if (!Report(name, stream, &path)) return E_OUTOFMEMORY;
    Ref<Element> created;
    const HRESULT hr = create(created.Out());
    if (FAILED(hr)) return Failed(path, hr);
    *out =
        new (std::nothrow) Watched(created.get(), progress_, std::move(path));
    return *out != nullptr ? hr : E_OUTOFMEMORY;
  }
  // Tells the progress where a call on this side failed; returns `hr`.
  HRESULT Failed(const std::string& path, HRESULT hr) noexcept {
    if (FAILED(hr)) progress_->Failed(path);
    return hr;
  }
  // Tells the progress what is being made, and `*path` where. Copies call
  // this from inside the library or the platform, which no exception may
  // cross: false when memory runs out.
  bool Report(const OLECHAR* name, bool stream, std::string* path) noexcept {
    try {
      *path = (path_ == "/" ? "/" : path_ + "/") + ShownName(name);
      progress_->Created(*path, stream);
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }

  Progress* progress_;
  std::string path_;
  ULONG refs_ = 1;
};

}  // namespace

IStorage* NewProgressStorage(IStorage* inner, Progress* progress,
                             const std::string& path) {
  return new (std::nothrow) ProgressStorage(inner, progress, path);
}

}  // namespace qsplex
