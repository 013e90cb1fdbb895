#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "records/element_list.h"
#include "records/lifetime.h"
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
    root_ = CreateStorageNode(NameKeyOf("Root"));
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
    CIStoragePlex* child = CreateStorageNode(NameKeyOf(name));
    child->SetOpenModeIfNotOpen(0x12);
    EXPECT_TRUE(
        LinkElement(parent->block_id(), child->block_id(), kKindStorage));
    return child;
  }
  // A linked StreamNode with a data block, made from records alone.
  int AddRawStream(CIStoragePlex* parent, const char* name) {
    const int id = AllocateNamedNode(kStreamLayout, NameKeyOf(name));
    const int data = AllocateBlock(64);
    int* node = LocateBlock(id);
    node[kStreamDataBlockWord] = data;
    node[kStreamCapacityWordsWord] = 64;
    node[kStreamCapacityBytesWord] = 256;
    node[kStreamOpenModeWord] = 0x12;
    EXPECT_TRUE(LinkElement(parent->block_id(), id, kKindStream));
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
  CIStoragePlex* child = CreateStorageNode(NameKeyOf("Data1"));
  const int id = child->block_id();
  EXPECT_EQ(11, QssPlex_BlockWords(id));
  for (int k = 0; k < 4; ++k) EXPECT_EQ(0, Word(id, k));
  EXPECT_EQ(kNotOpen, Word(id, kStorageOpenModeWord));
  EXPECT_EQ(0, Word(id, kStorageDeletedWord));
  EXPECT_EQ(0, Word(id, kStorageFirstEntryWord));
  EXPECT_EQ(0, Word(id, kStorageOpenCountWord));
  EXPECT_EQ(2, Word(id, kStorageNameLengthWord));
  EXPECT_TRUE(LinkElement(root_->block_id(), id, kKindStorage));
  child->Release();
}

TEST_F(StorageCoreTest, ListRunsNewestFirstWithPreviousLinks) {
  CIStoragePlex* a = AddStorage(root_, "a");
  CIStoragePlex* b = AddStorage(root_, "b");
  const int c = AddRawStream(root_, "c");
  EXPECT_EQ((std::vector<int>{c, b->block_id(), a->block_id()}),
            Children(root_->block_id()));
  Element found = FindElement(root_->block_id(), NameKeyOf("c"));
  EXPECT_EQ(c, found.child);
  EXPECT_EQ(kKindStream, found.kind);
  EXPECT_EQ(Word(root_->block_id(), kStorageFirstEntryWord), found.entry);
  found = FindElement(root_->block_id(), NameKeyOf("a"));
  EXPECT_EQ(a->block_id(), found.child);
  EXPECT_EQ(kKindStorage, found.kind);
  EXPECT_EQ(0, found.next);
  EXPECT_EQ(0, FindElement(root_->block_id(), NameKeyOf("A")).entry);
  a->Release();
  b->Release();
}

TEST_F(StorageCoreTest, RemovesHeadMiddleAndOnlyEntries) {
  CIStoragePlex* a = AddStorage(root_, "a");
  CIStoragePlex* b = AddStorage(root_, "b");
  CIStoragePlex* c = AddStorage(root_, "c");
  const int blocks = QssPlex_LiveBlocks();
  EXPECT_TRUE(UnlinkChild(root_->block_id(), b->block_id()));  // middle
  EXPECT_EQ((std::vector<int>{c->block_id(), a->block_id()}),
            Children(root_->block_id()));
  EXPECT_TRUE(UnlinkChild(root_->block_id(), c->block_id()));  // head
  EXPECT_EQ((std::vector<int>{a->block_id()}), Children(root_->block_id()));
  EXPECT_TRUE(UnlinkChild(root_->block_id(), a->block_id()));  // only
  EXPECT_EQ(0, Word(root_->block_id(), kStorageFirstEntryWord));
  EXPECT_FALSE(UnlinkChild(root_->block_id(), a->block_id()));
  // Unlinked entries go back to the store at once.
  EXPECT_EQ(blocks - 3, QssPlex_LiveBlocks());
  for (CIStoragePlex* s : {a, b, c}) {
    DestroyChild(s->block_id(), 0,
                 kKindStorage);  // nothing linked under that id
    DeleteNode(s->block_id(), kKindStorage);
    s->Release();
  }
}

TEST_F(StorageCoreTest, LivenessDetachesOnTheDeletedFlag) {
  CIStoragePlex* a = AddStorage(root_, "a");
  CIStoragePlex* again = new CIStoragePlex(a->block_id());
  DestroyChild(root_->block_id(), a->block_id(), kKindStorage);
  EXPECT_FALSE(a->IsAlive());
  EXPECT_EQ(0, a->block_id());
  EXPECT_EQ(STG_E_REVERTED, again->SetClass(GUID_NULL));
  STATSTG stat;
  EXPECT_EQ(E_FAIL, again->Stat(&stat, STATFLAG_NONAME));
  EXPECT_EQ(S_OK, again->Commit(0));
  EXPECT_EQ(E_NOTIMPL,
            again->SetElementTimes(nullptr, nullptr, nullptr, nullptr));
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
  DestroyChild(root_->block_id(), s_id, kKindStorage);
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
  DestroyChild(root_->block_id(), s->block_id(), kKindStorage);
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
  DestroyChild(root_->block_id(), id, kKindStorage);
  EXPECT_TRUE(QssPlex_IsLive(id));
  EXPECT_EQ(1, Word(id, kStorageDeletedWord));
  FreeBlock(id);
}

TEST_F(StorageCoreTest, StoreFullLeavesTheListUnchanged) {
  CIStoragePlex* a = AddStorage(root_, "a");
  QssPlex_FailAllocAfter(0);
  EXPECT_FALSE(LinkElement(root_->block_id(), a->block_id(), kKindStorage));
  EXPECT_EQ((std::vector<int>{a->block_id()}), Children(root_->block_id()));
  QssPlex_FailAllocAfter(0);
  EXPECT_EQ(nullptr, CreateStorageNode(NameKeyOf("b")));
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
  DestroyChild(root_->block_id(), top, kKindStorage);
  EXPECT_EQ(0, Word(root_->block_id(), kStorageFirstEntryWord));
}

}  // namespace
}  // namespace qss
