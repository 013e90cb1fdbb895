// The operation table: an entry at every kind's place, each runnable one
// way or the other, and seeded sequences that stay what the regression
// seeds and the fuzz corpus were made from.
#include "reliability/operations.h"

#include <gtest/gtest.h>

namespace qss_reliability {
namespace {

TEST(OperationTable, EveryKindHasItsOwnCompleteEntry) {
  for (int k = 0; k < static_cast<int>(OpKind::kCount); ++k) {
    const auto kind = static_cast<OpKind>(k);
    const Operation& operation = OperationOf(kind);
    EXPECT_EQ(kind, operation.kind) << "entry " << k;
    EXPECT_STREQ(operation.name, KindName(kind));
    EXPECT_GT(operation.weight, 0) << operation.name;
    // Either the driver's own, or the two halves; never a mix.
    const bool halves =
        operation.library != nullptr && operation.model != nullptr;
    EXPECT_NE(operation.run != nullptr, halves) << operation.name;
    if (operation.run != nullptr) {
      EXPECT_EQ(nullptr, operation.resolve) << operation.name;
      EXPECT_EQ(nullptr, operation.agree) << operation.name;
      EXPECT_EQ(nullptr, operation.after_failure) << operation.name;
    }
    for (int j = 0; j < k; ++j) {
      EXPECT_STRNE(operation.name, OperationOf(static_cast<OpKind>(j)).name);
    }
  }
}

// FNV-1a of the encoded sequence.
uint32_t Fingerprint(const Sequence& sequence) {
  uint32_t hash = 2166136261u;
  for (uint8_t byte : EncodeSequence(sequence)) {
    hash = (hash ^ byte) * 16777619u;
  }
  return hash;
}

TEST(OperationTable, SeedsGiveTheSequencesTheyAlwaysGave) {
  const Sequence sequence = GenerateSequence(158, 188);
  EXPECT_EQ(OpKind::kGetRoot, sequence.ops[0].kind);
  EXPECT_EQ("CreateStream(storage 1, name 4, mode 0, variant 9)",
            Describe(Op{OpKind::kCreateStream, {1, 4, 0, 9, 7, 7}}));
  // Taken from the generator the regression seeds were found with.
  EXPECT_EQ(1808623941u, Fingerprint(sequence));
  EXPECT_EQ(3922984428u, Fingerprint(GenerateSequence(1, 31)));
  EXPECT_EQ(701285367u, Fingerprint(GenerateSequence(4999, 30 + 4999 % 171)));
}

}  // namespace
}  // namespace qss_reliability
