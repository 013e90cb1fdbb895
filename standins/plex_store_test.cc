#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "records/dms.h"
#include "standins/plex_controls.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

constexpr int32_t kPoison = static_cast<int32_t>(0xDEADBEEF);

class PlexStandinTest : public ::testing::Test {
 protected:
  void SetUp() override { RestoreDefaults(); }
  void TearDown() override { RestoreDefaults(); }

  static void RestoreDefaults() {
    QssPlex_SetStrict(1);
    QssPlex_SetMoveOnRealloc(0);
    QssPlex_SetPoisonFreed(1);
    QssPlex_SetReservationBytes(0);
    QssPlex_Reset();
  }
  static void Bead(int open) { EXPECT_EQ(DMS_SIMBEAD(&open), 0); }
  static int Alloc(int words) {
    int id = -1, index = -1;
    Bead(1);
    EXPECT_EQ(DMS_ALLOCI(&words, &id, &index), 0);
    Bead(0);
    EXPECT_NE(id, 0);
    EXPECT_EQ(index, DMS_LOCATI(&id));
    return id;
  }
  static int Realloc(int id, int words) {
    int index = -1;
    EXPECT_EQ(DMS_RALOCI(&id, &words, &index), 0);
    EXPECT_EQ(index, DMS_LOCATI(&id));
    return index;
  }
  static void Free(int id) { EXPECT_EQ(DMS_ATFREE(&id), 0); }
  static int Index(int id) { return DMS_LOCATI(&id); }
  static int32_t* Words(int id) { return ib0 + DMS_LOCATI(&id); }
  static void Stamp(int id, int words, int seed) {
    for (int k = 0; k < words; ++k) Words(id)[k] = seed * 100003 + k;
  }
  static bool HasStamp(int id, int words, int seed) {
    for (int k = 0; k < words; ++k) {
      if (Words(id)[k] != seed * 100003 + k) return false;
    }
    return true;
  }
  static bool AllZero(int id, int from, int to) {
    for (int k = from; k < to; ++k) {
      if (Words(id)[k] != 0) return false;
    }
    return true;
  }
  // Every live block with its words, as a comparable picture of the plex.
  static std::vector<std::vector<int32_t>> Snapshot() {
    std::vector<std::vector<int32_t>> picture;
    for (int id = QssPlex_NextBlockId(0); id != 0;
         id = QssPlex_NextBlockId(id)) {
      std::vector<int32_t> block = {id};
      block.insert(block.end(), Words(id), Words(id) + QssPlex_BlockWords(id));
      picture.push_back(block);
    }
    return picture;
  }
  static std::string TempPath(const char* name) {
    return ::testing::TempDir() + "qss_plex_" + name;
  }
  static std::string TestData(const char* name) {
    const std::string source = __FILE__;
    return source.substr(0, source.find_last_of("/\\") + 1) + "testdata/" +
           name;
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }
};

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

TEST_F(PlexStandinTest, SaveAndLoadRoundTrip) {
  std::vector<int> ids;
  for (int i = 0; i < 8; ++i) ids.push_back(Alloc(3 + 40 * i));
  for (int i = 0; i < 8; ++i) Stamp(ids[i], 3 + 40 * i, i);
  Stamp(2, 64, 99);
  Free(ids[1]);
  Free(ids[7]);
  const auto saved = Snapshot();
  const std::string path = TempPath("round_trip");
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);

  QssPlex_Reset();
  Alloc(7);
  ASSERT_EQ(QssPlex_Load(path.c_str()), 0);
  EXPECT_EQ(Snapshot(), saved);
  EXPECT_EQ(QssPlex_LiveBlocks(), 8);

  // Freed ids come back, lowest first; nothing live is disturbed.
  EXPECT_EQ(Alloc(5), ids[1]);
  EXPECT_EQ(Alloc(5), ids[7]);
  EXPECT_EQ(Alloc(5), ids[7] + 1);
  EXPECT_TRUE(AllZero(ids[1], 0, 5));
  Realloc(ids[3], 2000);
  for (int i : {0, 2, 3, 4, 5, 6}) EXPECT_TRUE(HasStamp(ids[i], 3 + 40 * i, i));
  std::remove(path.c_str());
}

// Offsets into a current-format image: header fields, the block table and
// the blocks' words.
constexpr size_t kVersionByte = 8, kIdLimitByte = 12, kWordsByte = 24,
                 kHeaderChecksumByte = 40, kTableByte = 48;

TEST_F(PlexStandinTest, LoadRefusesBadFilesAndKeepsThePlex) {
  Stamp(Alloc(30), 30, 5);
  Stamp(Alloc(300), 300, 6);
  const std::string path = TempPath("good");
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  const std::string good = ReadFile(path);
  ASSERT_EQ(good.size(), 48 + 16 * 4 + 4 * (16 + 64 + 30 + 300));

  const std::string bad_path = TempPath("bad");
  // A fresh plex is loaded into straight away and remade after damage; any
  // other is verified first. Either way it comes out as it went in.
  for (bool fresh : {true, false}) {
    SCOPED_TRACE(fresh ? "fresh plex" : "plex in use");
    QssPlex_Reset();
    if (!fresh) Stamp(Alloc(9), 9, 7);
    const auto before = Snapshot();
    auto load = [&](const std::string& bytes) {
      WriteFile(bad_path, bytes);
      const int result = QssPlex_Load(bad_path.c_str());
      EXPECT_EQ(Snapshot(), before);
      return result;
    };
    for (size_t cut : {size_t{0}, size_t{7}, size_t{20}, kTableByte + 8,
                       good.size() / 2, good.size() - 1}) {
      EXPECT_EQ(load(good.substr(0, cut)), QSS_PLEX_DAMAGED) << "cut " << cut;
    }
    for (size_t at : {size_t{0}, kVersionByte, kIdLimitByte, kWordsByte,
                      kHeaderChecksumByte, kTableByte, kTableByte + 20,
                      good.size() - 1200, good.size() - 1}) {
      std::string flipped = good;
      flipped[at] ^= 0x10;
      EXPECT_EQ(load(flipped), QSS_PLEX_DAMAGED) << "byte " << at;
    }
    EXPECT_EQ(load(good + "x"), QSS_PLEX_DAMAGED);
    errno = 0;
    EXPECT_EQ(QssPlex_Load(TempPath("missing").c_str()), QSS_PLEX_UNREADABLE);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(QssPlex_Load(::testing::TempDir().c_str()), QSS_PLEX_UNREADABLE);
    EXPECT_EQ(Snapshot(), before);
  }
  // Damaged words once written into the plex never show in new blocks.
  const int reused = Alloc(400);
  EXPECT_TRUE(AllZero(reused, 0, 400));
  std::remove(path.c_str());
  std::remove(bad_path.c_str());
}

// Made by the first format's writer: blocks 1 and 2 (16 and 64 words), 3
// (3 words) and 6 (200 words) stamped with their ids as seeds, 5 empty; 4
// and 7 freed, so the id limit is 8.
TEST_F(PlexStandinTest, FirstFormatImagesStillLoad) {
  const std::string v1 = ReadFile(TestData("v1_blocks.img"));
  ASSERT_EQ(v1.size(), 1200u);
  const std::string path = TempPath("v1");
  WriteFile(path, v1);
  QssPlexImageInfo info;
  ASSERT_EQ(QssPlex_ImageInfo(path.c_str(), &info), QSS_PLEX_LOADED);
  EXPECT_EQ(info.version, 1u);
  EXPECT_EQ(info.blocks, 5);
  EXPECT_EQ(info.words, 16 + 64 + 3 + 200);
  EXPECT_EQ(info.file_bytes, 1200u);

  Stamp(Alloc(50), 50, 9);  // loaded over a plex in use
  ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
  EXPECT_EQ(QssPlex_LiveBlocks(), 5);
  for (auto [id, words] : {std::pair{1, 16}, {2, 64}, {3, 3}, {6, 200}}) {
    EXPECT_EQ(QssPlex_BlockWords(id), words);
    EXPECT_TRUE(HasStamp(id, words, id)) << "block " << id;
  }
  EXPECT_EQ(QssPlex_BlockWords(5), 0);
  EXPECT_EQ(Alloc(1), 4);
  EXPECT_EQ(Alloc(1), 7);
  EXPECT_EQ(Alloc(1), 8);

  // Saved again, it is a current-format image with the same contents.
  const auto loaded = Snapshot();
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  QssPlex_Reset();
  ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
  EXPECT_EQ(Snapshot(), loaded);

  const auto before = Snapshot();
  for (size_t at : {size_t{12}, size_t{30}, v1.size() - 100, v1.size() - 1}) {
    std::string flipped = v1;
    flipped[at] ^= 0x01;
    WriteFile(path, flipped);
    EXPECT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_DAMAGED) << "byte " << at;
  }
  WriteFile(path, v1.substr(0, 900));
  EXPECT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_DAMAGED);
  EXPECT_EQ(Snapshot(), before);
  std::remove(path.c_str());
}

TEST_F(PlexStandinTest, ImageTooLargeForThePlexHasItsOwnAnswer) {
  Stamp(Alloc(200000), 200000, 3);
  const auto saved = Snapshot();
  const std::string path = TempPath("large");
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);

  QssPlex_SetReservationBytes(256 * 1024);
  QssPlex_Reset();
  EXPECT_EQ(QssPlex_CapacityBytes(), 256u * 1024);
  const auto fresh = Snapshot();
  EXPECT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_TOO_LARGE);
  EXPECT_EQ(Snapshot(), fresh);
  QssPlexImageInfo info;
  ASSERT_EQ(QssPlex_ImageInfo(path.c_str(), &info), QSS_PLEX_LOADED);
  EXPECT_EQ(info.version, 2u);
  EXPECT_EQ(info.blocks, 3);
  EXPECT_EQ(info.words, 16 + 64 + 200000);
  EXPECT_GT(info.plex_bytes, 4u * info.words);

  // What the image says it needs is enough.
  QssPlex_SetReservationBytes(info.plex_bytes);
  QssPlex_Reset();
  ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
  EXPECT_EQ(Snapshot(), saved);
  std::remove(path.c_str());
}

struct Damage {
  int id, kind;
  bool operator==(const Damage& o) const {
    return id == o.id && kind == o.kind;
  }
};

void QSS_HOST_CALL RecordDamage(int id, int kind, void* context) {
  static_cast<std::vector<Damage>*>(context)->push_back({id, kind});
}

TEST_F(PlexStandinTest, SalvageLoadsWhatIsSoundAndNamesTheRest) {
  const int a = Alloc(100), b = Alloc(100), c = Alloc(100), d = Alloc(100);
  for (int id : {a, b, c, d}) Stamp(id, 100, id);
  const std::string path = TempPath("salvage");
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  const std::string good = ReadFile(path);
  const size_t words_at = kTableByte + 16 * 6 + 4 * (16 + 64);

  std::string bad = good.substr(0, words_at + 4 * 100 * 2 + 4 * 40);
  bad[words_at + 4 * 30] ^= 0x40;  // in a's words; c is cut after 40 words
  WriteFile(path, bad);
  EXPECT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_DAMAGED);
  std::vector<Damage> damage;
  ASSERT_EQ(QssPlex_LoadSalvage(path.c_str(), RecordDamage, &damage),
            QSS_PLEX_LOADED);
  EXPECT_EQ(damage, (std::vector<Damage>{{a, QSS_PLEX_BLOCK_CHECKSUM},
                                         {c, QSS_PLEX_BLOCK_CUT},
                                         {d, QSS_PLEX_BLOCK_CUT}}));
  EXPECT_TRUE(HasStamp(b, 100, b));
  EXPECT_TRUE(HasStamp(c, 40, c));
  EXPECT_TRUE(AllZero(c, 40, 100));
  EXPECT_TRUE(AllZero(d, 0, 100));
  EXPECT_NE(Words(a)[30], a * 100003 + 30);

  // Without a sound table nothing can be placed.
  const auto before = Snapshot();
  for (size_t at : {kHeaderChecksumByte, kTableByte + 17}) {
    std::string table_damaged = good;
    table_damaged[at] ^= 0x01;
    WriteFile(path, table_damaged);
    EXPECT_EQ(QssPlex_LoadSalvage(path.c_str(), nullptr, nullptr),
              QSS_PLEX_DAMAGED);
  }
  WriteFile(path, good.substr(0, kTableByte + 16 * 5));
  EXPECT_EQ(QssPlex_LoadSalvage(path.c_str(), nullptr, nullptr),
            QSS_PLEX_DAMAGED);
  EXPECT_EQ(Snapshot(), before);
  std::remove(path.c_str());
}

TEST_F(PlexStandinTest, SaveFailsWithTheSystemsReason) {
  errno = 0;
  const std::string path = TempPath("no_such_folder/image");
  EXPECT_EQ(QssPlex_Save(path.c_str()), 1);
  EXPECT_EQ(errno, ENOENT);
}

void QSS_HOST_CALL RecordProgress(unsigned long long done,
                                  unsigned long long total, void* context) {
  static_cast<std::vector<std::pair<uint64_t, uint64_t>>*>(context)
      ->emplace_back(done, total);
}

TEST_F(PlexStandinTest, SaveAndLoadReportProgressUpToTheFileSize) {
  Stamp(Alloc(3 << 20), 3 << 20, 1);  // 12 MiB
  const std::string path = TempPath("progress");
  std::vector<std::pair<uint64_t, uint64_t>> calls;
  QssPlex_SetProgress(RecordProgress, &calls);
  QssPlex_SetSyncOnSave(1);
  auto expect_steady = [&](uint64_t total) {
    ASSERT_GE(calls.size(), 10u);
    for (size_t i = 0; i < calls.size(); ++i) {
      EXPECT_EQ(calls[i].second, total);
      if (i > 0) {
        EXPECT_GT(calls[i].first, calls[i - 1].first);
      }
    }
    EXPECT_EQ(calls.back().first, total);
    calls.clear();
  };
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  QssPlex_SetSyncOnSave(0);
  const uint64_t bytes = ReadFile(path).size();
  expect_steady(bytes);
  ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
  expect_steady(2 * bytes);  // verified, then read
  QssPlex_Reset();
  ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
  expect_steady(bytes);
  QssPlex_SetProgress(nullptr, nullptr);
  std::remove(path.c_str());
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

#ifndef _WIN32
long PeakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Only the plex's own pages hold the image: no copy of it in memory.
TEST_F(PlexStandinTest, ImagesMoveWithoutACopyInMemory) {
  constexpr int kWords = 16 << 20;  // 64 MiB
  constexpr long kBoundKiB = 16 << 10;
  const int id = Alloc(kWords);
  for (int k = 0; k < kWords; k += 1024) Words(id)[k] = k;  // every page
  const std::string path = TempPath("memory");
  const long peak = PeakResidentKiB();
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  EXPECT_LT(PeakResidentKiB() - peak, kBoundKiB);
  QssPlex_Reset();  // hands the pages back
  ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
  EXPECT_LT(PeakResidentKiB() - peak, kBoundKiB);
  for (int k = 0; k < kWords; k += 1024 * 1023) EXPECT_EQ(Words(id)[k], k);
  std::remove(path.c_str());
}
#endif  // _WIN32

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
