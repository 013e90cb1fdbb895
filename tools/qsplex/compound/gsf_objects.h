// What the native compound-file storages share: owners for GObjects and
// COM objects, the COM object skeleton with the answers neither kind of
// storage gives, and conversions between libgsf's terms and ours.
#ifndef QSSTORAGE_TOOLS_QSPLEX_COMPOUND_GSF_OBJECTS_H_
#define QSSTORAGE_TOOLS_QSPLEX_COMPOUND_GSF_OBJECTS_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/com.h"
#include "tools/qsplex/compound/gsf_library.h"
#include "tools/qsplex/output/text.h"

namespace qsplex {
namespace gsf {

// Codes of the platform's compound files that the library never gives.
constexpr HRESULT kPathNotFound = static_cast<HRESULT>(0x80030003);
constexpr HRESULT kInvalidHeader = static_cast<HRESULT>(0x800300FB);
constexpr HRESULT kFileCorrupt = static_cast<HRESULT>(0x80030109);

// The mode of every element a copy creates.
constexpr DWORD kCreateMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

struct ReleaseObject {
  void operator()(IUnknown* object) const { object->Release(); }
};
template <class T>
using ComPtr = std::unique_ptr<T, ReleaseObject>;
struct UnrefObject {
  void operator()(gpointer object) const { gsf->object_unref(object); }
};
template <class T>
using GPtr = std::unique_ptr<T, UnrefObject>;

// What the two calls answer when libgsf cannot be loaded (the platform's
// ERROR_MOD_NOT_FOUND); export and import say why before they get there.
constexpr HRESULT kLibraryMissing = static_cast<HRESULT>(0x8007007E);

// Class ids as a compound file stores them: little-endian, field by field.
CLSID ClassIdFromBytes(const guint8* bytes);
void ClassIdToBytes(const CLSID& id, guint8* bytes);

// libgsf names elements in UTF-8. False for a name with a lone surrogate.
bool NameToUtf8(const WideString& name, std::string* utf8);
// Empty for a null or invalid name.
WideString NameFromUtf8(const char* utf8);

// Fills `stat`, the name in CoTaskMemAlloc memory unless STATFLAG_NONAME.
HRESULT FillStat(STATSTG* stat, DWORD flags, const WideString& name, DWORD type,
                 uint64_t size, DWORD mode, const CLSID& clsid);

// What a failed libgsf file open said, as the platform's compound files say
// it; `missing` for a name that is not there. Frees `error`.
HRESULT FileError(GError* error, HRESULT missing);

// The interfaces QueryInterface gives, by the object's own interface.
inline bool Answers(REFIID riid, IStorage*) {
  return IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IStorage);
}
inline bool Answers(REFIID riid, IStream*) {
  return IsEqualIID(riid, IID_IUnknown) ||
         IsEqualIID(riid, IID_ISequentialStream) ||
         IsEqualIID(riid, IID_IStream);
}
inline bool Answers(REFIID riid, IEnumSTATSTG*) {
  return IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumSTATSTG);
}

// A heap object with its reference count, freed by its last Release.
template <class Interface>
class Object : public Interface {
 public:
  virtual ~Object() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!Answers(riid, static_cast<Interface*>(nullptr))) return E_NOINTERFACE;
    *out = static_cast<Interface*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 private:
  ULONG refs_ = 1;
};

// What neither kind of storage does; each overrides what it can.
class StorageBase : public Object<IStorage> {
 public:
  HRESULT STDMETHODCALLTYPE CreateStream(const OLECHAR*, DWORD, DWORD, DWORD,
                                         IStream** out) override {
    return Refuse(out, STG_E_ACCESSDENIED);
  }
  HRESULT STDMETHODCALLTYPE OpenStream(const OLECHAR*, void*, DWORD, DWORD,
                                       IStream** out) override {
    return Refuse(out, STG_E_ACCESSDENIED);
  }
  HRESULT STDMETHODCALLTYPE CreateStorage(const OLECHAR*, DWORD, DWORD, DWORD,
                                          IStorage** out) override {
    return Refuse(out, STG_E_ACCESSDENIED);
  }
  HRESULT STDMETHODCALLTYPE OpenStorage(const OLECHAR*, IStorage*, DWORD, SNB,
                                        DWORD, IStorage** out) override {
    return Refuse(out, STG_E_ACCESSDENIED);
  }
  HRESULT STDMETHODCALLTYPE CopyTo(DWORD, const IID*, SNB, IStorage*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE MoveElementTo(const OLECHAR*, IStorage*,
                                          const OLECHAR*, DWORD) override {
    return STG_E_ACCESSDENIED;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE EnumElements(DWORD, void*, DWORD,
                                         IEnumSTATSTG** out) override {
    return Refuse(out, E_NOTIMPL);
  }
  HRESULT STDMETHODCALLTYPE DestroyElement(const OLECHAR*) override {
    return STG_E_ACCESSDENIED;
  }
  HRESULT STDMETHODCALLTYPE RenameElement(const OLECHAR*,
                                          const OLECHAR*) override {
    return STG_E_ACCESSDENIED;
  }
  HRESULT STDMETHODCALLTYPE SetElementTimes(const OLECHAR*, const FILETIME*,
                                            const FILETIME*,
                                            const FILETIME*) override {
    return STG_E_ACCESSDENIED;
  }
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID) override {
    return STG_E_ACCESSDENIED;
  }
  HRESULT STDMETHODCALLTYPE SetStateBits(DWORD, DWORD) override {
    return STG_E_ACCESSDENIED;
  }

 protected:
  template <class T>
  static HRESULT Refuse(T** out, HRESULT hr) {
    if (out == nullptr) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    return hr;
  }
};

class StreamBase : public Object<IStream> {
 public:
  HRESULT STDMETHODCALLTYPE Read(void*, ULONG, ULONG* read) override {
    if (read != nullptr) *read = 0;
    return STG_E_ACCESSDENIED;
  }
  HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG* written) override {
    if (written != nullptr) *written = 0;
    return STG_E_ACCESSDENIED;
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override {
    return STG_E_ACCESSDENIED;
  }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                   ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER,
                                       DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER,
                                         DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE Clone(IStream** out) override {
    if (out == nullptr) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    return E_NOTIMPL;
  }

 protected:
  // The position a Seek asks for, or -1 when it is before the start.
  static int64_t Target(LARGE_INTEGER move, DWORD origin, uint64_t position,
                        uint64_t size) {
    int64_t base = 0;
    if (origin == STREAM_SEEK_CUR) base = static_cast<int64_t>(position);
    if (origin == STREAM_SEEK_END) base = static_cast<int64_t>(size);
    if (origin > STREAM_SEEK_END) return -1;
    const int64_t target = base + move.QuadPart;
    return target < 0 ? -1 : target;
  }
};

}  // namespace gsf
}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_COMPOUND_GSF_OBJECTS_H_
