#include "exports/root_anchor.h"

#include <gtest/gtest.h>

#include "records/element_list.h"
#include "records/names.h"
#include "records/node_records.h"
#include "records/plex.h"
#include "standins/plex_controls.h"
#include "storage/storage_plex.h"
#include "tests/test_support.h"

namespace qss {
namespace {

using qss_test::RootId;
using qss_test::Word;

class RootAnchorTest : public qss_test::PlexTest {
 protected:
  static bool Link(int parent, int child, int kind) {
    return LinkElement(parent, child, kind);
  }
  // A sub-storage linked under `parent`, left open with `mode`.
  int AddStorage(int parent, const char* name, int mode) {
    CIStoragePlex* child = CreateStorageNode(NameKeyOf(name));
    child->SetOpenModeIfNotOpen(mode);
    const int id = child->block_id();
    EXPECT_TRUE(Link(parent, id, kKindStorage));
    child->Release();
    return id;
  }
  int AddStream(int parent, const char* name, int mode, int open_count = 0) {
    const int id = AllocateNamedNode(kStreamLayout, NameKeyOf(name));
    LocateBlock(id)[kStreamOpenModeWord] = mode;
    LocateBlock(id)[kStreamOpenCountWord] = open_count;
    EXPECT_TRUE(Link(parent, id, kKindStream));
    return id;
  }
};

TEST_F(RootAnchorTest, FreshPlexGetsAnAnchoredRoot) {
  IStorage* root = OpenRootStorage();
  ASSERT_NE(nullptr, root);
  const int id = RootId();
  ASSERT_NE(0, id);
  const int expected[] = {static_cast<int>(0xBE0E1A90),
                          0x11D2BCFD,
                          static_cast<int>(0xC0003A82),
                          0x1B776E4F,
                          0x42,
                          0,
                          0,
                          0,
                          1,
                          0x746F6F52};  // "Root"
  ASSERT_EQ(10, QssPlex_BlockWords(id));
  for (int k = 0; k < 10; ++k) EXPECT_EQ(expected[k], Word(id, k)) << k;

  IStorage* again = OpenRootStorage();
  EXPECT_NE(root, again);
  EXPECT_EQ(id, RootId());
  // Each object holds its own count, and releasing leaves the node alone.
  EXPECT_EQ(0u, again->Release());
  EXPECT_EQ(0u, root->Release());
  EXPECT_EQ(3, QssPlex_LiveBlocks());
}

TEST_F(RootAnchorTest, OpenRootKeepsAModeAlreadySet) {
  OpenRootStorage()->Release();
  LocateBlock(RootId())[kStorageOpenModeWord] = 0x12;
  OpenRootStorage()->Release();
  EXPECT_EQ(0x12, Word(RootId(), kStorageOpenModeWord));
}

TEST_F(RootAnchorTest, ResetClosesEveryNodeAndChangesNothingElse) {
  OpenRootStorage()->Release();
  const int a = AddStorage(RootId(), "a", 0x12);
  const int b = AddStorage(a, "b", 0x10);
  const int s = AddStream(b, "s", 0x12, 3);
  const int t = AddStream(RootId(), "t", 0x10);
  const int c = AddStorage(RootId(), "c", 0x12);
  LocateBlock(c)[kStorageOpenCountWord] = 2;
  const long long words = QssPlex_LiveWords();

  ResetOpenState();
  for (int node : {RootId(), a, b, c}) {
    EXPECT_EQ(kNotOpen, Word(node, kStorageOpenModeWord));
    EXPECT_EQ(0, Word(node, kStorageOpenCountWord));
  }
  for (int node : {s, t}) {
    EXPECT_EQ(kNotOpen, Word(node, kStreamOpenModeWord));
    EXPECT_EQ(0, Word(node, kStreamOpenCountWord));
  }
  EXPECT_EQ(0xBE0E1A90u, static_cast<unsigned>(Word(RootId(), 0)));
  EXPECT_EQ(words, QssPlex_LiveWords());
  // The next open makes the root writable again.
  OpenRootStorage()->Release();
  EXPECT_EQ(0x42, Word(RootId(), kStorageOpenModeWord));
}

TEST_F(RootAnchorTest, ResetPassesOverOddEntries) {
  OpenRootStorage()->Release();
  const int a = AddStorage(RootId(), "a", 0x12);
  ASSERT_TRUE(Link(RootId(), 0, kKindStorage));
  ASSERT_TRUE(Link(RootId(), a, 7));
  ResetOpenState();
  EXPECT_EQ(kNotOpen, Word(a, kStorageOpenModeWord));
  check_leaks_ = false;  // the odd entries are not part of any tree
}

TEST_F(RootAnchorTest, ResetWalksAHundredThousandLevels) {
  OpenRootStorage()->Release();
  int parent = RootId();
  for (int depth = 0; depth < 100000; ++depth) {
    parent = AddStorage(parent, "level", 0x12);
  }
  const int leaf = AddStream(parent, "leaf", 0x12);
  ResetOpenState();
  EXPECT_EQ(kNotOpen, Word(parent, kStorageOpenModeWord));
  EXPECT_EQ(kNotOpen, Word(leaf, kStreamOpenModeWord));
  ClearRoot();
  EXPECT_EQ(2, QssPlex_LiveBlocks());
}

TEST_F(RootAnchorTest, ClearDiscardsTheTreeAndDetachesObjects) {
  IStorage* root = OpenRootStorage();
  const int old_root = RootId();
  const int a = AddStorage(old_root, "a", 0x12);
  AddStream(a, "s", 0x12);
  ClearRoot();
  EXPECT_EQ(0, RootId());
  EXPECT_FALSE(QssPlex_IsLive(old_root));
  EXPECT_EQ(2, QssPlex_LiveBlocks());
  // The object still open on the old root was detached before the free.
  STATSTG stat;
  EXPECT_EQ(E_FAIL, root->Stat(&stat, STATFLAG_NONAME));
  root->Release();

  ClearRoot();  // an empty anchor stays empty
  EXPECT_EQ(0, RootId());
  IStorage* fresh = OpenRootStorage();
  EXPECT_NE(0, RootId());
  EXPECT_EQ(0, Word(RootId(), kStorageFirstEntryWord));
  fresh->Release();
}

TEST_F(RootAnchorTest, FullStoreGivesNoRootAndNoAnchor) {
  QssPlex_FailAllocAfter(0);
  EXPECT_EQ(nullptr, OpenRootStorage());
  EXPECT_EQ(0, RootId());
  EXPECT_EQ(2, QssPlex_LiveBlocks());
}

}  // namespace
}  // namespace qss
