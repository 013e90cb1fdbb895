// Reading goes through libgsf's reader, which parses the whole directory
// when the file opens; each of our objects holds a GObject reference of its
// element, and objects stay usable after the root is released.
#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "tools/qsplex/compound/export_check.h"
#include "tools/qsplex/compound/gsf_objects.h"
#include "tools/qsplex/compound/gsf_storage.h"

namespace qsplex {
namespace gsf {
namespace {

constexpr DWORD kRootReadMode = STGM_READ | STGM_SHARE_DENY_WRITE;
constexpr size_t kCopyChunk = 64 * 1024;

struct ElementInfo {
  WideString name;
  DWORD type;
  uint64_t size;
  CLSID clsid;
  FILETIME mtime = {};  // as the file's directory gives it; zero for none
};

// The time libgsf read from the directory entry of `element`, as a FILETIME
// (100 ns since 1601); zero when the entry holds none.
FILETIME ModifiedTime(GsfInput* element) {
  FILETIME time = {};
  GDateTime* modified = gsf->input_get_modtime(element);
  if (modified == nullptr) return time;
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
  const int64_t seconds =
      gsf->date_time_to_unix(modified) + kSecondsFrom1601To1970;
  if (seconds <= 0) return time;
  const uint64_t ticks =
      static_cast<uint64_t>(seconds) * 10000000 +
      static_cast<uint64_t>(gsf->date_time_get_microsecond(modified)) * 10;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

bool IsStorage(GsfInput* element) {
  return gsf->infile_num_children(GSF_INFILE(element)) >= 0;
}

CLSID ClassIdOf(GsfInfile* storage) {
  guint8 bytes[16] = {};
  gsf->infile_msole_get_class_id(GSF_INFILE_MSOLE(storage), bytes);
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
      out[got].mtime = e.mtime;
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
        size_(static_cast<uint64_t>(gsf->input_size(input_.get()))) {}

  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* read) override {
    if (read != nullptr) *read = 0;
    if (pv == nullptr && cb != 0) return STG_E_INVALIDPOINTER;
    if (position_ >= size_ || cb == 0) return S_OK;
    const size_t count =
        static_cast<size_t>(std::min<uint64_t>(cb, size_ - position_));
    if (gsf->input_seek(input_.get(), static_cast<gsf_off_t>(position_),
                        G_SEEK_SET) ||
        gsf->input_read(input_.get(), count, static_cast<guint8*>(pv)) ==
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
  if (gsf->input_seek(input, 0, G_SEEK_SET)) return kFileCorrupt;
  for (gsf_off_t left = gsf->input_size(input); left > 0;) {
    const size_t count =
        static_cast<size_t>(std::min<gsf_off_t>(left, kCopyChunk));
    if (gsf->input_read(input, count, buffer) == nullptr) return kFileCorrupt;
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
    gsf->object_ref(top);
    dest->AddRef();
    frames.push_back({GPtr<GsfInfile>(top), ComPtr<IStorage>(dest), 0});
    while (!frames.empty()) {
      CopyFrame& frame = frames.back();
      GsfInfile* source = frame.source.get();
      if (frame.next >= gsf->infile_num_children(source)) {
        frames.pop_back();
        continue;
      }
      const int index = frame.next++;
      GPtr<GsfInput> child(gsf->infile_child_by_index(source, index));
      const WideString name =
          NameFromUtf8(gsf->infile_name_by_index(source, index));
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
      const int count = gsf->infile_num_children(storage_.get());
      for (int i = 0; i < count; ++i) {
        GPtr<GsfInput> child(gsf->infile_child_by_index(storage_.get(), i));
        if (!child) return kFileCorrupt;
        ElementInfo e{
            NameFromUtf8(gsf->infile_name_by_index(storage_.get(), i)),
            STGTY_STREAM, 0, CLSID{}};
        e.mtime = ModifiedTime(child.get());
        if (IsStorage(child.get())) {
          e.type = STGTY_STORAGE;
          e.clsid = ClassIdOf(GSF_INFILE(child.get()));
        } else {
          e.size = static_cast<uint64_t>(gsf->input_size(child.get()));
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
      out->reset(gsf->infile_child_by_name(storage_.get(), utf8.c_str()));
      *stored = sought;
    }
    const WideString key = CompoundNameKey(sought);
    const int count = gsf->infile_num_children(storage_.get());
    for (int i = 0; !*out && i < count; ++i) {
      *stored = NameFromUtf8(gsf->infile_name_by_index(storage_.get(), i));
      if (CompoundNameKey(*stored) != key) continue;
      out->reset(gsf->infile_child_by_index(storage_.get(), i));
      if (!*out) return kFileCorrupt;
    }
    if (!*out) return STG_E_FILENOTFOUND;
    return IsStorage(out->get()) == storage ? S_OK : STG_E_FILENOTFOUND;
  }

  GPtr<GsfInfile> storage_;
  WideString name_;
  DWORD mode_;
};

bool HasSignature(GsfInput* input) {
  static const guint8 kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0,
                                       0xA1, 0xB1, 0x1A, 0xE1};
  guint8 start[8];
  return !gsf->input_seek(input, 0, G_SEEK_SET) &&
         gsf->input_read(input, sizeof start, start) != nullptr &&
         std::memcmp(start, kSignature, sizeof start) == 0;
}

// libgsf parses the directory when the file opens, one level of recursion
// per entry along a chain of siblings: some tens of thousands of them
// overflow a thread's usual 8 MiB. The parse runs on a thread whose stack
// has room for every entry the file can hold.
struct ParseJob {
  GsfInput* input;
  GsfInfile* result;
  bool damaged;  // libgsf met an entry it could not take and left it out
};

// libgsf passes by a directory entry it cannot take (a link past the
// directory, say) with a critical message and reads on without what lies
// below it; such a file is taken as damaged rather than read in part.
void NoteDamage(const gchar*, GLogLevelFlags, const gchar*, gpointer job) {
  static_cast<ParseJob*>(job)->damaged = true;
}

void* Parse(void* argument) {
  auto* job = static_cast<ParseJob*>(argument);
  job->result = gsf->infile_msole_new(job->input, nullptr);
  return nullptr;
}

GsfInfile* ParseDirectory(GsfInput* input) {
  constexpr uint64_t kStackPerEntry = 512;
  constexpr uint64_t kEntryBytes = 128;
  constexpr uint64_t kMaxStack = uint64_t{1} << 30;
  const uint64_t entries =
      static_cast<uint64_t>(gsf->input_size(input)) / kEntryBytes;
  const uint64_t stack =
      std::min(kMaxStack, (uint64_t{8} << 20) + entries * kStackPerEntry);
  ParseJob job{input, nullptr, false};
  pthread_attr_t attributes;
  pthread_t thread;
  if (pthread_attr_init(&attributes) != 0) return nullptr;
  const guint handler = gsf->log_set_handler(
      "libgsf:msole", static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL),
      NoteDamage, &job);
  const bool ran =
      pthread_attr_setstacksize(&attributes, static_cast<size_t>(stack)) == 0 &&
      pthread_create(&thread, &attributes, Parse, &job) == 0 &&
      pthread_join(thread, nullptr) == 0;
  gsf->log_remove_handler("libgsf:msole", handler);
  pthread_attr_destroy(&attributes);
  if (ran && job.damaged && job.result != nullptr) {
    gsf->object_unref(job.result);
    return nullptr;
  }
  return ran ? job.result : nullptr;
}

HRESULT Open(const std::string& path_utf8, IStorage** out) {
  if (out == nullptr) return STG_E_INVALIDPOINTER;
  *out = nullptr;
  WideString name;
  if (!Utf8ToWide(path_utf8, &name)) return STG_E_INVALIDNAME;
  std::string problem;
  if (!LoadGsf(&problem)) return kLibraryMissing;
  GError* error = nullptr;
  GPtr<GsfInput> input(gsf->input_stdio_new(path_utf8.c_str(), &error));
  if (!input) return FileError(error, STG_E_FILENOTFOUND);
  GPtr<GsfInfile> root(ParseDirectory(input.get()));
  if (!root) return HasSignature(input.get()) ? kFileCorrupt : kInvalidHeader;
  *out = new (std::nothrow) ReadStorage(std::move(root), name, kRootReadMode);
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace
}  // namespace gsf

HRESULT OpenCompoundFile(const std::string& path_utf8, IStorage** out) {
  return gsf::Open(path_utf8, out);
}

}  // namespace qsplex
