#include "tools/qsplex/tree/walk.h"

#include <chrono>
#include <cstdio>
#include <iterator>
#include <new>
#include <utility>

#include "support/forwarding_storage.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/image/session.h"

namespace qsplex {
namespace {

bool g_quiet = false;
Progress* g_showing = nullptr;  // the progress whose line is on screen

constexpr uint64_t kQuietMilliseconds = 1000;

uint64_t NowMilliseconds() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

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
    *out = nullptr;
    std::string path;
    if (!Report(name, true, &path)) return E_OUTOFMEMORY;
    Ref<IStream> created;
    const HRESULT hr =
        inner()->CreateStream(name, mode, reserved1, reserved2, created.Out());
    if (FAILED(hr)) return Failed(path, hr);
    *out = new (std::nothrow)
        ProgressStream(created.get(), progress_, std::move(path));
    return *out != nullptr ? hr : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE CreateStorage(const OLECHAR* name, DWORD mode,
                                          DWORD reserved1, DWORD reserved2,
                                          IStorage** out) override {
    *out = nullptr;
    std::string path;
    if (!Report(name, false, &path)) return E_OUTOFMEMORY;
    Ref<IStorage> created;
    const HRESULT hr =
        inner()->CreateStorage(name, mode, reserved1, reserved2, created.Out());
    if (FAILED(hr)) return Failed(path, hr);
    *out = new (std::nothrow)
        ProgressStorage(created.get(), progress_, std::move(path));
    return *out != nullptr ? hr : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) override {
    return Failed(path_, inner()->SetClass(clsid));
  }

 private:
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

// Releases the storages of `open` past the first `keep`, deepest first.
void CloseBelow(std::vector<Ref<IStorage>>* open, size_t keep) {
  while (open->size() > keep) open->pop_back();
}

}  // namespace

TreeNode NodeFrom(const STATSTG& stat, int parent, int depth) {
  TreeNode node;
  node.name = stat.pwcsName != nullptr ? stat.pwcsName : WideString();
  node.parent = parent;
  node.type = stat.type;
  node.size = stat.type == STGTY_STREAM ? stat.cbSize.QuadPart : 0;
  node.mode = stat.grfMode;
  node.clsid = stat.clsid;
  node.depth = depth;
  node.last = false;
  for (const FILETIME& time : {stat.ctime, stat.mtime}) {
    node.timed |= time.dwLowDateTime != 0 || time.dwHighDateTime != 0;
  }
  return node;
}

HRESULT LoadTree(IStorage* top, const WideString& top_name, bool open_streams,
                 std::vector<TreeNode>* nodes, int* failed) {
  STATSTG stat = {};
  nodes->clear();
  *failed = 0;
  HRESULT hr = top->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  stat.pwcsName = nullptr;
  nodes->push_back(NodeFrom(stat, -1, 0));
  nodes->back().name = top_name;
  nodes->back().last = true;
  // Elements still to visit; pushed in reverse, they come off newest first.
  // No recursion, so trees of any depth load.
  std::vector<TreeNode> pending;
  // The storages from `top` down to the one listed last, one per depth.
  // A storage stays open while anything below it is read, since the
  // platform's compound file reverts what is open below a storage once
  // that storage is released.
  std::vector<Ref<IStorage>> open;
  top->AddRef();
  open.emplace_back(top);
  bool list = true;  // whether open.back() is the storage to list next
  int index = 0;
  for (;;) {
    if (list) {
      Ref<IEnumSTATSTG> elements;
      hr = open.back()->EnumElements(0, nullptr, 0, elements.Out());
      if (FAILED(hr)) break;
      std::vector<TreeNode> children;
      while (NextElement(elements.get(), &stat)) {
        children.push_back(NodeFrom(stat, index, (*nodes)[index].depth + 1));
        CoTaskMemFree(stat.pwcsName);
      }
      if (!children.empty()) children.back().last = true;
      pending.insert(pending.end(), std::make_move_iterator(children.rbegin()),
                     std::make_move_iterator(children.rend()));
    }
    list = false;
    if (pending.empty()) break;
    TreeNode next = std::move(pending.back());
    pending.pop_back();
    // Depth-first, the parent is the storage open at the depth above.
    CloseBelow(&open, static_cast<size_t>(next.depth));
    IStorage* parent = open.back().get();
    index = static_cast<int>(nodes->size());
    nodes->push_back(std::move(next));
    TreeNode& node = nodes->back();
    const OLECHAR* name = node.name.c_str();
    if (*name == 0) {
      node.listed = node.type != STGTY_STORAGE;
    } else if (node.type == STGTY_STORAGE) {
      Ref<IStorage> storage;
      hr = parent->OpenStorage(name, nullptr, kRead, nullptr, 0, storage.Out());
      if (SUCCEEDED(hr)) {
        open.push_back(std::move(storage));
        list = true;
      }
    } else if (open_streams && node.type == STGTY_STREAM) {
      Ref<IStream> stream;
      hr = parent->OpenStream(name, nullptr, kRead, 0, stream.Out());
    }
    if (FAILED(hr)) break;
  }
  CloseBelow(&open, 0);
  if (FAILED(hr)) {
    *failed = index;
    return hr;
  }
  // Children follow their parents, so one backward pass sums every level.
  for (size_t i = nodes->size() - 1; i > 0; --i) {
    const TreeNode& child = (*nodes)[i];
    TreeNode& parent = (*nodes)[child.parent];
    parent.size += child.size;
    parent.storages += child.type == STGTY_STORAGE ? 1 + child.storages : 0;
    parent.streams += child.type == STGTY_STREAM ? 1 : child.streams;
  }
  return S_OK;
}

std::string NodePath(const std::vector<TreeNode>& nodes, int index,
                     const std::string& top_path) {
  std::string tail;
  for (int at = index; at > 0; at = nodes[at].parent) {
    tail = "/" + ShownName(nodes[at].name.c_str()) + tail;
  }
  if (tail.empty()) return top_path;
  return top_path == "/" ? tail : top_path + tail;
}

void SetQuiet(bool quiet) { g_quiet = quiet; }

void EndProgressLine() {
  if (g_showing != nullptr) g_showing->Done();
}

Progress::Progress(const char* verb, uint64_t total_bytes, size_t total_streams)
    : verb_(verb),
      total_bytes_(total_bytes),
      total_streams_(total_streams),
      terminal_(!g_quiet && IsTerminal(stderr)),
      started_ms_(terminal_ ? NowMilliseconds() : 0) {}

Progress::~Progress() { Done(); }

void Progress::Done() noexcept {
  if (shown_step_ >= 0) std::fputc('\n', stderr);
  if (g_showing == this) g_showing = nullptr;
  terminal_ = false;
  shown_step_ = -1;
}

void Progress::Created(const std::string& path, bool stream) {
  last_created_ = path;
  if (stream) ++streams_;
  Show();
}

void Progress::Failed(const std::string& path) noexcept {
  if (!failed_at_.empty()) return;
  try {
    failed_at_ = path;
  } catch (const std::bad_alloc&) {
    // Unnamed, the failure is still told by its code.
  }
}

void Progress::Wrote(uint64_t bytes) noexcept {
  bytes_ += bytes;
  Show();
}

void Progress::Reached(uint64_t done, uint64_t total) noexcept {
  bytes_ = done;
  total_bytes_ = total;
  Show();
}

void Progress::Show() noexcept {
  if (!terminal_) return;
  // A percent step, or without a total a MiB step, is drawn once.
  constexpr uint64_t kMebibyte = 1024 * 1024;
  const int64_t step = total_bytes_ == 0
                           ? static_cast<int64_t>(bytes_ / kMebibyte)
                           : static_cast<int64_t>(bytes_ * 100 / total_bytes_);
  if (step == shown_step_) return;
  if (shown_step_ < 0 && NowMilliseconds() - started_ms_ < kQuietMilliseconds) {
    return;
  }
  shown_step_ = step;
  g_showing = this;
  const unsigned long long done_mib = bytes_ / kMebibyte;
  const unsigned long long total_mib =
      (total_bytes_ + kMebibyte - 1) / kMebibyte;
  char line[160];
  if (total_streams_ > 0) {
    std::snprintf(line, sizeof line,
                  "\r%s: %zu of %zu streams, %llu of %llu MiB (%d%%)", verb_,
                  streams_, total_streams_, done_mib, total_mib,
                  static_cast<int>(step));
  } else if (total_bytes_ > 0) {
    std::snprintf(line, sizeof line, "\r%s: %llu of %llu MiB (%d%%)", verb_,
                  done_mib, total_mib, static_cast<int>(step));
  } else {
    std::snprintf(line, sizeof line, "\r%s: %llu MiB", verb_, done_mib);
  }
  std::fputs(line, stderr);
  std::fflush(stderr);
}

IStorage* NewProgressStorage(IStorage* inner, Progress* progress,
                             const std::string& path) {
  return new (std::nothrow) ProgressStorage(inner, progress, path);
}

}  // namespace qsplex
