#include "stream/stream_plex.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "records/lifetime.h"
#include "records/names.h"
#include "records/node_records.h"
#include "records/plex.h"

namespace qss {
namespace {

uint32_t WordValue(const int* node, int word) {
  return static_cast<uint32_t>(node[word]);
}

// The part of the data block this node may touch. The record's words are
// trusted only as far as they agree with each other: a node whose size
// exceeds its capacity, or whose capacity exceeds its word count, still
// never sends a copy past the block.
struct Extent {
  uint32_t size;
  uint32_t capacity;
};

Extent ExtentOf(const int* node) {
  Extent extent = {0, 0};
  if (node[kStreamDataBlockWord] == 0) return extent;
  const uint64_t word_bytes =
      4 * static_cast<uint64_t>(WordValue(node, kStreamCapacityWordsWord));
  extent.capacity = static_cast<uint32_t>(std::min<uint64_t>(
      WordValue(node, kStreamCapacityBytesWord), word_bytes));
  extent.size = std::min(WordValue(node, kStreamSizeWord), extent.capacity);
  return extent;
}

// Copies n bytes, sizeof(Word) <= n <= 2 * sizeof(Word), as two words that
// overlap when n is less than two; both are read before either is written.
template <class Word>
void CopyTwoWords(char* to, const char* from, size_t n) {
  Word head;
  Word tail;
  std::memcpy(&head, from, sizeof head);
  std::memcpy(&tail, from + n - sizeof tail, sizeof tail);
  std::memcpy(to, &head, sizeof head);
  std::memcpy(to + n - sizeof tail, &tail, sizeof tail);
}

// Copies bytes between a caller's buffer and a stream's data. Pieces of up
// to 16 bytes are copied inline: small reads and appends are common, and a
// call into the C runtime's memcpy costs more than such a piece.
inline void CopyBytes(void* to, const void* from, size_t n) {
  auto* d = static_cast<char*>(to);
  const auto* s = static_cast<const char*>(from);
  if (n > 16) {
    std::memcpy(d, s, n);
  } else if (n >= 8) {
    CopyTwoWords<uint64_t>(d, s, n);
  } else if (n >= 4) {
    CopyTwoWords<uint32_t>(d, s, n);
  } else if (n != 0) {
    const char first = s[0];
    const char middle = s[n / 2];
    const char last = s[n - 1];
    d[0] = first;
    d[n / 2] = middle;
    d[n - 1] = last;
  }
}

// `*sum` = a + b, or false when the sum does not fit 64 bits.
bool CheckedAdd(int64_t a, int64_t b, int64_t* sum) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  if (b > 0 ? a > kMax - b : a < kMin - b) return false;
  *sum = a + b;
  return true;
}

char* DataBytes(const int* node) {
  return reinterpret_cast<char*>(LocateBlock(node[kStreamDataBlockWord]));
}

// Grows the data block to `needed` bytes rounded up to the next 256, one
// step at a time rather than geometrically: the store keeps the block's
// bytes, so nothing is copied here. `node` stays valid: resizing or
// allocating the data block moves no other block. False, with the node
// unchanged, when the store cannot hold the new size.
bool GrowDataBlock(int* node, uint64_t needed) {
  if (needed > kMaxStreamBytes) return false;
  const uint32_t capacity =
      static_cast<uint32_t>((needed + 255) & ~uint64_t{255});
  const int words = static_cast<int>(capacity / 4);
  if (node[kStreamDataBlockWord] == 0) {
    const int id = AllocateBlock(words);
    if (id == 0) return false;
    node[kStreamDataBlockWord] = id;
  } else if (ResizeBlock(node[kStreamDataBlockWord], words) == nullptr) {
    return false;
  }
  node[kStreamCapacityWordsWord] = words;
  node[kStreamCapacityBytesWord] = static_cast<int>(capacity);
  return true;
}

}  // namespace

CImplIStreamPlex::CImplIStreamPlex(int block_id) : node_(block_id) {}

CImplIStreamPlex::CImplIStreamPlex(const CImplIStreamPlex& other)
    : node_(other.block_id()), position_(other.position_) {}

HRESULT CImplIStreamPlex::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (IsNullAddress(&riid)) return E_NOINTERFACE;
  if (!IsEqualIID(riid, IID_IUnknown) &&
      !IsEqualIID(riid, IID_ISequentialStream) &&
      !IsEqualIID(riid, IID_IStream)) {
    return E_NOINTERFACE;
  }
  *ppv = static_cast<IStream*>(this);
  AddRef();
  return S_OK;
}

ULONG CImplIStreamPlex::AddRef() { return ++ref_count_; }

ULONG CImplIStreamPlex::Release() {
  if (--ref_count_ != 0) return ref_count_;
  delete this;
  return 0;
}

HRESULT CImplIStreamPlex::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  if (pcbRead != nullptr) *pcbRead = 0;
  const int* node = LiveNode();
  if (node == nullptr) return E_FAIL;
  if (pv == nullptr && cb != 0) return STG_E_INVALIDPOINTER;
  if (!ModeAllowsReading(node[kStreamOpenModeWord])) {
    return STG_E_ACCESSDENIED;
  }
  // Positions are never truncated: one at or past 2^32 is past every size.
  if (position_ >= WordValue(node, kStreamSizeWord)) return S_OK;
  if (node[kStreamDataBlockWord] == 0) return E_FAIL;
  const Extent extent = ExtentOf(node);
  if (position_ >= extent.size) return S_OK;
  const uint32_t offset = static_cast<uint32_t>(position_);
  const ULONG n = std::min<ULONG>(cb, extent.size - offset);
  // A read of 0 bytes may come with a null buffer.
  if (n != 0) CopyBytes(pv, DataBytes(node) + offset, n);
  position_ += n;
  if (pcbRead != nullptr) *pcbRead = n;
  return S_OK;
}

HRESULT CImplIStreamPlex::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  if (pcbWritten != nullptr) *pcbWritten = 0;
  int* node = LiveNode();
  if (node == nullptr) return E_FAIL;
  if (pv == nullptr && cb != 0) return STG_E_INVALIDPOINTER;
  if (!ModeAllowsWriting(node[kStreamOpenModeWord])) {
    return STG_E_ACCESSDENIED;
  }
  // Positions stay below 2^63, so the sum cannot wrap; an end past what the
  // words can describe fails the growth below, before anything changes.
  const uint64_t end = position_ + cb;
  const Extent extent = ExtentOf(node);
  if (end > extent.capacity && !GrowDataBlock(node, end)) {
    return STG_E_MEDIUMFULL;
  }
  const uint32_t offset = static_cast<uint32_t>(position_);
  // An empty write at the end touches no byte, and a stream made without a
  // data block may have none to locate.
  if (cb != 0 || offset > extent.size) {
    char* data = DataBytes(node);
    // The bytes past the size may hold what a shrink left behind.
    if (offset > extent.size) {
      std::memset(data + extent.size, 0, offset - extent.size);
    }
    CopyBytes(data + offset, pv, cb);
  }
  position_ = end;
  node[kStreamSizeWord] =
      static_cast<int>(std::max(extent.size, static_cast<uint32_t>(end)));
  if (pcbWritten != nullptr) *pcbWritten = cb;
  return S_OK;
}

HRESULT CImplIStreamPlex::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                               ULARGE_INTEGER* plibNewPosition) {
  if (!IsAlive()) return E_FAIL;
  int64_t base = 0;
  switch (dwOrigin) {
    case STREAM_SEEK_SET:
      break;
    case STREAM_SEEK_CUR:
      base = static_cast<int64_t>(position_);
      break;
    case STREAM_SEEK_END:
      base = WordValue(LocateBlock(block_id()), kStreamSizeWord);
      break;
    default:
      return STG_E_INVALIDFUNCTION;
  }
  int64_t target = 0;
  if (!CheckedAdd(base, dlibMove.QuadPart, &target)) {
    return STG_E_INVALIDFUNCTION;
  }
  if (target < 0) return STG_E_INVALIDFUNCTION;
  position_ = static_cast<uint64_t>(target);
  if (plibNewPosition != nullptr) plibNewPosition->QuadPart = position_;
  return S_OK;
}

HRESULT CImplIStreamPlex::SetSize(ULARGE_INTEGER libNewSize) {
  int* node = LiveNode();
  if (node == nullptr) return E_FAIL;
  if (!ModeAllowsWriting(node[kStreamOpenModeWord])) {
    return STG_E_ACCESSDENIED;
  }
  if (libNewSize.QuadPart > std::numeric_limits<uint32_t>::max()) {
    return STG_E_INVALIDFUNCTION;
  }
  const uint32_t size = static_cast<uint32_t>(libNewSize.QuadPart);
  const Extent extent = ExtentOf(node);
  if (size > extent.capacity) {
    // Reserves room; the stream itself stays as long as it was.
    if (!GrowDataBlock(node, size)) return STG_E_MEDIUMFULL;
    return S_OK;
  }
  if (size == extent.capacity) return S_OK;
  // A store that refuses to shrink keeps the larger block, which still
  // covers everything recorded below; word 0 keeps its id even for 0 words.
  ResizeBlock(node[kStreamDataBlockWord], static_cast<int>((size + 3) / 4));
  node[kStreamCapacityWordsWord] = static_cast<int>((size + 3) / 4);
  node[kStreamCapacityBytesWord] = static_cast<int>(size);
  node[kStreamSizeWord] = static_cast<int>(std::min(extent.size, size));
  return S_OK;
}

void CImplIStreamPlex::SetOpenMode(int mode) {
  if (block_id() == 0) return;
  LocateBlock(block_id())[kStreamOpenModeWord] = mode;
}

int CImplIStreamPlex::GetOpenMode() {
  if (block_id() == 0) return 0;
  return ReportedMode(LocateBlock(block_id())[kStreamOpenModeWord]);
}

int* CImplIStreamPlex::LiveNode() {
  if (block_id() == 0) return nullptr;
  int* node = LocateBlock(block_id());
  if (IsDeleted(node, kStreamLayout)) {
    node_.Drop();
    return nullptr;
  }
  return node;
}

bool CImplIStreamPlex::IsAlive() { return LiveNode() != nullptr; }

bool CImplIStreamPlex::IsOpenForReading() {
  if (block_id() == 0) return false;
  return ModeAllowsReading(LocateBlock(block_id())[kStreamOpenModeWord]);
}

bool CImplIStreamPlex::IsOpenForWriting() {
  if (block_id() == 0) return false;
  return ModeAllowsWriting(LocateBlock(block_id())[kStreamOpenModeWord]);
}

CImplIStreamPlex* CreateStreamNode(const NameKey& key, int initial_capacity) {
  const int id = AllocateNamedNode(kStreamLayout, key);
  if (id == 0) return nullptr;
  int* node = LocateBlock(id);
  node[kStreamOpenModeWord] = kNotOpen;
  if (initial_capacity > 0 &&
      !GrowDataBlock(node, static_cast<uint64_t>(initial_capacity))) {
    FreeBlock(id);
    return nullptr;
  }
  auto* stream = new (std::nothrow) CImplIStreamPlex(id);
  if (stream == nullptr) {
    if (node[kStreamDataBlockWord] != 0) FreeBlock(node[kStreamDataBlockWord]);
    FreeBlock(id);
    return nullptr;
  }
  return stream;
}

}  // namespace qss
