#include "reliability/ops.h"

#include <random>

#include "reliability/operations.h"

namespace qss_reliability {
namespace {

// The draws are made without a distribution object, whose algorithm the
// standard leaves open: the same seed must give the same sequence under
// every library.
OpKind DrawKind(std::mt19937* rng) {
  static const int total = [] {
    int sum = 0;
    for (int k = 0; k < static_cast<int>(OpKind::kCount); ++k) {
      sum += OperationOf(static_cast<OpKind>(k)).weight;
    }
    return sum;
  }();
  int pick = static_cast<int>((*rng)() % static_cast<uint32_t>(total));
  for (int k = 0;; ++k) {
    const Operation& operation = OperationOf(static_cast<OpKind>(k));
    if (pick < operation.weight) return operation.kind;
    pick -= operation.weight;
  }
}

}  // namespace

Sequence GenerateSequence(uint32_t seed, int ops) {
  std::mt19937 rng(seed);
  Sequence sequence;
  sequence.setup = rng();
  // Most operations need an object to work on: the root is taken at the
  // start and again whenever every object has been let go.
  bool holding = false;
  for (int i = 0; i < ops; ++i) {
    Op op;
    op.kind = holding ? DrawKind(&rng) : OpKind::kGetRoot;
    for (uint8_t& arg : op.arg) arg = static_cast<uint8_t>(rng());
    sequence.ops.push_back(op);
    holding = op.kind != OpKind::kReleaseAll && op.kind != OpKind::kLoad;
  }
  return sequence;
}

Sequence DecodeSequence(const uint8_t* data, size_t size) {
  Sequence sequence;
  for (size_t i = 0; i < kEncodedSetupBytes && i < size; ++i) {
    sequence.setup |= static_cast<uint32_t>(data[i]) << (8 * i);
  }
  constexpr int kKindCount = static_cast<int>(OpKind::kCount);
  for (size_t at = kEncodedSetupBytes; at + kEncodedOpBytes <= size;
       at += kEncodedOpBytes) {
    Op op;
    op.kind = static_cast<OpKind>(data[at] % kKindCount);
    for (int k = 0; k < kOpArgs; ++k) op.arg[k] = data[at + 1 + k];
    sequence.ops.push_back(op);
  }
  return sequence;
}

std::vector<uint8_t> EncodeSequence(const Sequence& sequence) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < kEncodedSetupBytes; ++i) {
    bytes.push_back(static_cast<uint8_t>(sequence.setup >> (8 * i)));
  }
  for (const Op& op : sequence.ops) {
    bytes.push_back(static_cast<uint8_t>(op.kind));
    bytes.insert(bytes.end(), op.arg, op.arg + kOpArgs);
  }
  return bytes;
}

const char* KindName(OpKind kind) { return OperationOf(kind).name; }

std::string Describe(const Op& op) {
  const Operation& kind = OperationOf(op.kind);
  std::string out = std::string(kind.name) + "(";
  bool first = true;
  for (int k = 0; k < kOpArgs; ++k) {
    if (kind.labels[k] == nullptr) continue;
    if (!first) out += ", ";
    first = false;
    out += std::string(kind.labels[k]) + " " + std::to_string(op.arg[k]);
  }
  return out + ")";
}

std::string Describe(const Sequence& sequence) {
  std::string out = "setup " + std::to_string(sequence.setup) + "\n";
  for (size_t i = 0; i < sequence.ops.size(); ++i) {
    out += "  " + std::to_string(i) + ": " + Describe(sequence.ops[i]) + "\n";
  }
  return out;
}

}  // namespace qss_reliability
