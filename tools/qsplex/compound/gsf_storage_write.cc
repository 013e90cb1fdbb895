// libgsf writes a compound file front to back: a stream's first 4 KiB wait
// in memory, beyond that its bytes go straight to the file, so only one
// stream may grow at a time, and the directory is written when the root
// closes. Each of our objects holds a GObject reference, and every object
// of a file being written shares one Writer that knows the open stream and
// whether the file is finished.
#include <cstdio>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <utility>

#include "tools/qsplex/compound/compound_directory.h"
#include "tools/qsplex/compound/export_check.h"
#include "tools/qsplex/compound/gsf_objects.h"
#include "tools/qsplex/compound/gsf_storage.h"

namespace qsplex {
namespace gsf {
namespace {

constexpr DWORD kRootWriteMode =
    STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
// A directory entry holds a stream's size in 32 bits.
constexpr uint64_t kMaxStreamBytes = 0xFFFFFFFFu;

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
    return gsf->output_error(sink_.get()) != nullptr ? Fail(STG_E_MEDIUMFULL)
                                                     : S_OK;
  }

  // Closes `stream` if it is the open one: it takes its last block then.
  void CloseStream(GsfOutput* stream) {
    if (stream == nullptr || stream != open_stream_) return;
    open_stream_ = nullptr;
    if (!gsf->output_close(stream)) Fail(STG_E_MEDIUMFULL);
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
      gsf->output_set_error(sink_.get(), 0, "abandoned");
    }
    const bool closed = gsf->output_close(GSF_OUTPUT(root_->outfile.get()));
    finished_ = true;
    if (FAILED(failure_)) return failure_;
    if (!closed || gsf->output_error(sink_.get()) != nullptr) {
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
    if (!gsf->output_write(output_.get(), cb, static_cast<const guint8*>(pv))) {
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
        gsf->outfile_new_child(dir_->outfile.get(), utf8.c_str(), FALSE));
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
        gsf->outfile_new_child(dir_->outfile.get(), utf8.c_str(), TRUE)));
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
    if (!gsf->outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(dir_->outfile.get()),
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

HRESULT Create(const std::string& path_utf8, IStorage** out) {
  if (out == nullptr) return STG_E_INVALIDPOINTER;
  *out = nullptr;
  WideString name;
  if (!Utf8ToWide(path_utf8, &name)) return STG_E_INVALIDNAME;
  std::string problem;
  if (!LoadGsf(&problem)) return kLibraryMissing;
  GError* error = nullptr;
  GPtr<GsfOutput> sink(
      gsf->output_stdio_new(TemporaryName(path_utf8).c_str(), &error));
  if (!sink) return FileError(error, kPathNotFound);
  std::shared_ptr<WriteDir> root;
  try {
    root = std::make_shared<WriteDir>();
    root->name = name;
  } catch (const std::bad_alloc&) {
    gsf->output_set_error(sink.get(), 0, "abandoned");
    return E_OUTOFMEMORY;
  }
  root->outfile.reset(gsf->outfile_msole_new(sink.get()));
  if (!root->outfile) {
    gsf->output_set_error(sink.get(), 0, "abandoned");
    return E_FAIL;
  }
  // The root holds the file too: abandoned, it deletes what it wrote.
  GsfOutput* file = sink.get();
  auto* writer = new (std::nothrow) Writer(std::move(sink), root, path_utf8);
  if (writer == nullptr) {
    gsf->output_set_error(file, 0, "abandoned");
    return E_OUTOFMEMORY;
  }
  *out = new (std::nothrow)
      WriteStorage(writer, std::move(root), kRootWriteMode, true);
  writer->Release();
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace
}  // namespace gsf

HRESULT CreateCompoundFile(const std::string& path_utf8, IStorage** out) {
  return gsf::Create(path_utf8, out);
}

}  // namespace qsplex
