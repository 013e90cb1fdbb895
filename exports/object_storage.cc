#include <cstdlib>
#include <cstring>

#include "exports/root_anchor.h"
#include "platform/com.h"
#include "qsstorage/qsstorage.h"
#include "records/heap.h"
#include "records/host_blocks.h"

namespace {

constexpr size_t kNameBufferBytes = 256;
constexpr char kSecondSuffix[] = "_UOSB";
constexpr size_t kSuffixLength = sizeof kSecondSuffix - 1;
constexpr int kRootOrMain = -1;
constexpr int kSecondStorage = 1;
constexpr DWORD kObjectStorageMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr int kExportNameChars = 1024;

using NameBuffer = char[kNameBufferBytes];

OLECHAR export_name[kExportNameChars];

// Longest name that fits a buffer together with the selector's suffix.
size_t NameLimit(int selector) {
  return kNameBufferBytes - 1 -
         (selector == kSecondStorage ? kSuffixLength : 0);
}

void AppendSuffix(int selector, char* buffer, size_t length) {
  if (selector == kSecondStorage) {
    std::memcpy(buffer + length, kSecondSuffix, kSuffixLength + 1);
  }
}

bool FitsBuffer(const char* name, int selector) {
  return strnlen(name, NameLimit(selector) + 1) <= NameLimit(selector);
}

// A caller's name with the selector's suffix; false, with nothing copied,
// when it would not fit.
bool ComposeCallerName(const char* name, int selector, NameBuffer buffer) {
  if (!FitsBuffer(name, selector)) return false;
  const size_t length = std::strlen(name);
  std::memcpy(buffer, name, length + 1);
  AppendSuffix(selector, buffer, length);
  return true;
}

// The block's hierarchy name with the selector's suffix; false when the
// host's name leaves no room for it.
bool ComposeBlockName(int block, int selector, NameBuffer buffer) {
  // Zeroed first, so that a name the host leaves unterminated is refused
  // rather than read past.
  std::memset(buffer, 0, kNameBufferBytes);
  qsBlkHdr_GetName(block, buffer);
  const void* end = std::memchr(buffer, 0, kNameBufferBytes);
  if (end == nullptr) return false;
  const size_t length = static_cast<const char*>(end) - buffer;
  if (length > NameLimit(selector)) return false;
  AppendSuffix(selector, buffer, length);
  return true;
}

// The result is ignored: a name of at most 255 bytes always fits.
const OLECHAR* ToExportName(const char* ansi) {
  qss::AnsiToWide(ansi, export_name, kExportNameChars);
  return export_name;
}

// The chain from a block up to the top of the hierarchy, block first, held
// on the heap so that a deep hierarchy costs no native stack.
class ContainerChain {
 public:
  ContainerChain() = default;
  ContainerChain(const ContainerChain&) = delete;
  ContainerChain& operator=(const ContainerChain&) = delete;
  ~ContainerChain() { std::free(blocks_); }

  // False when memory runs out.
  bool Collect(int block) {
    for (int current = block;;) {
      if (!Push(current)) return false;
      current = qsBlkHdr_GetCntr(current);
      if (current == 0) return true;
    }
  }
  size_t size() const { return size_; }
  int operator[](size_t i) const { return blocks_[i]; }

 private:
  bool Push(int block) {
    if (size_ == capacity_) {
      const size_t capacity = capacity_ == 0 ? 16 : 2 * capacity_;
      void* grown = qss::ResizeHeapBlock(blocks_, capacity * sizeof(int));
      if (grown == nullptr) return false;
      blocks_ = static_cast<int*>(grown);
      capacity_ = capacity;
    }
    blocks_[size_++] = block;
    return true;
  }

  int* blocks_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Opens the block's storage in its container's, or creates it there.
HRESULT OpenOrCreate(IStorage* parent, int block, int selector,
                     IStorage** out) {
  *out = nullptr;
  NameBuffer name;
  if (!ComposeBlockName(block, selector, name)) return STG_E_INVALIDNAME;
  const OLECHAR* wide = ToExportName(name);
  const HRESULT opened =
      parent->OpenStorage(wide, nullptr, kObjectStorageMode, nullptr, 0, out);
  if (opened == S_OK) return S_OK;
  return parent->CreateStorage(wide, kObjectStorageMode, 0, 0, out);
}

// The storage of `block` and the result of GetObjectStorage. Each level is
// opened inside the one above, top down, and released once its child is
// obtained; a failure leaves the storages made above it in the tree.
int ObjectStorage(int block, int selector, IStorage** out) {
  *out = nullptr;
  ContainerChain chain;
  if (!chain.Collect(block)) return 1;
  if (chain.size() == 1) {
    if (selector == kRootOrMain) *out = qss::OpenRootStorage();
    return 1;
  }
  IStorage* storage = qss::OpenRootStorage();
  if (storage == nullptr) return 1;
  for (size_t level = chain.size() - 1; level-- > 0;) {
    IStorage* child = nullptr;
    const HRESULT got = OpenOrCreate(
        storage, chain[level], level == 0 ? selector : kRootOrMain, &child);
    storage->Release();
    if (got != S_OK) return 1;
    storage = child;
  }
  *out = storage;
  return 0;
}

// The storage of a block's container (the root for a block at the top), or
// null. Same path as GetObjectStorage(container, -1).
IStorage* ContainerStorage(int container) {
  IStorage* storage = nullptr;
  ObjectStorage(container, kRootOrMain, &storage);
  return storage;
}

HRESULT DestroyIn(IStorage* parent, int block, int selector) {
  NameBuffer name;
  if (!ComposeBlockName(block, selector, name)) return STG_E_INVALIDNAME;
  return parent->DestroyElement(ToExportName(name));
}

// `newName` and `oldName` (when given) are known to fit.
HRESULT RenameIn(IStorage* parent, int block, int selector, const char* oldName,
                 const char* newName) {
  NameBuffer new_name;
  ComposeCallerName(newName, selector, new_name);
  // The export-name buffer is needed again for the old name.
  OLECHAR* new_wide =
      qss::CopyWide(ToExportName(new_name), qss::HeapUse::kNameCopy);
  if (new_wide == nullptr) return E_OUTOFMEMORY;
  NameBuffer old_name;
  const bool composed = oldName != nullptr
                            ? ComposeCallerName(oldName, selector, old_name)
                            : ComposeBlockName(block, selector, old_name);
  const HRESULT renamed =
      composed ? parent->RenameElement(ToExportName(old_name), new_wide)
               : STG_E_INVALIDNAME;
  std::free(new_wide);
  return renamed;
}

}  // namespace

extern "C" {

QSS_API int QSS_CALL GetObjectStorage(int block, int selector, IStorage** out) {
  if (out == nullptr) return 1;
  return ObjectStorage(block, selector, out);
}

QSS_API int QSS_CALL DelObjectStorage(int block, int selector) {
  const int container = qsBlkHdr_GetCntr(block);
  if (container == 0) return 1;
  IStorage* parent = ContainerStorage(container);
  if (parent == nullptr) return 1;
  const HRESULT destroyed = DestroyIn(parent, block, selector);
  parent->Release();
  return destroyed == S_OK ? 0 : 1;
}

QSS_API int QSS_CALL RenObjectStorage(int block, int selector,
                                      const char* oldName,
                                      const char* newName) {
  if (newName == nullptr) return 1;
  // Caller names that cannot fit are refused before the hierarchy is asked
  // anything or a container storage is made.
  if (!FitsBuffer(newName, selector)) return 1;
  if (oldName != nullptr && !FitsBuffer(oldName, selector)) return 1;
  const int container = qsBlkHdr_GetCntr(block);
  if (container == 0) return 1;
  IStorage* parent = ContainerStorage(container);
  if (parent == nullptr) return 1;
  const HRESULT renamed = RenameIn(parent, block, selector, oldName, newName);
  parent->Release();
  return renamed == S_OK ? 0 : 1;
}

}  // extern "C"
