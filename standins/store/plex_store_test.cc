// Blocks: allocation, growth, freeing, room, injected failures and breaches.
#include "standins/store/plex_store_test.h"

namespace {

using namespace qss::standins::plex_test;  // NOLINT: the fixture and helpers

TEST_F(PlexStandinTest, StartsWithOnlyTheHostBlocksAllZero) {
  ASSERT_NE(ib0, nullptr);
  EXPECT_EQ(QssPlex_LiveBlocks(), 2);
  EXPECT_EQ(QssPlex_LiveWords(), 16 + 64);
  EXPECT_EQ(QssPlex_NextBlockId(0), 1);
  EXPECT_EQ(QssPlex_NextBlockId(1), 2);
  EXPECT_EQ(QssPlex_NextBlockId(2), 0);
  EXPECT_EQ(QssPlex_BlockWords(2), 64);
  EXPECT_NE(Index(1), 0);
  EXPECT_TRUE(AllZero(1, 0, 16));
  EXPECT_TRUE(AllZero(2, 0, 64));
  EXPECT_EQ(QssPlex_InBead(), 0);
  EXPECT_EQ(QssPlex_IsLive(3), 0);
  EXPECT_EQ(QssPlex_BlockWords(0), -1);
}

TEST_F(PlexStandinTest, NewBlocksAreZeroWhenSpaceAndIdsAreReused) {
  const int a = Alloc(100);
  const int b = Alloc(100);
  EXPECT_EQ(a, 3);
  EXPECT_EQ(b, 4);
  Stamp(a, 100, 1);
  Stamp(b, 100, 2);
  const std::vector<int> old_places = {Index(a), Index(b)};
  Free(a);
  Free(b);
  EXPECT_EQ(Alloc(100), b);  // ids come back last-in first-out
  EXPECT_EQ(Alloc(100), a);
  for (int id : {a, b}) {
    EXPECT_TRUE(AllZero(id, 0, 100));
    EXPECT_NE(std::find(old_places.begin(), old_places.end(), Index(id)),
              old_places.end());
  }

  const int empty = Alloc(0);
  EXPECT_EQ(QssPlex_BlockWords(empty), 0);
  Realloc(empty, 10);
  EXPECT_TRUE(AllZero(empty, 0, 10));
}

TEST_F(PlexStandinTest, OtherBlocksNeverMove) {
  int32_t* const plex = ib0;
  std::vector<int> ids;
  for (int i = 0; i < 20; ++i) ids.push_back(Alloc(10 + 7 * i));
  for (int i = 0; i < 20; ++i) Stamp(ids[i], 10 + 7 * i, i);
  std::vector<int> indexes;
  for (int id : ids) indexes.push_back(Index(id));

  Free(ids[5]);
  Realloc(ids[4], 5000);
  Realloc(ids[6], 3);
  Alloc(1000);
  Realloc(ids[4], 2);
  Free(ids[19]);
  EXPECT_EQ(ib0, plex);
  for (int i = 0; i < 19; ++i) {
    if (i >= 4 && i <= 6) continue;
    EXPECT_EQ(Index(ids[i]), indexes[i]) << "block " << ids[i];
    EXPECT_TRUE(HasStamp(ids[i], 10 + 7 * i, i)) << "block " << ids[i];
  }
}

TEST_F(PlexStandinTest, ReallocKeepsContentsAndZeroesGrowth) {
  for (int move : {0, 1}) {
    SCOPED_TRACE(move ? "move on realloc" : "in place when possible");
    QssPlex_SetMoveOnRealloc(move);
    const int id = Alloc(50);
    Alloc(3);  // keeps the block off the top of the used area
    Stamp(id, 50, 7);
    for (int words : {60, 61, 400, 4000}) {
      const int before = Index(id);
      const int after = Realloc(id, words);
      if (move) {
        EXPECT_NE(after, before);
      }
      EXPECT_TRUE(HasStamp(id, 50, 7));
      EXPECT_TRUE(AllZero(id, 50, words));
    }
    Realloc(id, 20);
    EXPECT_TRUE(HasStamp(id, 20, 7));
    Realloc(id, 40);  // words cut off by the shrink must not come back
    EXPECT_TRUE(HasStamp(id, 20, 7));
    EXPECT_TRUE(AllZero(id, 20, 40));
    EXPECT_EQ(QssPlex_BlockWords(id), 40);
  }
}

// Words never handed out are left as the system gave them (zero); every
// word that was, or that poisoning touched, is zeroed when handed out again.
TEST_F(PlexStandinTest, SpaceHandedOutAgainReadsZero) {
  const std::string path = TempPath("smaller");
  for (int poison : {1, 0}) {
    SCOPED_TRACE(poison ? "poisoned" : "not poisoned");
    QssPlex_SetPoisonFreed(poison);
    QssPlex_Reset();
    const int freed = Alloc(100);
    Stamp(freed, 100, 1);
    Free(freed);
    const int reused = Alloc(100);
    EXPECT_TRUE(AllZero(reused, 0, 100));

    Stamp(reused, 100, 2);  // at the top: shrunk, then grown in place
    Realloc(reused, 10);
    Realloc(reused, 100);
    EXPECT_TRUE(AllZero(reused, 10, 100));
    for (int words : {1000, 5000}) {
      Realloc(reused, words);
      EXPECT_TRUE(AllZero(reused, 100, words));
    }

    ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
    const int above = Alloc(5000);
    Stamp(above, 5000, 3);
    ASSERT_EQ(QssPlex_Load(path.c_str()), 0);  // a smaller plex over it
    EXPECT_TRUE(AllZero(Alloc(5000), 0, 5000));
  }
  std::remove(path.c_str());
}

TEST_F(PlexStandinTest, PoisonsFreedWordsAndOldPlacesOfMovedBlocks) {
  QssPlex_SetMoveOnRealloc(1);
  const int id = Alloc(8);
  Alloc(8);
  const int old_index = Index(id);
  Realloc(id, 8);
  EXPECT_EQ(ib0[old_index], kPoison);
  const int freed_index = Index(id);
  Free(id);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(ib0[freed_index + k], kPoison);
}

TEST_F(PlexStandinTest, CountsCallsAndCopies) {
  const int id = Alloc(10);
  Alloc(10);
  Realloc(id, 5);
  QssPlex_SetMoveOnRealloc(1);
  Realloc(id, 30);
  Free(id);
  QssPlexCounts counts;
  QssPlex_GetCounts(&counts);
  EXPECT_EQ(counts.allocs, 2);
  EXPECT_EQ(counts.reallocs, 2);
  EXPECT_EQ(counts.frees, 1);
  EXPECT_EQ(counts.moves, 1);
  EXPECT_EQ(counts.words_moved, 5);
  QssPlex_ResetCounts();
  QssPlex_GetCounts(&counts);
  EXPECT_EQ(counts.allocs + counts.reallocs + counts.frees + counts.moves, 0);
}


TEST_F(PlexStandinTest, CapacityAndRoomLeft) {
  QssPlex_SetReservationBytes(1 << 20);
  QssPlex_Reset();
  EXPECT_EQ(QssPlex_CapacityBytes(), 1u << 20);
  const unsigned long long fresh = QssPlex_UsedBytes();
  EXPECT_EQ(fresh, 4u * (2 + 16 + 64));
  const int a = Alloc(1000), b = Alloc(5000), c = Alloc(10);
  EXPECT_EQ(QssPlex_UsedBytes(), fresh + 4 * (1024 + 5120 + 10));
  Free(b);
  EXPECT_EQ(QssPlex_UsedBytes(), fresh + 4 * (1024 + 10));
  EXPECT_EQ(QssPlex_GrowableWords(b), -1);

  // The answer is exact: one word more fails, and nothing changes.
  auto check = [](int id) {
    SCOPED_TRACE("block " + std::to_string(id));
    const long long most = QssPlex_GrowableWords(id);
    ASSERT_GT(most, 0);
    int words = static_cast<int>(most + 1), index = 0, new_id = 0;
    Bead(1);
    if (id == 0) {
      EXPECT_NE(DMS_ALLOCI(&words, &new_id, &index), 0);
      --words;
      EXPECT_EQ(DMS_ALLOCI(&words, &new_id, &index), 0);
      Bead(0);
      Free(new_id);
      return;
    }
    Bead(0);
    const int before = QssPlex_BlockWords(id);
    EXPECT_NE(DMS_RALOCI(&id, &words, &index), 0);
    EXPECT_EQ(QssPlex_BlockWords(id), before);
    --words;
    EXPECT_EQ(DMS_RALOCI(&id, &words, &index), 0);
    Realloc(id, before);
  };
  check(c);  // at the top
  check(a);  // room behind it, but more at the top, where it moves
  check(0);
  const int fill = Alloc(static_cast<int>(QssPlex_GrowableWords(0)) - 2000);
  check(a);  // hemmed in by `fill`: a free extent elsewhere
  check(0);
  QssPlex_SetMoveOnRealloc(1);
  check(c);
  Free(fill);
}


TEST_F(PlexStandinTest, InjectedFailuresHitOnceAndLeaveBlocksAlone) {
  QssPlex_FailAllocAfter(1);
  Alloc(4);
  int words = 4, id = -1, index = -1;
  Bead(1);
  EXPECT_NE(DMS_ALLOCI(&words, &id, &index), 0);
  EXPECT_EQ(id, 0);
  EXPECT_EQ(index, 0);
  Bead(0);
  const int block = Alloc(4);
  Stamp(block, 4, 3);

  QssPlex_FailAllocAfter(0);
  Realloc(block, 2);  // shrinking does not use up the injected failure
  words = 5000;
  index = -7;
  EXPECT_NE(DMS_RALOCI(&block, &words, &index), 0);
  EXPECT_EQ(index, -7);
  EXPECT_EQ(QssPlex_BlockWords(block), 2);
  EXPECT_TRUE(HasStamp(block, 2, 3));
  Realloc(block, 5000);

  QssPlex_FailAllocAfter(0);
  QssPlex_FailAllocAfter(-1);
  Alloc(4);
}

TEST_F(PlexStandinTest, ExhaustedReservationFailsCleanlyAndRecovers) {
  QssPlex_SetReservationBytes(256 * 1024);
  QssPlex_Reset();
  std::vector<int> ids;
  int words = 1000, id = -1, index = -1;
  Bead(1);
  while (DMS_ALLOCI(&words, &id, &index) == 0) ids.push_back(id);
  Bead(0);
  EXPECT_EQ(id, 0);
  EXPECT_EQ(index, 0);
  EXPECT_GT(ids.size(), 50u);
  EXPECT_LE(ids.size(), 65536u / 1000);

  Stamp(ids[0], 1000, 1);
  words = 60000;
  index = -7;
  EXPECT_NE(DMS_RALOCI(&ids[0], &words, &index), 0);
  EXPECT_EQ(index, -7);
  EXPECT_TRUE(HasStamp(ids[0], 1000, 1));

  Free(ids[5]);
  EXPECT_EQ(Alloc(1000), ids[5]);
}

// A small block allocated after every step lands right behind the growing
// block whenever that block sits at the top of the used area, so only slack
// left by earlier moves can keep the copying linear.
TEST_F(PlexStandinTest, RepeatedGrowthCopiesAmortisedLinearWords) {
  const int id = Alloc(0);
  constexpr int kSteps = 100000;
  constexpr int kStep = 64;
  QssPlexCounts counts;
  for (int i = 1; i <= kSteps; ++i) {
    Realloc(id, i * kStep);
    Words(id)[(i - 1) * kStep] = i;
    Alloc(1);
    QssPlex_GetCounts(&counts);
    ASSERT_LT(counts.words_moved, 4LL * i * kStep) << "after step " << i;
  }
  EXPECT_GT(counts.moves, 0);
  for (int i = 1; i <= kSteps; i += 997)
    EXPECT_EQ(Words(id)[(i - 1) * kStep], i);
}

TEST_F(PlexStandinTest, LenientModeFailsBreachesQuietly) {
  QssPlex_SetStrict(0);
  int bad = 77, words = -1, id = -1, index = -1;
  EXPECT_EQ(DMS_LOCATI(&bad), 0);
  EXPECT_NE(DMS_ATFREE(&bad), 0);
  EXPECT_NE(DMS_RALOCI(&bad, &words, &index), 0);
  EXPECT_NE(DMS_ALLOCI(&words, &id, &index), 0);
  EXPECT_EQ(id, 0);
  words = 5;
  EXPECT_EQ(DMS_ALLOCI(&words, &id, &index), 0);  // outside the bead
  EXPECT_EQ(QssPlex_BlockWords(id), 5);
}

#ifndef _WIN32
using PlexStandinDeathTest = PlexStandinTest;

TEST_F(PlexStandinDeathTest, StrictModeAbortsOnBadIds) {
  const int freed = Alloc(4);
  Free(freed);
  int words = 8, index = 0;
  for (int id : {0, -3, 12345, freed}) {
    const std::string who = "block " + std::to_string(id) + " is not";
    EXPECT_DEATH(DMS_LOCATI(&id), "DMS_LOCATI.*" + who);
    EXPECT_DEATH(DMS_RALOCI(&id, &words, &index), "DMS_RALOCI.*" + who);
    EXPECT_DEATH(DMS_ATFREE(&id), "DMS_ATFREE.*" + who);
  }
}

TEST_F(PlexStandinDeathTest, StrictModeAbortsOnBeadAndSizeBreaches) {
  int id = Alloc(4), words = 8, out_id = 0, index = 0;
  EXPECT_DEATH(DMS_ALLOCI(&words, &out_id, &index), "DMS_ALLOCI.*outside");
  words = -1;
  EXPECT_DEATH(DMS_RALOCI(&id, &words, &index), "DMS_RALOCI.*negative.*-1");
  Bead(1);
  EXPECT_DEATH(DMS_ALLOCI(&words, &out_id, &index), "DMS_ALLOCI.*negative");
  words = 8;
  EXPECT_DEATH(DMS_RALOCI(&id, &words, &index), "DMS_RALOCI.*block 3.*bead");
  EXPECT_DEATH(DMS_ATFREE(&id), "DMS_ATFREE.*block 3.*bead");
  Bead(0);
}
#endif  // _WIN32


}  // namespace
