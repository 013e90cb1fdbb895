#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "records/names.h"
#include "records/node_records.h"
#include "records/plex.h"
#include "standins/plex_controls.h"
#include "storage/storage_plex.h"
#include "tests/test_support.h"

namespace qss {
namespace {

using qss_test::Word;

// Builds trees straight from records, so these tests need nothing but the
// storage core.
class StorageCoreTest : public qss_test::PlexTest {
 protected:
  void SetUp() override {
    PlexTest::SetUp();
    root_ = CreateStorageNode("Root");
    ASSERT_NE(nullptr, root_);
    LocateBlock(2)[52] = root_->block_id();
    root_->SetOpenModeIfNotOpen(0x42);
  }
  void TearDown() override {
    if (root_ != nullptr) root_->Release();
    PlexTest::TearDown();
  }

  // A linked sub-storage; the caller releases the object.
  CIStoragePlex* AddStorage(CIStoragePlex* parent, const char* name) {
    CIStoragePlex* child = CreateStorageNode(name);
    child->SetOpenModeIfNotOpen(0x12);
    EXPECT_TRUE(parent->AddElementEntry(child->block_id(), kKindStorage));
    return child;
  }
  // A linked StreamNode with a data block, made from records alone.
  int AddRawStream(CIStoragePlex* parent, const char* name) {
    const int id = AllocateNamedNode(kStreamLayout, name);
    const int data = AllocateBlock(64);
    int* node = LocateBlock(id);
    node[kStreamDataBlockWord] = data;
    node[kStreamCapacityWordsWord] = 64;
    node[kStreamCapacityBytesWord] = 256;
    node[kStreamOpenModeWord] = 0x12;
    EXPECT_TRUE(parent->AddElementEntry(id, kKindStream));
    return id;
  }
  std::vector<int> Children(int storage) {
    std::vector<int> out;
    int previous = 0;
    for (int e = Word(storage, kStorageFirstEntryWord); e != 0;
         e = Word(e, kEntryNextWord)) {
      EXPECT_EQ(previous, Word(e, kEntryPreviousWord));
      previous = e;
      out.push_back(Word(e, kEntryChildWord));
    }
    return out;
  }

  CIStoragePlex* root_ = nullptr;
};

TEST_F(StorageCoreTest, NewStorageNodeReadsWordForWord) {
  CIStoragePlex* child = CreateStorageNode("Data1");
  const int id = child->block_id();
  EXPECT_EQ(11, QssPlex_BlockWords(id));
  for (int k = 0; k < 4; ++k) EXPECT_EQ(0, Word(id, k));
  EXPECT_EQ(kNotOpen, Word(id, kStorageOpenModeWord));
  EXPECT_EQ(0, Word(id, kStorageDeletedWord));
  EXPECT_EQ(0, Word(id, kStorageFirstEntryWord));
  EXPECT_EQ(0, Word(id, kStorageOpenCountWord));
  EXPECT_EQ(2, Word(id, kStorageNameLengthWord));
  EXPECT_TRUE(root_->AddElementEntry(id, kKindStorage));
  child->Release();
}

TEST_F(StorageCoreTest, ListRunsNewestFirstWithPreviousLinks) {
  CIStoragePlex* a = AddStorage(root_, "a");
  CIStoragePlex* b = AddStorage(root_, "b");
  const int c = AddRawStream(root_, "c");
  EXPECT_EQ((std::vector<int>{c, b->block_id(), a->block_id()}),
            Children(root_->block_id()));
  int kind = -7;
  EXPECT_EQ(c, root_->FindElement("c", &kind));
  EXPECT_EQ(kKindStream, kind);
  EXPECT_EQ(a->block_id(), root_->FindElement("a", &kind));
  EXPECT_EQ(kKindStorage, kind);
  kind = -7;
  EXPECT_EQ(0, root_->FindElement("A", &kind));
  EXPECT_EQ(-7, kind);
  a->Release();
  b->Release();
}

TEST_F(StorageCoreTest, RemovesHeadMiddleAndOnlyEntries) {
  CIStoragePlex* a = AddStorage(root_, "a");
  CIStoragePlex* b = AddStorage(root_, "b");
  CIStoragePlex* c = AddStorage(root_, "c");
  const int blocks = QssPlex_LiveBlocks();
  EXPECT_TRUE(root_->RemoveElementEntry(b->block_id()));  // middle
  EXPECT_EQ((std::vector<int>{c->block_id(), a->block_id()}),
            Children(root_->block_id()));
  EXPECT_TRUE(root_->RemoveElementEntry(c->block_id()));  // head
  EXPECT_EQ((std::vector<int>{a->block_id()}), Children(root_->block_id()));
  EXPECT_TRUE(root_->RemoveElementEntry(a->block_id()));  // only
  EXPECT_EQ(0, Word(root_->block_id(), kStorageFirstEntryWord));
  EXPECT_FALSE(root_->RemoveElementEntry(a->block_id()));
  // Unlinked entries go back to the store at once.
  EXPECT_EQ(blocks - 3, QssPlex_LiveBlocks());
  for (CIStoragePlex* s : {a, b, c}) {
    s->DestroyChild(0, kKindStorage);  // nothing linked under that id
    ReleaseSubtree(s->block_id());
    s->Release();
  }
}

TEST_F(StorageCoreTest, LivenessDetachesOnTheDeletedFlag) {
  CIStoragePlex* a = AddStorage(root_, "a");
  CIStoragePlex* again = new CIStoragePlex(a->block_id());
  root_->DestroyChild(a->block_id(), kKindStorage);
  EXPECT_FALSE(a->IsAlive());
  EXPECT_EQ(0, a->block_id());
  EXPECT_EQ(STG_E_REVERTED, again->SetClass(GUID_NULL));
  STATSTG stat;
  EXPECT_EQ(E_FAIL, again->Stat(&stat, STATFLAG_NONAME));
  EXPECT_EQ(S_OK, again->Commit(0));
  EXPECT_EQ(E_NOTIMPL, again->SetElementTimes(nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(2u, again->AddRef());
  EXPECT_EQ(1u, again->Release());
  again->Release();
  a->Release();
}

TEST_F(StorageCoreTest, QueryInterfaceOffersOnlyUnknownAndStorage) {
  void* out = &out;
  EXPECT_EQ(E_NOINTERFACE, root_->QueryInterface(IID_IStream, &out));
  EXPECT_EQ(nullptr, out);
  ASSERT_EQ(S_OK, root_->QueryInterface(IID_IUnknown, &out));
  EXPECT_EQ(static_cast<IStorage*>(root_), out);
  EXPECT_EQ(1u, root_->Release());
}

// A storage holding a sub-storage with two streams: everything is marked
// deleted and freed, entries included.
TEST_F(StorageCoreTest, SubtreeReleaseFreesEverythingUnclaimed) {
  CIStoragePlex* s = AddStorage(root_, "s");
  CIStoragePlex* sub = AddStorage(s, "sub");
  AddRawStream(sub, "x");
  AddRawStream(sub, "y");
  const int s_id = s->block_id();
  sub->Release();
  s->Release();
  const int before = QssPlex_LiveBlocks();
  root_->DestroyChild(s_id, kKindStorage);
  // s, its entry, sub, sub's entry, two streams with data and entries.
  EXPECT_EQ(before - 10, QssPlex_LiveBlocks());
}

// Freeing a node detaches every object over it first, so none of them can
// reach the freed block, and releasing them leaves the plex alone.
TEST_F(StorageCoreTest, FreeingANodeDetachesItsObjects) {
  CIStoragePlex* s = AddStorage(root_, "s");
  CIStoragePlex* sub = AddStorage(s, "sub");
  const int stream = AddRawStream(sub, "x");
  CIStoragePlex* sub_again = new CIStoragePlex(sub->block_id());
  const int sub_id = sub->block_id();
  root_->DestroyChild(s->block_id(), kKindStorage);
  EXPECT_FALSE(QssPlex_IsLive(sub_id));
  EXPECT_FALSE(QssPlex_IsLive(stream));
  for (CIStoragePlex* object : {s, sub, sub_again}) {
    EXPECT_EQ(0, object->block_id());
    EXPECT_FALSE(object->IsAlive());
    EXPECT_EQ(E_FAIL, object->CreateStream(OLESTR("y"), 0x12, 0, 0, nullptr));
  }
  QssPlexCounts before;
  QssPlex_GetCounts(&before);
  sub_again->Release();
  sub->Release();
  s->Release();
  QssPlexCounts after;
  QssPlex_GetCounts(&after);
  EXPECT_EQ(before.frees, after.frees);
}

TEST_F(StorageCoreTest, NodeWithOpenCountStaysAllocated) {
  CIStoragePlex* s = AddStorage(root_, "s");
  const int id = s->block_id();
  s->Release();
  LocateBlock(id)[kStorageOpenCountWord] = 1;
  root_->DestroyChild(id, kKindStorage);
  EXPECT_TRUE(QssPlex_IsLive(id));
  EXPECT_EQ(1, Word(id, kStorageDeletedWord));
  FreeBlock(id);
}

TEST_F(StorageCoreTest, StoreFullLeavesTheListUnchanged) {
  CIStoragePlex* a = AddStorage(root_, "a");
  QssPlex_FailAllocAfter(0);
  EXPECT_FALSE(root_->AddElementEntry(a->block_id(), kKindStorage));
  EXPECT_EQ((std::vector<int>{a->block_id()}), Children(root_->block_id()));
  QssPlex_FailAllocAfter(0);
  EXPECT_EQ(nullptr, CreateStorageNode("b"));
  a->Release();
}

TEST_F(StorageCoreTest, ReleasesAChainOfAHundredThousandStorages) {
  CIStoragePlex* parent = AddStorage(root_, "c");
  const int top = parent->block_id();
  for (int depth = 1; depth < 100000; ++depth) {
    CIStoragePlex* child = AddStorage(parent, "c");
    parent->Release();
    parent = child;
  }
  AddRawStream(parent, "leaf");
  parent->Release();
  root_->DestroyChild(top, kKindStorage);
  EXPECT_EQ(0, Word(root_->block_id(), kStorageFirstEntryWord));
}

}  // namespace
}  // namespace qss
