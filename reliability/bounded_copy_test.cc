// A copy whose destination lies inside its source, reached through a
// storage that is not one of ours: the library cannot tell where such a
// destination is, so the copy takes copies of its own copies until the
// store is full. It must then end with a failure code and a valid tree that
// a clear frees completely, never crash or run out of stack.
#include "qsstorage/qsstorage.h"
#include "standins/plex_controls.h"
#include "tests/element_helpers.h"
#include "tests/test_support.h"

namespace qss_test {
namespace {

class BoundedCopyTest : public PlexTest {
 protected:
  // A small store, so that filling it takes a moment.
  void SetUp() override {
    QssPlex_SetReservationBytes(16u << 20);
    PlexTest::SetUp();
  }
  void TearDown() override {
    PlexTest::TearDown();
    QssPlex_SetReservationBytes(0);
    QssPlex_Reset();
  }
};

TEST_F(BoundedCopyTest, CopyIntoItsOwnSubtreeThroughAnotherStorageEndsFull) {
  Ref<IStorage> root(GetRootIStorage());
  Ref<IStorage> inside;
  ASSERT_EQ(S_OK, root->CreateStorage(W("inside").c_str(), kReadWrite, 0, 0,
                                      inside.Out()));
  Ref<IStream> stream;
  ASSERT_EQ(S_OK,
            root->CreateStream(W("s").c_str(), kReadWrite, 0, 0, stream.Out()));
  ASSERT_EQ(S_OK, stream->Write("abc", 3, nullptr));
  stream.Reset();
  Forwarder dest(inside.get());

  const HRESULT copied = root->CopyTo(0, nullptr, nullptr, &dest);
  EXPECT_TRUE(copied == E_OUTOFMEMORY || copied == STG_E_MEDIUMFULL)
      << std::hex << copied;
  const HRESULT moved = root->MoveElementTo(W("inside").c_str(), &dest,
                                            W("again").c_str(), STGMOVE_COPY);
  EXPECT_TRUE(moved == E_OUTOFMEMORY || moved == STG_E_MEDIUMFULL)
      << std::hex << moved;

  // Full, but whole: every block the copies made hangs in the tree.
  EXPECT_EQ(QssPlex_LiveBlocks(), ReachableBlocks());
  inside.Reset();
  root.Reset();
  QSStrg_ClearRootStorage();
  EXPECT_EQ(2, QssPlex_LiveBlocks());
}

}  // namespace
}  // namespace qss_test
