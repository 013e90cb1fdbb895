#include "records/element_list.h"

#include <gtest/gtest.h>

#include <vector>

#include "records/claims.h"
#include "records/lifetime.h"
#include "standins/plex_controls.h"
#include "tests/test_support.h"

namespace qss {
namespace {

using qss_test::Word;

// Lists and lifetimes on bare records: nodes made from names alone, no
// objects but the claims a test makes itself.
class ElementListTest : public qss_test::PlexTest {
 protected:
  void SetUp() override {
    PlexTest::SetUp();
    parent_ = AllocateNamedNode(kStorageLayout, NameKeyOf("p"));
    ASSERT_NE(0, parent_);
  }
  void TearDown() override {
    DeleteNode(parent_, kKindStorage);
    PlexTest::TearDown();
  }
  // A linked child of `kind`; the list runs newest first.
  int Add(const char* name, int kind) {
    const int id = AllocateNamedNode(LayoutOf(kind), NameKeyOf(name));
    EXPECT_TRUE(LinkElement(parent_, id, kind));
    return id;
  }
  // The children a cursor from the head visits, 0 for entries without one.
  std::vector<int> Walk() {
    EntryCursor cursor(FirstEntry(parent_), FirstEntry(parent_));
    std::vector<int> children;
    for (Element e; cursor.Step(&e);) children.push_back(e.child);
    return children;
  }

  int parent_ = 0;
};

TEST_F(ElementListTest, CursorsStepOffEntriesAsTheyAreUnlinked) {
  const int c = Add("c", kKindStream);
  const int b = Add("b", kKindStorage);
  const int a = Add("a", kKindStream);
  EXPECT_EQ((std::vector<int>{a, b, c}), Walk());
  const int head = FirstEntry(parent_);
  const int middle = ReadEntry(head).next;
  EntryCursor at_head(head, head);
  EntryCursor at_middle(head, middle);
  Element e;
  // Unlinking the entry a cursor rests on moves it (and a start there) on.
  UnlinkEntry(parent_, middle);
  ASSERT_TRUE(at_middle.Step(&e));
  EXPECT_EQ(c, e.child);
  EXPECT_FALSE(at_middle.Step(&e));
  EXPECT_EQ(0, at_middle.position());
  UnlinkEntry(parent_, head);
  EXPECT_EQ(FirstEntry(parent_), at_head.start());
  at_middle.Reset();
  ASSERT_TRUE(at_middle.Step(&e));
  EXPECT_EQ(c, e.child);
  // The survivor's previous word was mended both times.
  EXPECT_EQ(0, Word(FirstEntry(parent_), kEntryPreviousWord));
  DeleteNode(a, kKindStream);
  DeleteNode(b, kKindStorage);
}

TEST_F(ElementListTest, FindPassesOverEntriesAWalkCannotReport) {
  const int x = Add("x", kKindStorage);
  ASSERT_TRUE(LinkElement(parent_, 0, kKindStream));
  ASSERT_TRUE(LinkElement(parent_, x, 7));
  Element found = FindElement(parent_, NameKeyOf("x"));
  EXPECT_EQ(x, found.child);
  EXPECT_EQ(kKindStorage, found.kind);
  EXPECT_EQ(0, found.next);
  EXPECT_EQ(0, FindElement(parent_, NameKeyOf("y")).entry);
  EXPECT_EQ((std::vector<int>{x, 0, x}), Walk());
  // Unlinking by child takes the first entry naming it, whatever its kind.
  EXPECT_TRUE(UnlinkChild(parent_, x));
  EXPECT_EQ((std::vector<int>{0, x}), Walk());
  EXPECT_TRUE(UnlinkChild(parent_, 0));
  EXPECT_FALSE(UnlinkChild(parent_, 12345));
}

TEST_F(ElementListTest, TakingTheHeadMovesCursorsAndKeepsTheEntry) {
  const int s = Add("s", kKindStream);
  const int head = FirstEntry(parent_);
  EntryCursor cursor(head, head);
  const Element taken = TakeFirstEntry(parent_);
  EXPECT_EQ(head, taken.entry);
  EXPECT_EQ(s, taken.child);
  EXPECT_EQ(0, FirstEntry(parent_));
  EXPECT_EQ(0, cursor.start());
  EXPECT_EQ(0, cursor.position());
  EXPECT_TRUE(QssPlex_IsLive(head));
  EXPECT_EQ(0, TakeFirstEntry(parent_).entry);
  FreeEntry(head);
  DeleteNode(s, kKindStream);
}

// A stream's data block goes with it; a held node stays, marked deleted,
// with its objects attached until they look at it.
TEST_F(ElementListTest, DeletingFreesUnlessTheOpenCountHolds) {
  const int free_stream = Add("f", kKindStream);
  const int data = AllocateBlock(8);
  LocateBlock(free_stream)[kStreamDataBlockWord] = data;
  NodeClaim on_freed(free_stream);
  DestroyChild(parent_, free_stream, kKindStream);
  EXPECT_FALSE(QssPlex_IsLive(free_stream));
  EXPECT_FALSE(QssPlex_IsLive(data));
  EXPECT_EQ(0, on_freed.block_id());

  const int held = Add("h", kKindStorage);
  LocateBlock(held)[kStorageOpenCountWord] = 1;
  NodeClaim on_held(held);
  DestroyChild(parent_, held, kKindStorage);
  EXPECT_TRUE(QssPlex_IsLive(held));
  EXPECT_TRUE(IsDeleted(LocateBlock(held), kStorageLayout));
  EXPECT_EQ(held, on_held.block_id());
  EXPECT_EQ(0, FirstEntry(parent_));
  on_held.Drop();
  FreeBlock(held);
}

TEST_F(ElementListTest, ClosingResetsModesAndCountsBelowTheRootOnly) {
  const int sub = Add("sub", kKindStorage);
  const int s = AllocateNamedNode(kStreamLayout, NameKeyOf("s"));
  ASSERT_TRUE(LinkElement(sub, s, kKindStream));
  LocateBlock(parent_)[kStorageOpenModeWord] = 0x12;
  LocateBlock(sub)[kStorageOpenModeWord] = 0x10;
  LocateBlock(sub)[kStorageOpenCountWord] = 4;
  LocateBlock(s)[kStreamOpenModeWord] = 0x12;
  LocateBlock(s)[kStreamOpenCountWord] = 2;
  CloseSubtree(sub);
  EXPECT_EQ(0x12, Word(parent_, kStorageOpenModeWord));
  EXPECT_EQ(kNotOpen, Word(sub, kStorageOpenModeWord));
  EXPECT_EQ(0, Word(sub, kStorageOpenCountWord));
  EXPECT_EQ(kNotOpen, Word(s, kStreamOpenModeWord));
  EXPECT_EQ(0, Word(s, kStreamOpenCountWord));
  CloseSubtree(0);  // no root, nothing to do
}

}  // namespace
}  // namespace qss
