// Operation sequences for the reliability runs, in one compact form shared by
// seeded generation, fuzz inputs and the regression files: a setup word
// (block hierarchy and store options) and operations of a kind and six
// argument bytes. Arguments select among the objects held and the values of
// fixed tables when the operation runs, so any byte string is a valid
// sequence and any subsequence of one is too.
#ifndef QSSTORAGE_RELIABILITY_OPS_H_
#define QSSTORAGE_RELIABILITY_OPS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qss_reliability {

enum class OpKind : uint8_t {
  kGetRoot,
  kCreateStream,
  kOpenStream,
  kCreateStorage,
  kOpenStorage,
  kDestroyElement,
  kRenameElement,
  kStatStorage,
  kSetClass,
  kFixedStorageCalls,
  kEnumElements,
  kCopyTo,
  kMoveElementTo,
  kRead,
  kWrite,
  kSeek,
  kSetSize,
  kStreamCopyTo,
  kStatStream,
  kClone,
  kFixedStreamCalls,
  kNext,
  kSkip,
  kReset,
  kEnumClone,
  kQueryInterface,
  kAddRef,
  kRelease,
  kReleaseAll,
  kGetObjectStorage,
  kDelObjectStorage,
  kRenObjectStorage,
  kRestoreRefCounts,
  kClearRoot,
  kSave,
  kLoad,
  kCount
};

constexpr int kOpArgs = 6;
constexpr size_t kEncodedOpBytes = 1 + kOpArgs;
constexpr size_t kEncodedSetupBytes = 4;

struct Op {
  OpKind kind;
  uint8_t arg[kOpArgs];
};

struct Sequence {
  uint32_t setup = 0;
  std::vector<Op> ops;
};

// A sequence of `ops` operations drawn from `seed`; the same seed gives the
// same sequence on every platform.
Sequence GenerateSequence(uint32_t seed, int ops);

// Bytes to a sequence: 4 setup bytes, then 7 bytes per operation (a kind
// taken modulo the number of kinds, then the arguments). Short input is
// padded with zeros; a trailing partial operation is dropped.
Sequence DecodeSequence(const uint8_t* data, size_t size);
std::vector<uint8_t> EncodeSequence(const Sequence& sequence);

const char* KindName(OpKind kind);
// "CreateStream(storage 1, name 4, mode 0, variant 9)".
std::string Describe(const Op& op);
std::string Describe(const Sequence& sequence);

}  // namespace qss_reliability

#endif  // QSSTORAGE_RELIABILITY_OPS_H_
