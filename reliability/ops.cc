#include "reliability/ops.h"

#include <random>

namespace qss_reliability {
namespace {

struct KindInfo {
  const char* name;
  // How often seeded generation picks the kind, against the others.
  int weight;
  // What the arguments select; unnamed ones are unused.
  const char* labels[kOpArgs];
};

constexpr KindInfo kKinds[] = {
    {"GetRoot", 3, {}},
    {"CreateStream", 8, {"storage", "name", "mode", "variant"}},
    {"OpenStream", 6, {"storage", "name", "mode", "variant"}},
    {"CreateStorage", 6, {"storage", "name", "mode", "variant"}},
    {"OpenStorage", 5, {"storage", "name", "mode", "variant"}},
    {"DestroyElement", 4, {"storage", "name"}},
    {"RenameElement", 4, {"storage", "name", "new name"}},
    {"StatStorage", 2, {"storage", "flag", "variant"}},
    {"SetClass", 2, {"storage", "clsid", "variant"}},
    {"FixedStorageCalls", 1, {"storage", "call"}},
    {"EnumElements", 3, {"storage", "variant"}},
    {"CopyTo", 3, {"storage", "destination", "interfaces", "names"}},
    {"MoveElementTo",
     3,
     {"storage", "name", "destination", "new name", "flags"}},
    {"Read", 6, {"stream", "count", "variant"}},
    {"Write", 8, {"stream", "length", "pattern", "variant"}},
    {"Seek", 5, {"stream", "move", "origin", "variant"}},
    {"SetSize", 3, {"stream", "size"}},
    {"StreamCopyTo", 2, {"stream", "destination", "count", "variant"}},
    {"StatStream", 2, {"stream", "flag", "variant"}},
    {"Clone", 2, {"stream", "variant"}},
    {"FixedStreamCalls", 1, {"stream", "call"}},
    {"Next", 5, {"enumerator", "count", "variant"}},
    {"Skip", 2, {"enumerator", "count"}},
    {"Reset", 1, {"enumerator"}},
    {"EnumClone", 1, {"enumerator", "variant"}},
    {"QueryInterface", 2, {"class", "object", "interface", "variant"}},
    {"AddRef", 1, {"class", "object"}},
    {"Release", 6, {"class", "object"}},
    {"ReleaseAll", 1, {}},
    {"GetObjectStorage", 3, {"block", "selector", "variant"}},
    {"DelObjectStorage", 2, {"block", "selector"}},
    {"RenObjectStorage",
     2,
     {"block", "selector", "old name", "new name", "variant"}},
    {"RestoreRefCounts", 1, {"variant"}},
    {"ClearRoot", 1, {"variant"}},
    {"Save", 1, {}},
    {"Load", 1, {}},
};
static_assert(sizeof kKinds / sizeof kKinds[0] ==
                  static_cast<size_t>(OpKind::kCount),
              "one entry per kind");

// The draws are made without a distribution object, whose algorithm the
// standard leaves open: the same seed must give the same sequence under
// every library.
OpKind DrawKind(std::mt19937* rng) {
  static const int total = [] {
    int sum = 0;
    for (const KindInfo& kind : kKinds) sum += kind.weight;
    return sum;
  }();
  int pick = static_cast<int>((*rng)() % static_cast<uint32_t>(total));
  for (size_t i = 0;; ++i) {
    if (pick < kKinds[i].weight) return static_cast<OpKind>(i);
    pick -= kKinds[i].weight;
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

const char* KindName(OpKind kind) {
  return kKinds[static_cast<size_t>(kind)].name;
}

std::string Describe(const Op& op) {
  const KindInfo& kind = kKinds[static_cast<size_t>(op.kind)];
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
