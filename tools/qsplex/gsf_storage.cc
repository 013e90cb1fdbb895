// libgsf writes a compound file front to back: a stream's first 4 KiB wait
// in memory, beyond that its bytes go straight to the file, so only one
// stream may grow at a time, and the directory is written when the root
// closes. Its objects are GObjects, ours COM objects; each of ours holds a
// GObject reference, and every object of a file being written shares one
// Writer that knows the open stream and whether the file is finished.
#include "tools/qsplex/gsf_storage.h"

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <utility>
#include <vector>

#include "tools/qsplex/compound_directory.h"
#include "tools/qsplex/export_check.h"
#include "tools/qsplex/text.h"

namespace qsplex {
namespace {

// Codes of the platform's compound files that the library never gives.
constexpr HRESULT kPathNotFound = static_cast<HRESULT>(0x80030003);
constexpr HRESULT kInvalidHeader = static_cast<HRESULT>(0x800300FB);
constexpr HRESULT kFileCorrupt = static_cast<HRESULT>(0x80030109);

constexpr DWORD kCreateMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kRootWriteMode =
    STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kRootReadMode = STGM_READ | STGM_SHARE_DENY_WRITE;
constexpr size_t kCopyChunk = 64 * 1024;
// A directory entry holds a stream's size in 32 bits.
constexpr uint64_t kMaxStreamBytes = 0xFFFFFFFFu;

struct ReleaseObject {
  void operator()(IUnknown* object) const { object->Release(); }
};
template <class T>
using ComPtr = std::unique_ptr<T, ReleaseObject>;
struct UnrefObject {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using GPtr = std::unique_ptr<T, UnrefObject>;

void InitGsf() {
  static const bool done = [] {
    gsf_init();
    return true;
  }();
  (void)done;
}

// Class ids are stored little-endian, field by field.
CLSID ClassIdFromBytes(const guint8* b) {
  CLSID id;
  id.Data1 = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
             static_cast<uint32_t>(b[2]) << 16 |
             static_cast<uint32_t>(b[3]) << 24;
  id.Data2 = static_cast<uint16_t>(b[4] | b[5] << 8);
  id.Data3 = static_cast<uint16_t>(b[6] | b[7] << 8);
  std::memcpy(id.Data4, b + 8, 8);
  return id;
}

void ClassIdToBytes(const CLSID& id, guint8* b) {
  for (int i = 0; i < 4; ++i) b[i] = static_cast<guint8>(id.Data1 >> (8 * i));
  for (int i = 0; i < 2; ++i) {
    b[4 + i] = static_cast<guint8>(id.Data2 >> (8 * i));
    b[6 + i] = static_cast<guint8>(id.Data3 >> (8 * i));
  }
  std::memcpy(b + 8, id.Data4, 8);
}

// libgsf names elements in UTF-8. False for a name with a lone surrogate.
bool NameToUtf8(const WideString& name, std::string* utf8) {
  gchar* converted = g_utf16_to_utf8(
      reinterpret_cast<const gunichar2*>(name.data()),
      static_cast<glong>(name.size()), nullptr, nullptr, nullptr);
  if (converted == nullptr) return false;
  *utf8 = converted;
  g_free(converted);
  return true;
}

WideString NameFromUtf8(const char* utf8) {
  glong units = 0;
  gunichar2* converted =
      utf8 == nullptr ? nullptr
                      : g_utf8_to_utf16(utf8, -1, nullptr, &units, nullptr);
  if (converted == nullptr) return WideString();
  WideString name(reinterpret_cast<const OLECHAR*>(converted),
                  static_cast<size_t>(units));
  g_free(converted);
  return name;
}

HRESULT FillStat(STATSTG* stat, DWORD flags, const WideString& name, DWORD type,
                 uint64_t size, DWORD mode, const CLSID& clsid) {
  if (stat == nullptr) return STG_E_INVALIDPOINTER;
  *stat = STATSTG{};
  if ((flags & STATFLAG_NONAME) == 0) {
    const size_t bytes = (name.size() + 1) * sizeof(OLECHAR);
    stat->pwcsName = static_cast<OLECHAR*>(CoTaskMemAlloc(bytes));
    if (stat->pwcsName == nullptr) return STG_E_INSUFFICIENTMEMORY;
    std::memcpy(stat->pwcsName, name.c_str(), bytes);
  }
  stat->type = type;
  stat->cbSize.QuadPart = size;
  stat->grfMode = mode;
  stat->clsid = clsid;
  return S_OK;
}

bool Answers(REFIID riid, IStorage*) {
  return IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IStorage);
}
bool Answers(REFIID riid, IStream*) {
  return IsEqualIID(riid, IID_IUnknown) ||
         IsEqualIID(riid, IID_ISequentialStream) ||
         IsEqualIID(riid, IID_IStream);
}
bool Answers(REFIID riid, IEnumSTATSTG*) {
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

// ---- Writing -------------------------------------------------------------

// Where libgsf writes the file: beside it, as the Win32 export does.
std::string TemporaryName(const std::string& path) { return path + ".tmp"; }

// A storage of the file being written, shared by every object over it, so
// that a storage opened again knows the names made in it before.
struct WriteDir {
  GPtr<GsfOutfile> outfile;
  WideString name;
  CLSID clsid{};
  std::set<WideString> keys;  // CompoundNameKey of every child
  std::map<WideString, std::shared_ptr<WriteDir>> storages;  // by key
};

class Writer {
 public:
  Writer(GPtr<GsfOutput> sink, std::shared_ptr<WriteDir> root, std::string path)
      : sink_(std::move(sink)),
        root_(std::move(root)),
        path_(std::move(path)) {}
  ~Writer() { Finish(false); }
  void AddRef() { ++refs_; }
  void Release() {
    if (--refs_ == 0) delete this;
  }

  const std::shared_ptr<WriteDir>& root() const { return root_; }
  GsfOutput* open_stream() const { return open_stream_; }
  void set_open_stream(GsfOutput* stream) { open_stream_ = stream; }

  // S_OK while objects of the file may still write.
  HRESULT Check() const {
    if (finished_) return STG_E_REVERTED;
    return failure_;
  }
  // Records the first failure: the file is then never kept.
  HRESULT Fail(HRESULT hr) {
    if (SUCCEEDED(failure_)) failure_ = hr;
    return hr;
  }
  // A failed write of libgsf shows as an error on the file it writes to.
  HRESULT CheckSink() {
    return gsf_output_error(sink_.get()) != nullptr ? Fail(STG_E_MEDIUMFULL)
                                                    : S_OK;
  }

  // Closes `stream` if it is the open one: it takes its last block then.
  void CloseStream(GsfOutput* stream) {
    if (stream == nullptr || stream != open_stream_) return;
    open_stream_ = nullptr;
    if (!gsf_output_close(stream)) Fail(STG_E_MEDIUMFULL);
    CheckSink();
  }

  // Ends the file, keeping it only when `keep` and nothing failed. An error
  // set on the file before the root closes makes libgsf delete what it
  // wrote instead of renaming it to the temporary name. A kept file gets
  // its directory balanced there and then replaces the file whole.
  HRESULT Finish(bool keep) {
    if (finished_) return STG_E_REVERTED;
    CloseStream(open_stream_);
    if (!keep || FAILED(failure_)) {
      gsf_output_set_error(sink_.get(), 0, "abandoned");
    }
    const bool closed = gsf_output_close(GSF_OUTPUT(root_->outfile.get()));
    finished_ = true;
    if (FAILED(failure_)) return failure_;
    if (!closed || gsf_output_error(sink_.get()) != nullptr) {
      return Fail(STG_E_MEDIUMFULL);
    }
    const std::string temporary = TemporaryName(path_);
    HRESULT hr = BalanceDirectory(temporary);
    if (SUCCEEDED(hr) && std::rename(temporary.c_str(), path_.c_str()) != 0) {
      hr = STG_E_ACCESSDENIED;
    }
    if (FAILED(hr)) std::remove(temporary.c_str());
    return FAILED(hr) ? Fail(hr) : S_OK;
  }

 private:
  GPtr<GsfOutput> sink_;
  std::shared_ptr<WriteDir> root_;
  std::string path_;
  GsfOutput* open_stream_ = nullptr;
  HRESULT failure_ = S_OK;
  bool finished_ = false;
  int refs_ = 1;
};

class WriteStream final : public StreamBase {
 public:
  WriteStream(Writer* writer, GPtr<GsfOutput> output, WideString name,
              DWORD mode)
      : writer_(writer),
        output_(std::move(output)),
        name_(std::move(name)),
        mode_(mode) {
    writer_->AddRef();
  }
  ~WriteStream() override {
    writer_->CloseStream(output_.get());
    output_.reset();
    writer_->Release();
  }

  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb,
                                  ULONG* written) override {
    if (written != nullptr) *written = 0;
    HRESULT hr = Usable();
    if (FAILED(hr) || cb == 0) return hr;
    if (pv == nullptr) return STG_E_INVALIDPOINTER;
    if (size_ + cb > kMaxStreamBytes) return STG_E_MEDIUMFULL;
    if (!gsf_output_write(output_.get(), cb, static_cast<const guint8*>(pv))) {
      return writer_->Fail(STG_E_MEDIUMFULL);
    }
    hr = writer_->CheckSink();
    if (FAILED(hr)) return hr;
    size_ += cb;
    if (written != nullptr) *written = cb;
    return S_OK;
  }
  // Only to the end, where every Write goes.
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                 ULARGE_INTEGER* position) override {
    const HRESULT hr = Usable();
    if (FAILED(hr)) return hr;
    if (Target(move, origin, size_, size_) != static_cast<int64_t>(size_)) {
      return STG_E_INVALIDFUNCTION;
    }
    if (position != nullptr) position->QuadPart = size_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override {
    return FillStat(stat, flags, name_, STGTY_STREAM, size_, mode_, CLSID{});
  }

 private:
  HRESULT Usable() const {
    const HRESULT hr = writer_->Check();
    if (FAILED(hr)) return hr;
    return writer_->open_stream() == output_.get() ? S_OK : STG_E_REVERTED;
  }

  Writer* writer_;
  GPtr<GsfOutput> output_;
  WideString name_;
  DWORD mode_;
  uint64_t size_ = 0;
};

class WriteStorage final : public StorageBase {
 public:
  WriteStorage(Writer* writer, std::shared_ptr<WriteDir> dir, DWORD mode,
               bool root)
      : writer_(writer), dir_(std::move(dir)), mode_(mode), root_(root) {
    writer_->AddRef();
  }
  ~WriteStorage() override {
    if (root_) writer_->Finish(false);
    dir_.reset();
    writer_->Release();
  }

  HRESULT STDMETHODCALLTYPE CreateStream(const OLECHAR* name, DWORD mode, DWORD,
                                         DWORD, IStream** out) override {
    if (out == nullptr) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    std::string utf8;
    WideString key;
    HRESULT hr = NewChild(name, &utf8, &key);
    if (FAILED(hr)) return hr;
    if (writer_->open_stream() != nullptr) return STG_E_ACCESSDENIED;
    GPtr<GsfOutput> output(
        gsf_outfile_new_child(dir_->outfile.get(), utf8.c_str(), FALSE));
    if (!output) return E_FAIL;
    // The element is in the file from here on: a failure spoils the file.
    hr = Remember(key, nullptr);
    if (FAILED(hr)) return writer_->Fail(hr);
    GsfOutput* raw = output.get();
    *out = new (std::nothrow)
        WriteStream(writer_, std::move(output), WideString(name), mode);
    if (*out == nullptr) return writer_->Fail(E_OUTOFMEMORY);
    writer_->set_open_stream(raw);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateStorage(const OLECHAR* name, DWORD mode,
                                          DWORD, DWORD,
                                          IStorage** out) override {
    if (out == nullptr) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    std::string utf8;
    WideString key;
    HRESULT hr = NewChild(name, &utf8, &key);
    if (FAILED(hr)) return hr;
    GPtr<GsfOutfile> outfile(GSF_OUTFILE(
        gsf_outfile_new_child(dir_->outfile.get(), utf8.c_str(), TRUE)));
    if (!outfile) return E_FAIL;
    std::shared_ptr<WriteDir> child;
    try {
      child = std::make_shared<WriteDir>();
      child->outfile = std::move(outfile);
      child->name = name;
    } catch (const std::bad_alloc&) {
      return writer_->Fail(E_OUTOFMEMORY);
    }
    hr = Remember(key, child);
    if (FAILED(hr)) return writer_->Fail(hr);
    *out = new (std::nothrow) WriteStorage(writer_, child, mode, false);
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  // A storage made earlier in this file, to set its class id late.
  HRESULT STDMETHODCALLTYPE OpenStorage(const OLECHAR* name, IStorage*,
                                        DWORD mode, SNB, DWORD,
                                        IStorage** out) override {
    if (out == nullptr) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    const HRESULT hr = writer_->Check();
    if (FAILED(hr)) return hr;
    if (name == nullptr) return STG_E_INVALIDPOINTER;
    const auto found = dir_->storages.find(CompoundNameKey(name));
    if (found == dir_->storages.end()) return STG_E_FILENOTFOUND;
    *out = new (std::nothrow) WriteStorage(writer_, found->second, mode, false);
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override {
    const HRESULT hr = writer_->Check();
    if (FAILED(hr) || !root_) return hr;
    return writer_->Finish(true);
  }
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) override {
    const HRESULT hr = writer_->Check();
    if (FAILED(hr)) return hr;
    if (qss::IsNullAddress(&clsid)) return STG_E_INVALIDPOINTER;
    guint8 bytes[16];
    ClassIdToBytes(clsid, bytes);
    if (!gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(dir_->outfile.get()),
                                        bytes)) {
      return E_FAIL;
    }
    dir_->clsid = clsid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override {
    return FillStat(stat, flags, dir_->name, STGTY_STORAGE, 0, mode_,
                    dir_->clsid);
  }

 private:
  // The checks of a new element's name, in the format's terms.
  HRESULT NewChild(const OLECHAR* name, std::string* utf8,
                   WideString* key) const {
    const HRESULT hr = writer_->Check();
    if (FAILED(hr)) return hr;
    if (name == nullptr) return STG_E_INVALIDPOINTER;
    const WideString wide(name);
    if (CompoundNameFault(wide) != NameFault::kNone ||
        !NameToUtf8(wide, utf8)) {
      return STG_E_INVALIDNAME;
    }
    *key = CompoundNameKey(wide);
    return dir_->keys.count(*key) != 0 ? STG_E_FILEALREADYEXISTS : S_OK;
  }
  HRESULT Remember(const WideString& key,
                   const std::shared_ptr<WriteDir>& storage) {
    try {
      dir_->keys.insert(key);
      if (storage) dir_->storages.emplace(key, storage);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

  Writer* writer_;
  std::shared_ptr<WriteDir> dir_;
  DWORD mode_;
  bool root_;
};

// ---- Reading -------------------------------------------------------------

struct ElementInfo {
  WideString name;
  DWORD type;
  uint64_t size;
  CLSID clsid;
};

bool IsStorage(GsfInput* element) {
  return gsf_infile_num_children(GSF_INFILE(element)) >= 0;
}

CLSID ClassIdOf(GsfInfile* storage) {
  guint8 bytes[16] = {};
  gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(storage), bytes);
  return ClassIdFromBytes(bytes);
}

class ElementList final : public Object<IEnumSTATSTG> {
 public:
  ElementList(std::shared_ptr<const std::vector<ElementInfo>> elements,
              size_t position)
      : elements_(std::move(elements)), position_(position) {}

  HRESULT STDMETHODCALLTYPE Next(ULONG count, STATSTG* out,
                                 ULONG* fetched) override {
    if (fetched != nullptr) *fetched = 0;
    if (out == nullptr || (fetched == nullptr && count != 1)) {
      return STG_E_INVALIDPOINTER;
    }
    ULONG got = 0;
    for (; got < count && position_ < elements_->size(); ++got) {
      const ElementInfo& e = (*elements_)[position_];
      const HRESULT hr = FillStat(&out[got], STATFLAG_DEFAULT, e.name, e.type,
                                  e.size, 0, e.clsid);
      if (FAILED(hr)) {
        while (got > 0) CoTaskMemFree(out[--got].pwcsName);
        return hr;
      }
      ++position_;
    }
    if (fetched != nullptr) *fetched = got;
    return got == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const size_t left = elements_->size() - position_;
    position_ += std::min<size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumSTATSTG** out) override {
    if (out == nullptr) return STG_E_INVALIDPOINTER;
    *out = new (std::nothrow) ElementList(elements_, position_);
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }

 private:
  std::shared_ptr<const std::vector<ElementInfo>> elements_;
  size_t position_;
};

class ReadStream final : public StreamBase {
 public:
  ReadStream(GPtr<GsfInput> input, WideString name, DWORD mode)
      : input_(std::move(input)),
        name_(std::move(name)),
        mode_(mode),
        size_(static_cast<uint64_t>(gsf_input_size(input_.get()))) {}

  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* read) override {
    if (read != nullptr) *read = 0;
    if (pv == nullptr && cb != 0) return STG_E_INVALIDPOINTER;
    if (position_ >= size_ || cb == 0) return S_OK;
    const size_t count =
        static_cast<size_t>(std::min<uint64_t>(cb, size_ - position_));
    if (gsf_input_seek(input_.get(), static_cast<gsf_off_t>(position_),
                       G_SEEK_SET) ||
        gsf_input_read(input_.get(), count, static_cast<guint8*>(pv)) ==
            nullptr) {
      return kFileCorrupt;
    }
    position_ += count;
    if (read != nullptr) *read = static_cast<ULONG>(count);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                 ULARGE_INTEGER* position) override {
    const int64_t target = Target(move, origin, position_, size_);
    if (target < 0) return STG_E_INVALIDFUNCTION;
    position_ = static_cast<uint64_t>(target);
    if (position != nullptr) position->QuadPart = position_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override {
    return FillStat(stat, flags, name_, STGTY_STREAM, size_, mode_, CLSID{});
  }

 private:
  GPtr<GsfInput> input_;
  WideString name_;
  DWORD mode_;
  uint64_t size_;
  uint64_t position_ = 0;
};

// Streams in pieces of kCopyChunk bytes from the start of `input` into a
// new stream `name` of `dest`.
HRESULT CopyStream(GsfInput* input, const WideString& name, IStorage* dest,
                   guint8* buffer) {
  IStream* created = nullptr;
  HRESULT hr = dest->CreateStream(name.c_str(), kCreateMode, 0, 0, &created);
  if (SUCCEEDED(hr) && created == nullptr) hr = E_POINTER;
  if (FAILED(hr)) return hr;
  ComPtr<IStream> stream(created);
  if (gsf_input_seek(input, 0, G_SEEK_SET)) return kFileCorrupt;
  for (gsf_off_t left = gsf_input_size(input); left > 0;) {
    const size_t count =
        static_cast<size_t>(std::min<gsf_off_t>(left, kCopyChunk));
    if (gsf_input_read(input, count, buffer) == nullptr) return kFileCorrupt;
    ULONG written = 0;
    hr = stream->Write(buffer, static_cast<ULONG>(count), &written);
    if (FAILED(hr)) return hr;
    if (written != count) return STG_E_MEDIUMFULL;
    left -= static_cast<gsf_off_t>(count);
  }
  return S_OK;
}

// A null class id is what a new storage has already, and copying one would
// wipe the class id of an existing destination.
HRESULT CopyClassId(GsfInfile* storage, IStorage* dest) {
  const CLSID clsid = ClassIdOf(storage);
  return clsid == CLSID{} ? S_OK : dest->SetClass(clsid);
}

// One storage being copied: the next child to copy, and its destination.
struct CopyFrame {
  GPtr<GsfInfile> source;
  ComPtr<IStorage> dest;
  int next;
};

// The whole tree below `top` into `dest`, depth-first, each sub-storage
// copied right after its creation; the frames live on the heap, so no
// depth reaches the native stack.
HRESULT CopyTree(GsfInfile* top, IStorage* dest) {
  std::unique_ptr<guint8[]> buffer(new (std::nothrow) guint8[kCopyChunk]);
  if (!buffer) return E_OUTOFMEMORY;
  HRESULT hr = CopyClassId(top, dest);
  if (FAILED(hr)) return hr;
  try {
    std::vector<CopyFrame> frames;
    g_object_ref(top);
    dest->AddRef();
    frames.push_back({GPtr<GsfInfile>(top), ComPtr<IStorage>(dest), 0});
    while (!frames.empty()) {
      CopyFrame& frame = frames.back();
      GsfInfile* source = frame.source.get();
      if (frame.next >= gsf_infile_num_children(source)) {
        frames.pop_back();
        continue;
      }
      const int index = frame.next++;
      GPtr<GsfInput> child(gsf_infile_child_by_index(source, index));
      const WideString name =
          NameFromUtf8(gsf_infile_name_by_index(source, index));
      if (!child) return kFileCorrupt;
      if (name.empty()) return STG_E_INVALIDNAME;
      if (!IsStorage(child.get())) {
        hr = CopyStream(child.get(), name, frame.dest.get(), buffer.get());
        if (FAILED(hr)) return hr;
        continue;
      }
      IStorage* created = nullptr;
      hr = frame.dest->CreateStorage(name.c_str(), kCreateMode, 0, 0, &created);
      if (SUCCEEDED(hr) && created == nullptr) hr = E_POINTER;
      if (FAILED(hr)) return hr;
      ComPtr<IStorage> owned(created);
      GPtr<GsfInfile> storage(GSF_INFILE(child.release()));
      hr = CopyClassId(storage.get(), created);
      if (FAILED(hr)) return hr;
      frames.push_back({std::move(storage), std::move(owned), 0});
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

class ReadStorage final : public StorageBase {
 public:
  ReadStorage(GPtr<GsfInfile> storage, WideString name, DWORD mode)
      : storage_(std::move(storage)), name_(std::move(name)), mode_(mode) {}

  HRESULT STDMETHODCALLTYPE OpenStream(const OLECHAR* name, void*, DWORD mode,
                                       DWORD, IStream** out) override {
    if (out == nullptr) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    GPtr<GsfInput> child;
    WideString stored;
    const HRESULT hr = OpenChild(name, mode, false, &child, &stored);
    if (FAILED(hr)) return hr;
    *out = new (std::nothrow)
        ReadStream(std::move(child), std::move(stored), mode);
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE OpenStorage(const OLECHAR* name, IStorage*,
                                        DWORD mode, SNB, DWORD,
                                        IStorage** out) override {
    if (out == nullptr) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    GPtr<GsfInput> child;
    WideString stored;
    const HRESULT hr = OpenChild(name, mode, true, &child, &stored);
    if (FAILED(hr)) return hr;
    *out = new (std::nothrow) ReadStorage(
        GPtr<GsfInfile>(GSF_INFILE(child.release())), std::move(stored), mode);
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE CopyTo(DWORD exclude_count, const IID* exclude_ids,
                                   SNB exclude_names, IStorage* dest) override {
    if (dest == nullptr) return STG_E_INVALIDPOINTER;
    if (exclude_count != 0 || exclude_ids != nullptr ||
        exclude_names != nullptr) {
      return E_NOTIMPL;
    }
    return CopyTree(storage_.get(), dest);
  }
  HRESULT STDMETHODCALLTYPE EnumElements(DWORD, void*, DWORD,
                                         IEnumSTATSTG** out) override {
    if (out == nullptr) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    std::shared_ptr<std::vector<ElementInfo>> elements;
    try {
      elements = std::make_shared<std::vector<ElementInfo>>();
      const int count = gsf_infile_num_children(storage_.get());
      for (int i = 0; i < count; ++i) {
        GPtr<GsfInput> child(gsf_infile_child_by_index(storage_.get(), i));
        if (!child) return kFileCorrupt;
        ElementInfo e{NameFromUtf8(gsf_infile_name_by_index(storage_.get(), i)),
                      STGTY_STREAM, 0, CLSID{}};
        if (IsStorage(child.get())) {
          e.type = STGTY_STORAGE;
          e.clsid = ClassIdOf(GSF_INFILE(child.get()));
        } else {
          e.size = static_cast<uint64_t>(gsf_input_size(child.get()));
        }
        elements->push_back(std::move(e));
      }
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    *out = new (std::nothrow) ElementList(std::move(elements), 0);
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override {
    return FillStat(stat, flags, name_, STGTY_STORAGE, 0, mode_,
                    ClassIdOf(storage_.get()));
  }

 private:
  // Finds `name` exactly, or else as the format compares names, and opens
  // it when it is of the kind asked for.
  HRESULT OpenChild(const OLECHAR* name, DWORD mode, bool storage,
                    GPtr<GsfInput>* out, WideString* stored) const {
    if (name == nullptr) return STG_E_INVALIDPOINTER;
    if ((mode & 3) != STGM_READ) return STG_E_ACCESSDENIED;
    const WideString sought(name);
    std::string utf8;
    if (NameToUtf8(sought, &utf8)) {
      out->reset(gsf_infile_child_by_name(storage_.get(), utf8.c_str()));
      *stored = sought;
    }
    const WideString key = CompoundNameKey(sought);
    const int count = gsf_infile_num_children(storage_.get());
    for (int i = 0; !*out && i < count; ++i) {
      *stored = NameFromUtf8(gsf_infile_name_by_index(storage_.get(), i));
      if (CompoundNameKey(*stored) != key) continue;
      out->reset(gsf_infile_child_by_index(storage_.get(), i));
      if (!*out) return kFileCorrupt;
    }
    if (!*out) return STG_E_FILENOTFOUND;
    return IsStorage(out->get()) == storage ? S_OK : STG_E_FILENOTFOUND;
  }

  GPtr<GsfInfile> storage_;
  WideString name_;
  DWORD mode_;
};

// What the file system said, as the platform's compound files say it;
// `missing` for a name that is not there. libgsf reports an errno, or for
// files it reads a GFileError.
HRESULT FileError(GError* error, HRESULT missing) {
  int code = error != nullptr ? error->code : 0;
  if (error != nullptr && error->domain == G_FILE_ERROR) {
    code = code == G_FILE_ERROR_NOENT    ? ENOENT
           : code == G_FILE_ERROR_NOTDIR ? ENOTDIR
           : code == G_FILE_ERROR_NOSPC  ? ENOSPC
                                         : 0;
  }
  g_clear_error(&error);
  if (code == ENOENT) return missing;
  if (code == ENOTDIR) return kPathNotFound;
  if (code == ENOSPC) return STG_E_MEDIUMFULL;
  return STG_E_ACCESSDENIED;
}

bool HasSignature(GsfInput* input) {
  static const guint8 kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0,
                                       0xA1, 0xB1, 0x1A, 0xE1};
  guint8 start[8];
  return !gsf_input_seek(input, 0, G_SEEK_SET) &&
         gsf_input_read(input, sizeof start, start) != nullptr &&
         std::memcmp(start, kSignature, sizeof start) == 0;
}

}  // namespace

HRESULT CreateCompoundFile(const std::string& path_utf8, IStorage** out) {
  if (out == nullptr) return STG_E_INVALIDPOINTER;
  *out = nullptr;
  WideString name;
  if (!Utf8ToWide(path_utf8, &name)) return STG_E_INVALIDNAME;
  InitGsf();
  GError* error = nullptr;
  GPtr<GsfOutput> sink(
      gsf_output_stdio_new(TemporaryName(path_utf8).c_str(), &error));
  if (!sink) return FileError(error, kPathNotFound);
  std::shared_ptr<WriteDir> root;
  try {
    root = std::make_shared<WriteDir>();
    root->name = name;
  } catch (const std::bad_alloc&) {
    gsf_output_set_error(sink.get(), 0, "abandoned");
    return E_OUTOFMEMORY;
  }
  root->outfile.reset(gsf_outfile_msole_new(sink.get()));
  if (!root->outfile) {
    gsf_output_set_error(sink.get(), 0, "abandoned");
    return E_FAIL;
  }
  // The root holds the file too: abandoned, it deletes what it wrote.
  GsfOutput* file = sink.get();
  auto* writer = new (std::nothrow) Writer(std::move(sink), root, path_utf8);
  if (writer == nullptr) {
    gsf_output_set_error(file, 0, "abandoned");
    return E_OUTOFMEMORY;
  }
  *out = new (std::nothrow)
      WriteStorage(writer, std::move(root), kRootWriteMode, true);
  writer->Release();
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT OpenCompoundFile(const std::string& path_utf8, IStorage** out) {
  if (out == nullptr) return STG_E_INVALIDPOINTER;
  *out = nullptr;
  WideString name;
  if (!Utf8ToWide(path_utf8, &name)) return STG_E_INVALIDNAME;
  InitGsf();
  GError* error = nullptr;
  GPtr<GsfInput> input(gsf_input_stdio_new(path_utf8.c_str(), &error));
  if (!input) return FileError(error, STG_E_FILENOTFOUND);
  GPtr<GsfInfile> root(gsf_infile_msole_new(input.get(), &error));
  if (!root) {
    g_clear_error(&error);
    return HasSignature(input.get()) ? kFileCorrupt : kInvalidHeader;
  }
  *out = new (std::nothrow) ReadStorage(std::move(root), name, kRootReadMode);
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace qsplex
