#include "check/tree_check.h"

#include <functional>
#include <string>
#include <vector>

#include "exports/root_anchor.h"
#include "records/dms.h"
#include "records/plex.h"
#include "standins/plex_controls.h"
#include "tests/test_support.h"

namespace qss {
namespace {

using qss_test::RootId;
using qss_test::W;

constexpr DWORD kReadWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

std::vector<AllocatedBlock> AllBlocks() {
  std::vector<AllocatedBlock> blocks;
  for (int id = QssPlex_NextBlockId(0); id != 0; id = QssPlex_NextBlockId(id)) {
    blocks.push_back({id, QssPlex_BlockWords(id)});
  }
  return blocks;
}

int& At(int block, int k) { return LocateBlock(block)[k]; }

std::string Describe(const std::vector<TreeFinding>& findings) {
  std::string out;
  for (const TreeFinding& f : findings) {
    out += "  " + f.location + ": " + f.message + "\n";
  }
  return out.empty() ? "  (none)\n" : out;
}

// The entry of `storage`'s list whose child carries `name`.
int EntryNamed(int storage, const std::string& name) {
  for (int entry = At(storage, kStorageFirstEntryWord); entry != 0;
       entry = At(entry, kEntryNextWord)) {
    const int child = At(entry, kEntryChildWord);
    const NodeLayout& layout = LayoutOf(At(entry, kEntryKindWord));
    if (RecordName(LocateBlock(child), QssPlex_BlockWords(child), layout) ==
        name) {
      return entry;
    }
  }
  return 0;
}

// Root{dôcs{b(0) a(5)} c(3)}, every object released.
struct Tree {
  int root, docs_entry, docs, a_entry, a, b_entry, b, c_entry, c;
};

void CreateStream(IStorage* parent, const char* name, const char* bytes) {
  IStream* stream = nullptr;
  ASSERT_EQ(S_OK,
            parent->CreateStream(W(name).c_str(), kReadWrite, 0, 0, &stream));
  ASSERT_EQ(S_OK, stream->Write(bytes, std::string(bytes).size(), nullptr));
  stream->Release();
}

Tree BuildTree() {
  IStorage* root = OpenRootStorage();
  IStorage* docs = nullptr;
  EXPECT_EQ(S_OK,
            root->CreateStorage(W("dôcs").c_str(), kReadWrite, 0, 0, &docs));
  CreateStream(docs, "a", "hello");
  CreateStream(docs, "b", "");
  CreateStream(root, "c", "abc");
  docs->Release();
  root->Release();
  Tree t;
  t.root = RootId();
  t.docs_entry = EntryNamed(t.root, "dôcs");
  t.docs = At(t.docs_entry, kEntryChildWord);
  t.a_entry = EntryNamed(t.docs, "a");
  t.a = At(t.a_entry, kEntryChildWord);
  t.b_entry = EntryNamed(t.docs, "b");
  t.b = At(t.b_entry, kEntryChildWord);
  t.c_entry = EntryNamed(t.root, "c");
  t.c = At(t.c_entry, kEntryChildWord);
  return t;
}

class TreeCheckTest : public qss_test::PlexTest {};

TEST_F(TreeCheckTest, EmptyPlexAndHealthyTreesHaveNoFindings) {
  EXPECT_EQ("  (none)\n", Describe(CheckTree(AllBlocks())));
  BuildTree();
  EXPECT_EQ("  (none)\n", Describe(CheckTree(AllBlocks())));

  IStorage* root = OpenRootStorage();
  EXPECT_EQ(S_OK, root->RenameElement(W("c").c_str(),
                                      W("a much longer name").c_str()));
  EXPECT_EQ(S_OK, root->DestroyElement(W("dôcs").c_str()));
  root->Release();
  EXPECT_EQ("  (none)\n", Describe(CheckTree(AllBlocks())));
}

TEST_F(TreeCheckTest, DeepTreeIsCheckedWithoutRecursion) {
  IStorage* storage = OpenRootStorage();
  for (int depth = 0; depth < 30000; ++depth) {
    IStorage* child = nullptr;
    ASSERT_EQ(S_OK,
              storage->CreateStorage(W("d").c_str(), kReadWrite, 0, 0, &child));
    storage->Release();
    storage = child;
  }
  storage->Release();
  EXPECT_TRUE(CheckTree(AllBlocks()).empty());
}

// Sizes and capacities of 2 GiB and more set the words' top bits. The
// checker never reads a data block, so a block list may claim the words of
// one that big.
TEST_F(TreeCheckTest, StreamsOf2GiBAndMoreAreValid) {
  const Tree t = BuildTree();
  const int data = At(t.c, kStreamDataBlockWord);
  for (uint32_t capacity : {0x80000000u, 0xFFFFFF00u}) {
    SCOPED_TRACE(capacity);
    At(t.c, kStreamCapacityWordsWord) = static_cast<int>(capacity / 4);
    At(t.c, kStreamCapacityBytesWord) = static_cast<int>(capacity);
    At(t.c, kStreamSizeWord) = static_cast<int>(capacity - 1);
    std::vector<AllocatedBlock> blocks = AllBlocks();
    for (AllocatedBlock& block : blocks) {
      if (block.id == data) block.words = static_cast<int>(capacity / 4);
    }
    EXPECT_EQ("  (none)\n", Describe(CheckTree(blocks)));
  }
}

#if !defined(_WIN32)
class LargePlexTreeCheckTest : public TreeCheckTest {
 protected:
  void SetUp() override {
    QssPlex_SetReservationBytes(uint64_t{3} << 30);
    TreeCheckTest::SetUp();
  }
  void TearDown() override {
    TreeCheckTest::TearDown();
    QssPlex_SetReservationBytes(0);
    QssPlex_Reset();
  }
};

// The store hands out untouched zero pages, so this costs little memory.
TEST_F(LargePlexTreeCheckTest, StreamPast2GiBWrittenByTheLibraryIsValid) {
  IStorage* root = OpenRootStorage();
  IStream* stream = nullptr;
  ASSERT_EQ(S_OK,
            root->CreateStream(W("big").c_str(), kReadWrite, 0, 0, &stream));
  LARGE_INTEGER end;
  end.QuadPart = 0x80000000;
  ASSERT_EQ(S_OK, stream->Seek(end, STREAM_SEEK_SET, nullptr));
  ASSERT_EQ(S_OK, stream->Write("z", 1, nullptr));
  stream->Release();
  root->Release();
  EXPECT_EQ("  (none)\n", Describe(CheckTree(AllBlocks())));
}
#endif

struct Damage {
  const char* what;
  std::function<void(const Tree&)> plant;
  FindingKind kind;
  const char* location;  // a prefix
  const char* message;   // a part
  bool walkable;
};

// One of each kind of damage, with the finding the checker gives it.
const Damage kDamages[] = {
    {"previous word disagrees",
     [](const Tree& t) { At(t.a_entry, kEntryPreviousWord) = 0; },
     FindingKind::kLink, "/dôcs", "previous word 0, expected", false},
    {"list loops",
     [](const Tree& t) { At(t.a_entry, kEntryNextWord) = t.b_entry; },
     FindingKind::kLink, "/dôcs", "the element list loops", false},
    {"unknown kind", [](const Tree& t) { At(t.c_entry, kEntryKindWord) = 7; },
     FindingKind::kLink, "/", "has kind 7", false},
    {"entry without child",
     [](const Tree& t) { At(t.c_entry, kEntryChildWord) = 0; },
     FindingKind::kLink, "/", "has no child", false},
    {"entry not allocated",
     [](const Tree& t) { At(t.docs, kStorageFirstEntryWord) = 9999; },
     FindingKind::kLink, "/dôcs", "entry 9999, which is not allocated", false},
    {"root anchor names a free block", [](const Tree&) { At(2, 52) = 9999; },
     FindingKind::kLink, "/", "the root anchor names block 9999", false},
    {"child of two entries",
     [](const Tree& t) { At(t.b_entry, kEntryChildWord) = t.a; },
     FindingKind::kLink, "/dôcs/a", "reached a second time", false},
    {"node longer than its name",
     [](const Tree& t) { At(t.c, kStreamNameLengthWord) = 2; },
     FindingKind::kNode, "/c", "9 words but a name of 2 words", false},
    {"storage node cut short",
     [](const Tree& t) {
       int words = 6, index = 0;
       DMS_RALOCI(&t.docs, &words, &index);
     },
     FindingKind::kNode, "/<block", "fewer than 9", false},
    {"size above the capacity",
     [](const Tree& t) { At(t.c, kStreamSizeWord) = 300; },
     FindingKind::kStream, "/c", "size 300 exceeds the byte capacity 256",
     false},
    {"size word with its top bit set",
     [](const Tree& t) { At(t.c, kStreamSizeWord) = -1; }, FindingKind::kStream,
     "/c", "size 4294967295 exceeds the byte capacity 256", false},
    {"byte capacity above four times the words",
     [](const Tree& t) { At(t.c, kStreamCapacityWordsWord) = 10; },
     FindingKind::kStream, "/c", "exceeds 4 times the word capacity 10", false},
    {"data block smaller than the capacity",
     [](const Tree& t) {
       At(t.c, kStreamCapacityWordsWord) = 100;
       At(t.c, kStreamCapacityBytesWord) = 400;
     },
     FindingKind::kStream, "/c", "64 words, fewer than the word capacity 100",
     false},
    {"capacity without a data block",
     [](const Tree& t) { At(t.c, kStreamDataBlockWord) = 0; },
     FindingKind::kStream, "/c", "64 words but no data block", false},
    {"data block of two streams",
     [](const Tree& t) {
       At(t.a, kStreamDataBlockWord) = At(t.c, kStreamDataBlockWord);
     },
     FindingKind::kStream, "/", "reached a second time", false},
    {"duplicate names",
     [](const Tree& t) { At(t.b, kStreamNameWord) = At(t.a, kStreamNameWord); },
     FindingKind::kName, "/dôcs/a", "of the same name", true},
    {"bytes after a name's end",
     [](const Tree& t) { At(t.c, kStreamNameWord) |= 'x' << 16; },
     FindingKind::kName, "/c", "bytes after the name's end", true},
    {"deleted node reachable",
     [](const Tree& t) { At(t.a, kStreamDeletedWord) = 1; },
     FindingKind::kDeleted, "/dôcs/a", "stream node", true},
    {"leak", [](const Tree&) { AllocateBlock(4); }, FindingKind::kLeak,
     "block ", "allocated (4 words) but not reached", true},
    {"anchor block too short",
     [](const Tree&) {
       int block = 2, words = 10, index = 0;
       DMS_RALOCI(&block, &words, &index);
     },
     FindingKind::kAnchor, "block 2", "no root anchor", false},
};

TEST_F(TreeCheckTest, FindsEachKindOfDamage) {
  check_leaks_ = false;  // the damage orphans blocks on purpose
  for (const Damage& damage : kDamages) {
    SCOPED_TRACE(damage.what);
    QssPlex_Reset();
    damage.plant(BuildTree());
    const std::vector<TreeFinding> findings = CheckTree(AllBlocks());
    bool found = false;
    for (const TreeFinding& f : findings) {
      found |= f.kind == damage.kind &&
               f.location.rfind(damage.location, 0) == 0 &&
               f.message.find(damage.message) != std::string::npos;
    }
    EXPECT_TRUE(found) << "findings:\n" << Describe(findings);
    EXPECT_EQ(damage.walkable, TreeIsWalkable(findings)) << Describe(findings);
  }
}

}  // namespace
}  // namespace qss
