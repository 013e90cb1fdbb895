#include <cstdio>
#include <string>

#include "qsstorage/qsstorage.h"
#include "standins/hierarchy_controls.h"
#include "standins/plex_controls.h"
#include "tests/element_helpers.h"
#include "tests/test_support.h"

namespace qss_test {
namespace {

// A hierarchy Top > A > B, with no storage yet.
class ObjectStorageTest : public PlexTest {
 protected:
  void SetUp() override {
    PlexTest::SetUp();
    top_ = QssHier_AddBlock(0, "Top");
    a_ = QssHier_AddBlock(top_, "A");
    b_ = QssHier_AddBlock(a_, "B");
  }

  // The tree as the plex holds it, "{}" before the root exists.
  static std::string Plex() { return RootId() == 0 ? "{}" : Tree(RootId()); }

  int top_ = 0, a_ = 0, b_ = 0;
};

struct SelectorCase {
  int selector;
  const char* b_tree;  // after GetObjectStorage of B
  const char* a_tree;  // and then of A, one level below the top
};

class SelectorTest : public ObjectStorageTest,
                     public testing::WithParamInterface<SelectorCase> {};

TEST_P(SelectorTest, SelectorNamesTheStorageAtEveryDepth) {
  const SelectorCase& c = GetParam();
  Ref<IStorage> storage;
  EXPECT_EQ(1, GetObjectStorage(top_, c.selector, storage.Out()));
  // Only -1 gives the top block a storage: the root, made on first use.
  EXPECT_EQ(c.selector == -1, storage.get() != nullptr);
  EXPECT_EQ(c.selector == -1, RootId() != 0);
  if (storage.get() != nullptr) {
    EXPECT_EQ("Root", StatName(storage.get()));
  }

  ASSERT_EQ(0, GetObjectStorage(b_, c.selector, storage.Out()));
  EXPECT_EQ(c.b_tree, Plex());
  storage.Reset();
  // A second call opens what the first made.
  const int live = QssPlex_LiveBlocks();
  ASSERT_EQ(0, GetObjectStorage(b_, c.selector, storage.Out()));
  EXPECT_EQ(live, QssPlex_LiveBlocks());
  EXPECT_EQ(c.selector == 1 ? "B_UOSB" : "B", StatName(storage.get()));
  ASSERT_EQ(0, GetObjectStorage(a_, c.selector, storage.Out()));
  EXPECT_EQ(c.a_tree, Plex());
}

const SelectorCase kSelectorCases[] = {
    {-1, "{A{B{}}}", "{A{B{}}}"},
    {0, "{A{B{}}}", "{A{B{}}}"},
    {7, "{A{B{}}}", "{A{B{}}}"},
    {1, "{A{B_UOSB{}}}", "{A_UOSB{} A{B_UOSB{}}}"},
};
INSTANTIATE_TEST_SUITE_P(Table, SelectorTest,
                         testing::ValuesIn(kSelectorCases));

TEST_F(ObjectStorageTest, AStreamInTheWayFailsTheCall) {
  Ref<IStorage> root(GetRootIStorage());
  IStream* stream = nullptr;
  ASSERT_EQ(S_OK,
            root->CreateStream(W("A").c_str(), kReadWrite, 0, 0, &stream));
  stream->Release();
  Ref<IStorage> storage;
  EXPECT_EQ(1, GetObjectStorage(b_, -1, storage.Out()));
  EXPECT_EQ(nullptr, storage.get());
  EXPECT_EQ("{A}", Plex());
}

TEST_F(ObjectStorageTest, DeepHierarchiesCostNoNativeStack) {
  int block = top_;
  for (int depth = 1; depth <= 50000; ++depth) {
    block = QssHier_AddBlock(block, ("b" + std::to_string(depth)).c_str());
  }
  Ref<IStorage> storage;
  ASSERT_EQ(0, GetObjectStorage(block, 1, storage.Out()));
  EXPECT_EQ("b50000_UOSB", StatName(storage.get()));
  storage.Reset();
  EXPECT_EQ(0, DelObjectStorage(block, 1));
  EXPECT_EQ(0, RenObjectStorage(block - 1, -1, nullptr, "renamed"));
  ASSERT_EQ(0, GetObjectStorage(block - 2, -1, storage.Out()));
  Ref<IStorage> renamed;
  EXPECT_EQ(S_OK, storage->OpenStorage(W("renamed").c_str(), nullptr,
                                       kReadWrite, nullptr, 0, renamed.Out()));
}

TEST_F(ObjectStorageTest, DeleteDestroysOneStorageAndItsSubtree) {
  EXPECT_EQ(1, DelObjectStorage(top_, -1));
  // The container's storage is made on the way even when B has none.
  EXPECT_EQ(1, DelObjectStorage(b_, -1));
  EXPECT_EQ("{A{}}", Plex());
  Ref<IStorage> main, second;
  ASSERT_EQ(0, GetObjectStorage(b_, -1, main.Out()));
  ASSERT_EQ(0, GetObjectStorage(b_, 1, second.Out()));
  IStream* stream = nullptr;
  ASSERT_EQ(S_OK,
            main->CreateStream(W("s").c_str(), kReadWrite, 0, 0, &stream));
  stream->Release();
  EXPECT_EQ(0, DelObjectStorage(b_, -1));
  EXPECT_EQ("{A{B_UOSB{}}}", Plex());
  EXPECT_EQ(E_FAIL, main->Stat(nullptr, STATFLAG_DEFAULT));
  EXPECT_EQ(0, DelObjectStorage(b_, 1));
  EXPECT_EQ("{A{}}", Plex());
  EXPECT_EQ(0, DelObjectStorage(a_, -1));
  EXPECT_EQ("{}", Plex());
}

TEST_F(ObjectStorageTest, NullArgumentsAreRefusedBeforeAnything) {
  // The strict stand-in would abort if asked about this block.
  EXPECT_EQ(1, GetObjectStorage(999, -1, nullptr));
  EXPECT_EQ(1, RenObjectStorage(999, -1, "B", nullptr));
  EXPECT_EQ(0, RootId());
}

TEST_F(ObjectStorageTest, RenameFollowsTheHostsNames) {
  EXPECT_EQ(1, RenObjectStorage(top_, -1, "Root", "X"));
  Ref<IStorage> main, second;
  ASSERT_EQ(0, GetObjectStorage(b_, -1, main.Out()));
  ASSERT_EQ(0, GetObjectStorage(b_, 1, second.Out()));
  EXPECT_EQ(0, RenObjectStorage(b_, -1, nullptr, "C"));
  EXPECT_EQ(0, RenObjectStorage(b_, 1, "B", "C"));
  EXPECT_EQ("{A{C_UOSB{} C{}}}", Plex());
  EXPECT_EQ("C", StatName(main.get()));
  EXPECT_EQ(1, RenObjectStorage(b_, -1, "missing", "D"));
  EXPECT_EQ(1, RenObjectStorage(b_, -1, "C", "C_UOSB"));
  QssHier_Rename(b_, "C");
  const int live = QssPlex_LiveBlocks();
  ASSERT_EQ(0, GetObjectStorage(b_, -1, main.Out()));
  EXPECT_EQ(live, QssPlex_LiveBlocks());
}

struct LengthCase {
  int length;
  int selector;
  int block_result;   // of GetObjectStorage for a block of that name
  int stored;         // the length of the name its storage gets
  int caller_result;  // of RenObjectStorage to a name of that length
};

class NameLengthTest : public ObjectStorageTest,
                       public testing::WithParamInterface<LengthCase> {};

TEST_P(NameLengthTest, NamesMustFitTheBuffers) {
  const LengthCase& c = GetParam();
  QssHier_Rename(b_, std::string(c.length, 'b').c_str());
  Ref<IStorage> storage;
  EXPECT_EQ(c.block_result, GetObjectStorage(b_, c.selector, storage.Out()));
  if (c.block_result == 0) {
    EXPECT_EQ(static_cast<size_t>(c.stored), StatName(storage.get()).size());
  } else {
    EXPECT_EQ(nullptr, storage.get());
    EXPECT_EQ("{A{}}", Plex());
  }
  storage.Reset();
  EXPECT_EQ(c.block_result, DelObjectStorage(b_, c.selector));

  const int c_block = QssHier_AddBlock(a_, "c");
  ASSERT_EQ(0, GetObjectStorage(c_block, c.selector, storage.Out()));
  storage.Reset();
  const std::string name(c.length, 'r');
  const std::string before = Plex();
  EXPECT_EQ(c.caller_result,
            RenObjectStorage(c_block, c.selector, "c", name.c_str()));
  if (c.caller_result == 0) return;
  EXPECT_EQ(1, RenObjectStorage(c_block, c.selector, name.c_str(), "d"));
  EXPECT_EQ(before, Plex());
}

const LengthCase kLengthCases[] = {
    {250, 1, 0, 255, 0},
    {251, 1, 1, 0, 1},
    {255, 1, 1, 0, 1},
    {256, 1, 1, 0, 1},
    {255, -1, 0, 255, 0},
    {256, -1, 0, 255, 1},  // the host cuts the block name it returns
};
INSTANTIATE_TEST_SUITE_P(Table, NameLengthTest,
                         testing::ValuesIn(kLengthCases));

// The host takes the storage of a block two levels down, keeps a stream in
// it, closes everything, saves and reloads its plex, and finds it again.
TEST_F(ObjectStorageTest, RoadOfOneRequest) {
  {
    Ref<IStorage> storage;
    ASSERT_EQ(0, GetObjectStorage(b_, -1, storage.Out()));
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, storage->CreateStream(W("state").c_str(), kReadWrite, 0, 0,
                                          &stream));
    const std::string bytes(700, 's');
    ULONG written = 0;
    EXPECT_EQ(S_OK, stream->Write(bytes.data(), 700, &written));
    EXPECT_EQ(700u, written);
    stream->Release();
  }
  QSStrg_RestoreRefCounts();
  const std::string path = testing::TempDir() + "qss_object_road.plex";
  ASSERT_EQ(0, QssPlex_Save(path.c_str()));
  QssPlex_Reset();
  ASSERT_EQ(0, QssPlex_Load(path.c_str()));
  std::remove(path.c_str());

  const int live = QssPlex_LiveBlocks();
  Ref<IStorage> storage;
  ASSERT_EQ(0, GetObjectStorage(b_, -1, storage.Out()));
  EXPECT_EQ(live, QssPlex_LiveBlocks());
  Ref<IStream> stream;
  ASSERT_EQ(S_OK, storage->OpenStream(W("state").c_str(), nullptr, kReadWrite,
                                      0, stream.Out()));
  char buffer[1024];
  ULONG got = 0;
  ASSERT_EQ(S_OK, stream->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(std::string(700, 's'), std::string(buffer, got));
}

}  // namespace
}  // namespace qss_test
