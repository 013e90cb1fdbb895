#include "check/element_lists.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "records/plex.h"
#include "standins/plex_controls.h"
#include "tests/test_support.h"

namespace qss {
namespace {

std::vector<AllocatedBlock> AllBlocks() {
  std::vector<AllocatedBlock> blocks;
  for (int id = QssPlex_NextBlockId(0); id != 0; id = QssPlex_NextBlockId(id)) {
    blocks.push_back({id, QssPlex_BlockWords(id)});
  }
  return blocks;
}

int& At(int block, int k) { return LocateBlock(block)[k]; }

// A storage node whose list holds two entries, each naming a stream node
// of a one-word name: storage -> e1 -> e2, newest first.
struct Records {
  int storage, e1, e2, child1, child2;
};

int MakeNode(const NodeLayout& layout) {
  const int id = AllocateBlock(NodeWords(layout, 1));
  At(id, layout.name_length_word) = 1;
  At(id, layout.name_length_word + 1) = 'n';
  return id;
}

int MakeEntry(int previous, int child) {
  const int id = AllocateBlock(kEntryWords);
  At(id, kEntryPreviousWord) = previous;
  At(id, kEntryKindWord) = kKindStream;
  At(id, kEntryChildWord) = child;
  return id;
}

Records MakeRecords() {
  Records r;
  r.storage = MakeNode(kStorageLayout);
  r.child1 = MakeNode(kStreamLayout);
  r.child2 = MakeNode(kStreamLayout);
  r.e1 = MakeEntry(0, r.child1);
  r.e2 = MakeEntry(r.e1, r.child2);
  At(r.e1, kEntryNextWord) = r.e2;
  At(r.storage, kStorageFirstEntryWord) = r.e1;
  return r;
}

const char* AdmissionName(Admission admission) {
  switch (admission) {
    case Admission::kAdmitted:
      return "ok";
    case Admission::kNotAllocated:
      return "not allocated";
    case Admission::kReachedAgain:
      return "again";
    case Admission::kTooShort:
      return "short";
  }
  return "?";
}

// The storage's list walked as the checker walks it, each admitted entry's
// child admitted after it: "e1 ok (child1 ok), e2 ok (child2 ok)".
std::string Walk(const Records& r) {
  const std::map<int, std::string> names = {{r.storage, "storage"},
                                            {r.e1, "e1"},
                                            {r.e2, "e2"},
                                            {r.child1, "child1"},
                                            {r.child2, "child2"}};
  auto name = [&](int id) {
    const auto found = names.find(id);
    return found != names.end() ? found->second : std::to_string(id);
  };
  RecordWalk walk(AllBlocks());
  const NodeRecord storage = walk.AdmitNode(r.storage, kStorageLayout);
  if (storage.admission != Admission::kAdmitted) return "storage refused";
  std::string out;
  ElementList list = walk.ListOf(storage);
  ListStep step;
  while (list.Next(&step)) {
    out += (out.empty() ? "" : ", ") + name(step.entry) + " " +
           AdmissionName(step.admission);
    if (step.admission != Admission::kAdmitted || !step.links.known_kind()) {
      continue;
    }
    const NodeRecord child =
        walk.AdmitNode(step.links.child, LayoutOf(step.links.kind));
    out += " (" + name(step.links.child) + " " +
           AdmissionName(child.admission) + ")";
  }
  return out;
}

class ElementListsTest : public qss_test::PlexTest {};

struct Bound {
  const char* what;
  std::function<void(const Records&)> plant;
  const char* walk;
};

TEST_F(ElementListsTest, WalkStopsAtEachBound) {
  const Bound bounds[] = {
      {"a sound list", [](const Records&) {},
       "e1 ok (child1 ok), e2 ok (child2 ok)"},
      {"a list looping to its head",
       [](const Records& r) { At(r.e2, kEntryNextWord) = r.e1; },
       "e1 ok (child1 ok), e2 ok (child2 ok), e1 again"},
      {"an entry naming itself",
       [](const Records& r) { At(r.e1, kEntryNextWord) = r.e1; },
       "e1 ok (child1 ok), e1 again"},
      {"a list naming its storage",
       [](const Records& r) { At(r.e2, kEntryNextWord) = r.storage; },
       "e1 ok (child1 ok), e2 ok (child2 ok), storage again"},
      {"a block id past every block",
       [](const Records& r) { At(r.e1, kEntryNextWord) = 0x7FFFFFFF; },
       "e1 ok (child1 ok), 2147483647 not allocated"},
      {"a negative block id",
       [](const Records& r) { At(r.storage, kStorageFirstEntryWord) = -3; },
       "-3 not allocated"},
      {"a freed entry", [](const Records& r) { FreeBlock(r.e2); },
       "e1 ok (child1 ok), e2 not allocated"},
      {"a freed child", [](const Records& r) { FreeBlock(r.child2); },
       "e1 ok (child1 ok), e2 ok (child2 not allocated)"},
      {"a child of two entries",
       [](const Records& r) { At(r.e2, kEntryChildWord) = r.child1; },
       "e1 ok (child1 ok), e2 ok (child1 again)"},
      {"an entry too short for its links",
       [](const Records& r) { ResizeBlock(r.e2, kEntryWords - 1); },
       "e1 ok (child1 ok), e2 short"},
      {"an entry of no words", [](const Records& r) { ResizeBlock(r.e1, 0); },
       "e1 short"},
      {"a child shorter than a node's header",
       [](const Records& r) { ResizeBlock(r.child1, 5); },
       "e1 ok (child1 short), e2 ok (child2 ok)"},
      {"an entry longer than an entry is read",
       [](const Records& r) { ResizeBlock(r.e1, kEntryWords + 3); },
       "e1 ok (child1 ok), e2 ok (child2 ok)"},
  };
  check_leaks_ = false;  // the records hang from no anchor
  for (const Bound& bound : bounds) {
    SCOPED_TRACE(bound.what);
    QssPlex_Reset();
    const Records records = MakeRecords();
    bound.plant(records);
    EXPECT_EQ(bound.walk, Walk(records));
  }
}

// Salvage goes on past a refused entry where it finds the list again, and
// reads entries it has not admitted; both stay within the blocks.
TEST_F(ElementListsTest, ListGoesOnPastARefusedEntryWhereTold) {
  check_leaks_ = false;
  const Records r = MakeRecords();
  FreeBlock(r.e1);
  RecordWalk walk(AllBlocks());
  EntryLinks links;
  EXPECT_FALSE(walk.PeekEntry(r.e1, &links));
  ASSERT_TRUE(walk.PeekEntry(r.e2, &links));
  EXPECT_EQ(r.e1, links.previous);
  EXPECT_FALSE(walk.Reached(r.e2));

  ElementList list = walk.ListFrom(r.e1, 0);
  ListStep step;
  ASSERT_TRUE(list.Next(&step));
  EXPECT_EQ(Admission::kNotAllocated, step.admission);
  list.GoOnAt(r.e2);
  ASSERT_TRUE(list.Next(&step));
  EXPECT_EQ(Admission::kAdmitted, step.admission);
  EXPECT_EQ(r.e1, step.expected_previous);
  EXPECT_EQ(r.child2, step.links.child);
  EXPECT_FALSE(list.Next(&step));
}

TEST_F(ElementListsTest, AnchorIsReadOnlyWhereBlock2HoldsIt) {
  int root = -1;
  EXPECT_TRUE(RecordWalk(AllBlocks()).ReadAnchor(&root));
  EXPECT_EQ(0, root);
  ResizeBlock(kAnchorBlock, kAnchorWord);
  EXPECT_FALSE(RecordWalk(AllBlocks()).ReadAnchor(&root));
  check_leaks_ = false;
  QssPlex_Reset();  // the next test's plex holds the anchor again
}

}  // namespace
}  // namespace qss
