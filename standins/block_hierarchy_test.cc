#include <cstring>
#include <string>

#include "records/host_blocks.h"
#include "gtest/gtest.h"
#include "standins/hierarchy_controls.h"

namespace {

class HierarchyStandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QssHier_SetStrict(1);
    QssHier_Reset();
  }
  void TearDown() override {
    QssHier_SetStrict(1);
    QssHier_Reset();
  }
  static std::string Name(int block) {
    char buffer[256];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(qsBlkHdr_GetName(block, buffer), 0);
    return std::string(buffer, strnlen(buffer, sizeof(buffer)));
  }
};

TEST_F(HierarchyStandinTest, ReportsContainersAndNames) {
  const int top = QssHier_AddBlock(0, "plant");
  const int unit = QssHier_AddBlock(top, "unit 1");
  const int valve = QssHier_AddBlock(unit, "valve");
  const int other = QssHier_AddBlock(0, nullptr);
  EXPECT_EQ(top, 1);
  EXPECT_EQ(valve, 3);
  EXPECT_EQ(qsBlkHdr_GetCntr(top), 0);
  EXPECT_EQ(qsBlkHdr_GetCntr(unit), top);
  EXPECT_EQ(qsBlkHdr_GetCntr(valve), unit);
  EXPECT_EQ(qsBlkHdr_GetCntr(other), 0);
  EXPECT_EQ(Name(unit), "unit 1");
  EXPECT_EQ(Name(other), "");

  QssHier_Rename(valve, "valve 2");
  EXPECT_EQ(Name(valve), "valve 2");
  EXPECT_EQ(qsBlkHdr_GetCntr(valve), unit);

  QssHier_Reset();
  EXPECT_EQ(QssHier_AddBlock(0, "again"), 1);
  EXPECT_EQ(Name(1), "again");
}

TEST_F(HierarchyStandinTest, NamesNeverOverrunTheBuffer) {
  const std::string fits(255, 'a');
  const std::string too_long = std::string(255, 'b') + "tail";
  const int a = QssHier_AddBlock(0, fits.c_str());
  const int b = QssHier_AddBlock(0, too_long.c_str());
  char buffer[300];
  std::memset(buffer, 'x', sizeof(buffer));
  ASSERT_EQ(qsBlkHdr_GetName(a, buffer), 0);
  EXPECT_EQ(std::string(buffer), fits);
  std::memset(buffer, 'x', sizeof(buffer));
  ASSERT_EQ(qsBlkHdr_GetName(b, buffer), 0);
  EXPECT_EQ(std::string(buffer), std::string(255, 'b'));
  EXPECT_EQ(buffer[256], 'x');
}

TEST_F(HierarchyStandinTest, LenientModeAnswersUnknownHandlesEmpty) {
  QssHier_SetStrict(0);
  QssHier_AddBlock(0, "only");
  char buffer[256] = "stale";
  EXPECT_EQ(qsBlkHdr_GetCntr(2), 0);
  EXPECT_EQ(qsBlkHdr_GetName(0, buffer), -1);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(QssHier_AddBlock(9, "orphan"), 0);
  QssHier_Rename(9, "ignored");
  EXPECT_EQ(QssHier_AddBlock(1, "child"), 2);
}

#ifndef _WIN32
using HierarchyStandinDeathTest = HierarchyStandinTest;

TEST_F(HierarchyStandinDeathTest, StrictModeAbortsOnUnknownHandles) {
  QssHier_AddBlock(0, "only");
  char buffer[256];
  EXPECT_DEATH(qsBlkHdr_GetCntr(0), "qsBlkHdr_GetCntr.*block 0");
  EXPECT_DEATH(qsBlkHdr_GetName(2, buffer), "qsBlkHdr_GetName.*block 2");
  EXPECT_DEATH(QssHier_AddBlock(5, "x"), "QssHier_AddBlock.*block 5");
  EXPECT_DEATH(QssHier_Rename(-1, "x"), "QssHier_Rename.*block -1");
}
#endif  // _WIN32

}  // namespace
