#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "records/dms.h"
#include "standins/plex_controls.h"

#define XXH_INLINE_ALL
#include "xxhash.h"

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
    QssPlex_SetMapImages(0);
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
    return std::string(QSS_STANDIN_TESTDATA) + name;
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

// Offsets into a current-format image saved whole: the version, header
// slot 1 (which a whole save fills) and its fields, the block table.
constexpr size_t kVersionByte = 8, kSlotByte = 1024, kIdLimitByte = 1032,
                 kWordsByte = 1040, kTableOffsetByte = 1048, kEndByte = 1064,
                 kSlotChecksumByte = 1080, kTableStart = 4096;

uint64_t LittleEndian(const std::string& bytes, size_t at, int size) {
  uint64_t value = 0;
  for (int i = 0; i < size; ++i) {
    value |= uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
  }
  return value;
}

// The block table of the image a current-format file holds, by the slot
// with the higher generation: per block its id, word count and offset.
std::vector<std::array<uint64_t, 3>> Table(const std::string& image) {
  const size_t slot =
      LittleEndian(image, 512, 8) > LittleEndian(image, 1024, 8) ? 512 : 1024;
  const size_t count = LittleEndian(image, slot + 12, 4);
  const size_t table = LittleEndian(image, slot + 24, 8);
  std::vector<std::array<uint64_t, 3>> entries;
  for (size_t at = table; at < table + 24 * count; at += 24) {
    entries.push_back({LittleEndian(image, at, 4),
                       LittleEndian(image, at + 4, 4),
                       LittleEndian(image, at + 8, 8)});
  }
  return entries;
}

TEST_F(PlexStandinTest, LoadRefusesBadFilesAndKeepsThePlex) {
  Stamp(Alloc(30), 30, 5);
  Stamp(Alloc(300), 300, 6);
  const std::string path = TempPath("good");
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  const std::string good = ReadFile(path);
  const size_t table = LittleEndian(good, kTableOffsetByte, 8);
  ASSERT_EQ(table, kTableStart);
  ASSERT_EQ(good.size(), table + 24 * 4 + 4 * (16 + 64 + 30 + 300));

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
    for (size_t cut : {size_t{0}, size_t{7}, size_t{20}, kSlotByte + 8,
                       kTableStart + 8, good.size() / 2, good.size() - 1}) {
      EXPECT_EQ(load(good.substr(0, cut)), QSS_PLEX_DAMAGED) << "cut " << cut;
    }
    for (size_t at :
         {size_t{0}, kVersionByte, kSlotByte, kIdLimitByte, kWordsByte,
          kTableOffsetByte, kEndByte, kSlotChecksumByte, table, table + 20,
          table + 24 * 4 - 1, table + 24 * 4 + 4 * 16 + 8, good.size() - 1}) {
      std::string flipped = good;
      flipped[at] ^= 0x10;
      EXPECT_EQ(load(flipped), QSS_PLEX_DAMAGED) << "byte " << at;
    }
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

// Made by the earlier formats' writers: blocks 1 and 2 (16 and 64 words), 3
// (3 words) and 6 (200 words) stamped with their ids as seeds, 5 empty; 4
// and 7 freed, so the id limit is 8. The second-format file was saved from
// a load of the first.
TEST_F(PlexStandinTest, EarlierFormatsStillLoad) {
  const std::string path = TempPath("earlier");
  for (auto [name, version, bytes] :
       {std::tuple{"v1_blocks.img", 1u, size_t{1200}},
        std::tuple{"v2_blocks.img", 2u, size_t{1260}}}) {
    SCOPED_TRACE(name);
    const std::string image = ReadFile(TestData(name));
    ASSERT_EQ(image.size(), bytes);
    WriteFile(path, image);
    QssPlexImageInfo info;
    ASSERT_EQ(QssPlex_ImageInfo(path.c_str(), &info), QSS_PLEX_LOADED);
    EXPECT_EQ(info.version, version);
    EXPECT_EQ(info.blocks, 5);
    EXPECT_EQ(info.words, 16 + 64 + 3 + 200);
    EXPECT_EQ(info.file_bytes, bytes);

    QssPlex_Reset();
    Stamp(Alloc(50), 50, 9);  // loaded over a plex in use
    ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
    EXPECT_EQ(QssPlex_LiveBlocks(), 5);
    for (auto [id, words] : {std::pair{1, 16}, {2, 64}, {3, 3}, {6, 200}}) {
      EXPECT_EQ(QssPlex_BlockWords(id), words);
      EXPECT_TRUE(HasStamp(id, words, id)) << "block " << id;
    }
    EXPECT_EQ(QssPlex_BlockWords(5), 0);
    // Not an image to change in place: it is saved whole.
    EXPECT_EQ(QssPlex_SaveChanges(path.c_str()), QSS_PLEX_SAVE_WHOLE);
    EXPECT_EQ(ReadFile(path), image);
    EXPECT_EQ(Alloc(1), 4);
    EXPECT_EQ(Alloc(1), 7);
    EXPECT_EQ(Alloc(1), 8);

    // Saved again, it is a current-format image with the same contents.
    const auto loaded = Snapshot();
    ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
    QssPlex_Reset();
    ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
    EXPECT_EQ(Snapshot(), loaded);
    ASSERT_EQ(QssPlex_ImageInfo(path.c_str(), &info), QSS_PLEX_LOADED);
    EXPECT_EQ(info.version, 3u);

    const auto before = Snapshot();
    for (size_t at : {size_t{12}, size_t{30}, bytes - 100, bytes - 1}) {
      std::string flipped = image;
      flipped[at] ^= 0x01;
      WriteFile(path, flipped);
      EXPECT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_DAMAGED) << "byte " << at;
    }
    WriteFile(path, image.substr(0, 900));
    EXPECT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_DAMAGED);
    WriteFile(path, image + "x");
    EXPECT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_DAMAGED);
    EXPECT_EQ(Snapshot(), before);
  }
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
  EXPECT_EQ(info.version, 3u);
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

// What QssPlex_LoadImage answers, and tells, for each kind of file that
// is not an image this plex can load; the older loads answer
// QSS_PLEX_DAMAGED for a file that is not an image this build reads.
TEST_F(PlexStandinTest, LoadResultsSayWhatTheFileIs) {
  const int block = Alloc(70000);
  Stamp(block, 70000, 4);
  const std::string path = TempPath("results");
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  const std::string good = ReadFile(path);
  QssPlexImageInfo info;
  ASSERT_EQ(QssPlex_ImageInfo(path.c_str(), &info), QSS_PLEX_LOADED);
  const size_t table = LittleEndian(good, kTableOffsetByte, 8);
  const size_t block_at = LittleEndian(good, table + 2 * 24 + 8, 8);
  auto with = [&](size_t at, const std::string& bytes) {
    return good.substr(0, at) + bytes + good.substr(at + bytes.size());
  };
  auto flipped = [&](size_t at) {
    return with(at, std::string(1, static_cast<char>(good[at] ^ 0x40)));
  };
  const uint64_t small_plex = 256 * 1024;
  struct Case {
    const char* what;
    std::string bytes;
    uint64_t reservation;  // 0: the default
    int result, old_result;
    unsigned version;
    int damage, damaged_block;
    uint64_t plex_bytes;
  };
  const Case cases[] = {
      {"a file of another kind", "PK\3\4 a zip archive, say", 0,
       QSS_PLEX_NOT_AN_IMAGE, QSS_PLEX_DAMAGED, 0, 0, 0, 0},
      {"an empty file", "", 0, QSS_PLEX_NOT_AN_IMAGE, QSS_PLEX_DAMAGED, 0, 0,
       0, 0},
      {"a newer format", with(kVersionByte, std::string("\x09\0\0\0", 4)), 0,
       QSS_PLEX_NEWER_FORMAT, QSS_PLEX_DAMAGED, 9, 0, 0, 0},
      {"a damaged header slot", flipped(kSlotChecksumByte), 0,
       QSS_PLEX_DAMAGED, QSS_PLEX_DAMAGED, 3, QSS_PLEX_HEADER_DAMAGED, 0, 0},
      {"a damaged block table", flipped(table + 24 + 4), 0, QSS_PLEX_DAMAGED,
       QSS_PLEX_DAMAGED, 3, QSS_PLEX_TABLE_DAMAGED, 0, 0},
      {"a damaged block", flipped(block_at + 1000), 0, QSS_PLEX_DAMAGED,
       QSS_PLEX_DAMAGED, 3, QSS_PLEX_BLOCK_CHECKSUM, block, 0},
      {"a cut file", good.substr(0, good.size() - 4), 0, QSS_PLEX_DAMAGED,
       QSS_PLEX_DAMAGED, 3, QSS_PLEX_BLOCK_CUT, 0, 0},
      {"larger than the plex", good, small_plex, QSS_PLEX_TOO_LARGE,
       QSS_PLEX_TOO_LARGE, 3, 0, 0, info.plex_bytes},
  };
  const std::string bad_path = TempPath("results_bad");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(bad_path, c.bytes);
    QssPlex_SetReservationBytes(c.reservation);
    QssPlex_Reset();
    const auto before = Snapshot();
    QssPlexLoadOutcome outcome;
    EXPECT_EQ(QssPlex_LoadImage(bad_path.c_str(), 0, nullptr, nullptr,
                                &outcome),
              c.result);
    EXPECT_EQ(outcome.version, c.version);
    EXPECT_EQ(outcome.oldest_version, 1u);
    EXPECT_EQ(outcome.newest_version, 3u);
    EXPECT_EQ(outcome.damage, c.damage);
    EXPECT_EQ(outcome.damaged_block, c.damaged_block);
    EXPECT_EQ(outcome.plex_bytes, c.plex_bytes);
    EXPECT_EQ(QssPlex_Load(bad_path.c_str()), c.old_result);
    EXPECT_EQ(Snapshot(), before);
  }
  std::remove(path.c_str());
  std::remove(bad_path.c_str());
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
  const size_t words_at = kTableStart + 24 * 6 + 4 * (16 + 64);

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
  // The bytes the file holds of each cut block, whatever they are.
  EXPECT_EQ(QssPlex_CutBlockBytes(c), 4 * 40);
  EXPECT_EQ(QssPlex_CutBlockBytes(d), 0);
  EXPECT_EQ(QssPlex_CutBlockBytes(a), -1);
  EXPECT_EQ(QssPlex_CutBlockBytes(b), -1);
  // What a salvaging load read is never taken for the file's blocks.
  EXPECT_EQ(QssPlex_SaveChanges(path.c_str()), QSS_PLEX_SAVE_WHOLE);

  // A second-format image cut short: its cut blocks are named too.
  std::string v2 = ReadFile(TestData("v2_blocks.img"));
  v2[200] ^= 0x01;  // in block 2, whose words start at byte 192
  WriteFile(path, v2.substr(0, 1000));
  damage.clear();
  ASSERT_EQ(QssPlex_LoadSalvage(path.c_str(), RecordDamage, &damage),
            QSS_PLEX_LOADED);
  EXPECT_EQ(damage, (std::vector<Damage>{{2, QSS_PLEX_BLOCK_CHECKSUM},
                                         {6, QSS_PLEX_BLOCK_CUT}}));
  EXPECT_TRUE(HasStamp(3, 3, 3));
  EXPECT_TRUE(HasStamp(6, (1000 - 460) / 4, 6));
  EXPECT_TRUE(AllZero(6, (1000 - 460) / 4, 200));
  EXPECT_EQ(QssPlex_CutBlockBytes(6), 1000 - 460);

  // Without a sound table nothing can be placed.
  const auto before = Snapshot();
  const size_t table = LittleEndian(good, kTableOffsetByte, 8);
  std::string table_damaged = good;
  table_damaged[table + 17] ^= 0x01;
  WriteFile(path, table_damaged);
  EXPECT_EQ(QssPlex_LoadSalvage(path.c_str(), nullptr, nullptr),
            QSS_PLEX_DAMAGED);
  WriteFile(path, good.substr(0, kTableStart + 24 * 6 - 1));
  EXPECT_EQ(QssPlex_LoadSalvage(path.c_str(), nullptr, nullptr),
            QSS_PLEX_DAMAGED);
  EXPECT_EQ(Snapshot(), before);

  // A torn header slot: the base slot names the same image, and the load
  // says the header is damaged.
  std::string slot_damaged = good;
  slot_damaged[kSlotChecksumByte] ^= 0x01;
  WriteFile(path, slot_damaged);
  EXPECT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_DAMAGED);
  damage.clear();
  ASSERT_EQ(QssPlex_LoadSalvage(path.c_str(), RecordDamage, &damage),
            QSS_PLEX_LOADED);
  EXPECT_EQ(damage, (std::vector<Damage>{{0, QSS_PLEX_HEADER_DAMAGED}}));
  for (int id : {a, b, c, d}) EXPECT_TRUE(HasStamp(id, 100, id));
  EXPECT_EQ(QssPlex_CutBlockBytes(c), -1);  // nothing cut in this load
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

// A block large enough to start on a page of its own in images: 1 MiB.
constexpr int kLargeWords = 256 * 1024;

TEST_F(PlexStandinTest, SavingChangesAddsOnlyWhatChanged) {
  const int large = Alloc(kLargeWords), other = Alloc(kLargeWords);
  Stamp(large, kLargeWords, 1);
  Stamp(other, kLargeWords, 2);
  const int small = Alloc(100), gone = Alloc(50);
  Stamp(small, 100, 3);
  const std::string path = TempPath("changes");
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  const std::string whole = ReadFile(path);
  const auto table = Table(whole);
  ASSERT_EQ(table.size(), 6u);
  EXPECT_EQ(table[2][2] % 4096, 0u);  // the large blocks start on a page
  EXPECT_EQ(table[3][2] % 4096, 0u);

  // Nothing changed: only a new table is added.
  ASSERT_EQ(QssPlex_SaveChanges(path.c_str()), 0);
  const std::string same = ReadFile(path);
  EXPECT_LE(same.size(), whole.size() + 8 + 64 + 24 * table.size());
  EXPECT_EQ(Table(same), table);

  // A word of a small block, a block freed, one added: the file grows by
  // those blocks and a table; the large blocks stay where they were.
  Words(small)[7] = -1;
  Free(gone);
  Stamp(Alloc(20), 20, 4);
  ASSERT_EQ(QssPlex_SaveChanges(path.c_str()), 0);
  const std::string changed = ReadFile(path);
  EXPECT_LT(changed.size() - same.size(), 4u * (100 + 20) + 8 + 64 + 24 * 6);
  const auto changed_table = Table(changed);
  EXPECT_EQ(changed_table[2], table[2]);
  EXPECT_EQ(changed_table[3], table[3]);
  auto expect_loads = [&](const char* what) {
    SCOPED_TRACE(what);
    const auto expected = Snapshot();
    QssPlex_Reset();
    ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
    EXPECT_EQ(Snapshot(), expected);
  };
  expect_loads("small changes");

  // A large block changed goes after the end, on a page of its own.
  Words(large)[kLargeWords - 1] = 5;
  ASSERT_EQ(QssPlex_SaveChanges(path.c_str()), 0);
  const std::string moved = ReadFile(path);
  EXPECT_GE(Table(moved)[2][2], changed.size());
  EXPECT_EQ(Table(moved)[2][2] % 4096, 0u);
  EXPECT_EQ(Table(moved)[3], table[3]);
  expect_loads("a large change");

  // Again, and the file would hold more dead bytes than live ones: nothing
  // is written, and a whole save makes it small again.
  Words(large)[0] = 6;
  EXPECT_EQ(QssPlex_SaveChanges(path.c_str()), QSS_PLEX_SAVE_WHOLE);
  EXPECT_EQ(ReadFile(path), moved);
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  EXPECT_LT(ReadFile(path).size(), whole.size() + 4096);
  Words(small)[8] = -2;
  ASSERT_EQ(QssPlex_SaveChanges(path.c_str()), 0);
  expect_loads("after a whole save");

  // Only the image last loaded or saved is changed in place: not another
  // image, nor a missing file.
  const std::string other_path = TempPath("changes_other");
  ASSERT_EQ(QssPlex_Save(other_path.c_str()), 0);
  Words(small)[9] = -3;
  const std::string before = ReadFile(path);
  EXPECT_EQ(QssPlex_SaveChanges(path.c_str()), QSS_PLEX_SAVE_WHOLE);
  EXPECT_EQ(ReadFile(path), before);
  std::remove(other_path.c_str());
  EXPECT_EQ(QssPlex_SaveChanges(other_path.c_str()), QSS_PLEX_SAVE_WHOLE);
  EXPECT_FALSE(std::ifstream(other_path).good());
  std::remove(path.c_str());
}

// The states an interrupted save can leave, rebuilt from the image before
// and after it: what it appended, written in part or whole, then the new
// header slot torn part way. Every one loads as the old image.
TEST_F(PlexStandinTest, ASaveCutShortLeavesTheOldImage) {
  const int large = Alloc(kLargeWords), other = Alloc(kLargeWords);
  Stamp(large, kLargeWords, 1);
  Stamp(other, kLargeWords, 2);
  const int small = Alloc(300);
  Stamp(small, 300, 3);
  const std::string path = TempPath("cut_short");
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  const auto old_plex = Snapshot();
  const std::string old_image = ReadFile(path);
  Words(small)[0] = 77;
  Words(large)[1000] = 78;
  const auto new_plex = Snapshot();
  ASSERT_EQ(QssPlex_SaveChanges(path.c_str()), 0);
  const std::string new_image = ReadFile(path);
  ASSERT_GT(new_image.size(), old_image.size() + 4 * kLargeWords);
  // The new slot is the one place where the old image's bytes changed.
  const size_t slot =
      std::mismatch(old_image.begin(), old_image.end(), new_image.begin())
          .first -
      old_image.begin();
  ASSERT_TRUE(slot >= 512 && slot < 512 + 64) << slot;
  EXPECT_EQ(new_image.compare(576, old_image.size() - 576, old_image, 576,
                              old_image.size() - 576),
            0);

  auto loads_as = [&](const std::string& bytes) {
    WriteFile(path, bytes);
    QssPlex_Reset();
    EXPECT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
    return Snapshot();
  };
  for (size_t written :
       {size_t{1}, size_t{4096}, (new_image.size() - old_image.size()) / 2,
        new_image.size() - old_image.size() - 24,
        new_image.size() - old_image.size()}) {
    SCOPED_TRACE("appended " + std::to_string(written));
    EXPECT_EQ(loads_as(new_image.substr(0, old_image.size() + written)
                           .replace(512, 64, old_image, 512, 64)),
              old_plex);
  }
  // A slot torn within (a write smaller than a sector) hides a new save
  // the file holds whole: a load refuses rather than roll back to the old
  // one, and a salvaging load takes the new one.
  for (size_t torn : {1, 8, 40, 63}) {
    SCOPED_TRACE("slot torn after " + std::to_string(torn));
    std::string bytes = new_image;
    bytes.replace(512 + torn, 64 - torn, old_image, 512 + torn, 64 - torn);
    WriteFile(path, bytes);
    QssPlex_Reset();
    EXPECT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_NEWER_SAVE);
    std::vector<Damage> damage;
    EXPECT_EQ(QssPlex_LoadSalvage(path.c_str(), RecordDamage, &damage),
              QSS_PLEX_LOADED);
    EXPECT_EQ(damage, (std::vector<Damage>{{0, QSS_PLEX_SLOT_DAMAGED}}));
    EXPECT_EQ(Snapshot(), new_plex);
  }
  EXPECT_EQ(loads_as(new_image), new_plex);

  // The next save cuts off what the interrupted one left: the same change
  // from there gives the same file.
  EXPECT_EQ(loads_as(old_image + std::string(5000, '\x5a')), old_plex);
  Words(small)[0] = 77;
  Words(large)[1000] = 78;
  ASSERT_EQ(QssPlex_SaveChanges(path.c_str()), 0);
  EXPECT_EQ(ReadFile(path), new_image);
  std::remove(path.c_str());
}

// Changes are added at the file's end, so a file cut short (a copy that
// stopped, a full disk) loses the newest table first. A salvaging load goes
// back to the newest image whose table the file still holds, and says how
// many saves that loses; a plain load still refuses the file.
TEST_F(PlexStandinTest, ACutFileSalvagesTheNewestImageItHoldsWhole) {
  const int large = Alloc(kLargeWords);
  Stamp(large, kLargeWords, 1);
  const int small = Alloc(300);
  Stamp(small, 300, 2);
  const std::string path = TempPath("cut_changes");
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  std::vector<std::vector<std::vector<int32_t>>> plexes = {Snapshot()};
  std::vector<size_t> ends = {ReadFile(path).size()};
  for (int change = 1; change <= 3; ++change) {
    Words(small)[change] = -change;
    if (change == 2) Stamp(Alloc(50), 50, 9);
    ASSERT_EQ(QssPlex_SaveChanges(path.c_str()), 0);
    plexes.push_back(Snapshot());
    ends.push_back(ReadFile(path).size());
  }
  const std::string image = ReadFile(path);
  std::vector<Damage> damage;
  auto salvage = [&](const std::string& bytes) {
    WriteFile(path, bytes);
    damage.clear();
    QssPlex_Reset();
    return QssPlex_LoadSalvage(path.c_str(), RecordDamage, &damage);
  };

  for (int lost = 1; lost <= 3; ++lost) {
    SCOPED_TRACE("cut in the head of change " + std::to_string(4 - lost));
    ASSERT_EQ(salvage(image.substr(0, ends[3 - lost] + 8)), QSS_PLEX_LOADED);
    EXPECT_EQ(damage, (std::vector<Damage>{{lost, QSS_PLEX_CHANGES_LOST}}));
    EXPECT_EQ(Snapshot(), plexes[3 - lost]);
    QssPlex_Reset();
    EXPECT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_DAMAGED);
  }

  // Cut inside the whole save's blocks: its table still places them.
  ASSERT_EQ(salvage(image.substr(0, ends[0] - 4 * 300 - 1000)),
            QSS_PLEX_LOADED);
  ASSERT_LT(large, small);  // so the cut falls in large, before small
  EXPECT_EQ(damage, (std::vector<Damage>{{3, QSS_PLEX_CHANGES_LOST},
                                         {large, QSS_PLEX_BLOCK_CUT},
                                         {small, QSS_PLEX_BLOCK_CUT}}));

  // Whole but for a damaged newest table.
  std::string bad_table = image;
  const size_t newest_slot =
      LittleEndian(image, 512, 8) > LittleEndian(image, 1024, 8) ? 512 : 1024;
  bad_table[LittleEndian(image, newest_slot + 24, 8) + 3] ^= 0x10;
  ASSERT_EQ(salvage(bad_table), QSS_PLEX_LOADED);
  EXPECT_EQ(damage, (std::vector<Damage>{{1, QSS_PLEX_CHANGES_LOST}}));
  EXPECT_EQ(Snapshot(), plexes[2]);

  // An interrupted fourth save left its head, table and blocks past the
  // end; with the third's table damaged, the second is taken, never the
  // fourth, which was not finished.
  WriteFile(path, image);
  QssPlex_Reset();
  ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
  Words(small)[4] = -4;
  ASSERT_EQ(QssPlex_SaveChanges(path.c_str()), 0);
  std::string unfinished = ReadFile(path);
  ASSERT_GT(unfinished.size(), image.size());
  unfinished.replace(0, image.size(), bad_table);
  ASSERT_EQ(salvage(unfinished), QSS_PLEX_LOADED);
  EXPECT_EQ(damage, (std::vector<Damage>{{1, QSS_PLEX_CHANGES_LOST}}));
  EXPECT_EQ(Snapshot(), plexes[2]);

  // Neither header slot sound: the heads lead to the newest image, and the
  // load says it could not tell.
  std::string no_slots = image;
  no_slots[512 + 60] ^= 0x01;
  no_slots[1024 + 60] ^= 0x01;
  ASSERT_EQ(salvage(no_slots), QSS_PLEX_LOADED);
  EXPECT_EQ(damage, (std::vector<Damage>{{0, QSS_PLEX_HEADER_DAMAGED}}));
  EXPECT_EQ(Snapshot(), plexes[3]);

  // A file from before the base slot: only the older header slot helps.
  std::string no_base = image;
  no_base.replace(1536, 64, 64, '\0');
  ASSERT_EQ(salvage(no_base.substr(0, ends[2] + 8)), QSS_PLEX_LOADED);
  EXPECT_EQ(damage, (std::vector<Damage>{{1, QSS_PLEX_CHANGES_LOST}}));
  EXPECT_EQ(Snapshot(), plexes[2]);
  EXPECT_EQ(salvage(no_base.substr(0, ends[1] + 8)), QSS_PLEX_DAMAGED);
  std::remove(path.c_str());
}

// Rewrites the field `size` bytes long at `field` bytes into the header
// slot at `slot` with `value`, and the slot's checksum so that it holds:
// what a crafted file may claim.
void Reslot(std::string* bytes, size_t slot, int seed, size_t field, int size,
            uint64_t value) {
  for (int i = 0; i < size; ++i) {
    (*bytes)[slot + field + i] = static_cast<char>(value >> (8 * i));
  }
  const uint64_t sum = XXH3_64bits_withSeed(bytes->data() + slot, 56, seed);
  for (int i = 0; i < 8; ++i) {
    (*bytes)[slot + 56 + i] = static_cast<char>(sum >> (8 * i));
  }
}

// Header slots damaged or crafted, against what a load and a salvaging
// load make of them. The file holds a whole save (slot 1, generation 1)
// and one change (slot 0, generation 2), loaded into a plex of 64 MiB.
TEST_F(PlexStandinTest, HeaderSlotsAreCheckedAgainstTheFileAndThePlex) {
  const int large = Alloc(kLargeWords);
  Stamp(large, kLargeWords, 1);
  const int small = Alloc(300);
  Stamp(small, 300, 2);
  const std::string path = TempPath("crafted_slots");
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  const auto old_plex = Snapshot();
  Words(small)[0] = 77;
  ASSERT_EQ(QssPlex_SaveChanges(path.c_str()), 0);
  const auto new_plex = Snapshot();
  const std::string image = ReadFile(path);
  constexpr size_t kNewest = 512, kOlder = 1024;
  constexpr size_t kIdLimit = 8, kCount = 12, kEnd = 40;
  ASSERT_EQ(LittleEndian(image, kNewest, 8), 2u);
  // Every live block takes 16 bytes or more, from byte 8 of the plex on.
  constexpr uint64_t kPlexBytes = 64 << 20;
  constexpr uint64_t kIdCapacity = (kPlexBytes - 8) / 16 + 1;
  const std::vector<Damage> sound;
  const std::vector<Damage> lost_one = {{1, QSS_PLEX_CHANGES_LOST}};
  using Plex = std::vector<std::vector<int32_t>>;
  const Plex unchanged = {};  // a load that fails leaves the plex as it was

  struct Case {
    const char* what;
    std::function<void(std::string*)> craft;
    int load;
    int salvage;
    std::vector<Damage> damage;
    const Plex* salvaged;
  } cases[] = {
      {"a byte of the newest slot flipped",
       [](std::string* b) { (*b)[kNewest + 20] ^= 0x01; },
       QSS_PLEX_NEWER_SAVE,
       QSS_PLEX_LOADED,
       {{0, QSS_PLEX_SLOT_DAMAGED}},
       &new_plex},
      {"the newest slot never written: a change that did not finish",
       [](std::string* b) { b->replace(kNewest, 64, 64, '\0'); },
       QSS_PLEX_LOADED, QSS_PLEX_LOADED, sound, &old_plex},
      {"a byte of the older slot flipped",
       [](std::string* b) { (*b)[kOlder + 20] ^= 0x01; }, QSS_PLEX_LOADED,
       QSS_PLEX_LOADED, sound, &new_plex},
      {"the newest image's end past the file",
       [](std::string* b) { Reslot(b, kNewest, 0, kEnd, 8, b->size() + 4096); },
       QSS_PLEX_DAMAGED, QSS_PLEX_LOADED, lost_one, &old_plex},
      {"an id limit past this plex",
       [&](std::string* b) {
         Reslot(b, kNewest, 0, kIdLimit, 4, kIdCapacity + 1);
       },
       QSS_PLEX_TOO_LARGE, QSS_PLEX_TOO_LARGE, sound, &unchanged},
      {"an id limit past any plex",
       [](std::string* b) {
         Reslot(b, kNewest, 0, kIdLimit, 4, (uint64_t{1} << 29) + 1);
       },
       QSS_PLEX_DAMAGED, QSS_PLEX_LOADED, lost_one, &old_plex},
      {"as many table entries as ids",
       [](std::string* b) {
         Reslot(b, kNewest, 0, kCount, 4, LittleEndian(*b, kNewest + 8, 4));
       },
       QSS_PLEX_DAMAGED, QSS_PLEX_LOADED, lost_one, &old_plex},
      {"a table longer than the file",
       [&](std::string* b) {
         Reslot(b, kNewest, 0, kIdLimit, 4, kIdCapacity);
         Reslot(b, kNewest, 0, kCount, 4, kIdCapacity - 1);
       },
       QSS_PLEX_DAMAGED, QSS_PLEX_LOADED, lost_one, &old_plex},
      {"a table of zeros the file holds, millions of entries long",
       [&](std::string* b) {
         const uint64_t count = kIdCapacity - 1;
         const uint64_t end = LittleEndian(*b, kNewest + 24, 8) + 24 * count;
         Reslot(b, kNewest, 0, kIdLimit, 4, kIdCapacity);
         Reslot(b, kNewest, 0, kCount, 4, count);
         Reslot(b, kNewest, 0, kEnd, 8, end);
         b->resize(end);
       },
       QSS_PLEX_DAMAGED, QSS_PLEX_LOADED, lost_one, &old_plex},
  };
  QssPlex_SetReservationBytes(kPlexBytes);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = image;
    c.craft(&bytes);
    WriteFile(path, bytes);
    QssPlex_Reset();
    const Plex fresh = Snapshot();
    EXPECT_EQ(QssPlex_Load(path.c_str()), c.load);
    EXPECT_EQ(Snapshot(), c.load == QSS_PLEX_LOADED ? *c.salvaged : fresh);
    std::vector<Damage> damage;
    QssPlex_Reset();
    EXPECT_EQ(QssPlex_LoadSalvage(path.c_str(), RecordDamage, &damage),
              c.salvage);
    EXPECT_EQ(damage, c.damage);
    EXPECT_EQ(Snapshot(), c.salvaged == &unchanged ? fresh : *c.salvaged);
  }
  std::remove(path.c_str());
}

// The generation grows by one with every change; one that would not fit
// in a slot makes the save whole, which starts again at 1.
TEST_F(PlexStandinTest, GenerationsRunningOutMakeTheSaveWhole) {
  const int large = Alloc(kLargeWords);
  Stamp(large, kLargeWords, 1);
  const int small = Alloc(300);
  const std::string path = TempPath("last_generation");
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  std::string image = ReadFile(path);
  Reslot(&image, 1024, 1, 0, 8, UINT64_MAX - 2);
  WriteFile(path, image);
  QssPlex_Reset();
  ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
  Words(small)[0] = 5;
  ASSERT_EQ(QssPlex_SaveChanges(path.c_str()), 0);
  EXPECT_EQ(LittleEndian(ReadFile(path), 512, 8), UINT64_MAX - 1);
  Words(small)[0] = 6;
  EXPECT_EQ(QssPlex_SaveChanges(path.c_str()), QSS_PLEX_SAVE_WHOLE);
  EXPECT_EQ(QssPlex_SaveChangesInPlace(path.c_str()), QSS_PLEX_SAVE_WHOLE);
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  EXPECT_EQ(LittleEndian(ReadFile(path), 1024, 8), 1u);
  const auto saved = Snapshot();
  QssPlex_Reset();
  ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
  EXPECT_EQ(Snapshot(), saved);
  std::remove(path.c_str());
}

// Where a whole save is due (a small image, more dead bytes than live),
// saving in place still adds only the change: all a full disk may allow.
TEST_F(PlexStandinTest, SavingInPlaceAddsOnlyTheChangeWhateverIsDue) {
  const int small = Alloc(300);
  Stamp(small, 300, 1);
  const std::string path = TempPath("in_place");
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  const size_t before = ReadFile(path).size();
  Words(small)[0] = 9;
  EXPECT_EQ(QssPlex_SaveChanges(path.c_str()), QSS_PLEX_SAVE_WHOLE);
  ASSERT_EQ(QssPlex_SaveChangesInPlace(path.c_str()), 0);
  EXPECT_LT(ReadFile(path).size(), before + 64 + 24 * 3 + 4 * 300 + 16);
  const auto saved = Snapshot();
  QssPlex_Reset();
  ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
  EXPECT_EQ(Snapshot(), saved);
  std::remove(path.c_str());
}

#ifndef _WIN32
// Whether the process maps the file at `path`.
bool ProcessMaps(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.size() >= path.size() &&
        line.compare(line.size() - path.size(), path.size(), path) == 0) {
      return true;
    }
  }
  return false;
}
#endif

// Mapped from the file or read, a loaded image is the same plex: its blocks
// read, change, grow, move and save alike, and a reset forgets the file.
TEST_F(PlexStandinTest, MappedImagesActLikeReadOnes) {
  const std::string path = TempPath("mapped");
  const int large = Alloc(kLargeWords), odd = Alloc(kLargeWords + 333);
  const int small = Alloc(100);
  Stamp(large, kLargeWords, 1);
  Stamp(odd, kLargeWords + 333, 2);  // ends inside a page
  Stamp(small, 100, 3);
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  const auto saved = Snapshot();
  QssPlex_SetMapImages(1);
  for (bool fresh : {false, true}) {
    SCOPED_TRACE(fresh ? "fresh plex" : "plex in use");
    QssPlex_Reset();
    if (!fresh) Stamp(Alloc(5000), 5000, 4);
    ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
    EXPECT_EQ(Snapshot(), saved);
#ifndef _WIN32
    EXPECT_TRUE(ProcessMaps(path));
#endif
  }

  Words(large)[5] = -5;
  Realloc(odd, kLargeWords + 5000);  // in place, into its slack
  EXPECT_TRUE(AllZero(odd, kLargeWords + 333, kLargeWords + 5000));
  Realloc(large, 3 * kLargeWords);  // moved: `odd` follows it
  EXPECT_TRUE(AllZero(large, kLargeWords, 3 * kLargeWords));
  EXPECT_EQ(Words(large)[5], -5);
  Free(small);
  const int reused = Alloc(100);
  EXPECT_TRUE(AllZero(reused, 0, 100));
  const auto changed = Snapshot();
  ASSERT_EQ(QssPlex_SaveChanges(path.c_str()), 0);
  QssPlex_Reset();
  ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
  EXPECT_EQ(Snapshot(), changed);

  // A whole save over the file the plex maps leaves the plex as it was.
  Words(odd)[0] = 9;
  const auto now = Snapshot();
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  EXPECT_EQ(Snapshot(), now);
#ifndef _WIN32
  EXPECT_FALSE(ProcessMaps(path));
#endif
  QssPlex_Reset();
  EXPECT_TRUE(AllZero(Alloc(4 * kLargeWords), 0, 4 * kLargeWords));
  QssPlex_Reset();
  ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
  EXPECT_EQ(Snapshot(), now);

  // Damage in a block to be mapped is found before anything changes.
  const std::string bad_path = TempPath("mapped_bad");
  std::string bad = ReadFile(path);
  bad[Table(bad)[3][2] + 4 * 1000] ^= 0x08;  // in `odd`
  WriteFile(bad_path, bad);
  EXPECT_EQ(QssPlex_Load(bad_path.c_str()), QSS_PLEX_DAMAGED);
  EXPECT_EQ(Snapshot(), now);
  QssPlex_Reset();
  const auto fresh = Snapshot();
  EXPECT_EQ(QssPlex_Load(bad_path.c_str()), QSS_PLEX_DAMAGED);
  EXPECT_EQ(Snapshot(), fresh);

  // Salvaged, the damaged block is as the file has it, the sound one mapped.
  std::vector<Damage> damage;
  ASSERT_EQ(QssPlex_LoadSalvage(bad_path.c_str(), RecordDamage, &damage),
            QSS_PLEX_LOADED);
  EXPECT_EQ(damage, (std::vector<Damage>{{odd, QSS_PLEX_BLOCK_CHECKSUM}}));
  auto damaged = now;
  damaged[3][1 + 1000] ^= 0x08;
  EXPECT_EQ(Snapshot(), damaged);
#ifndef _WIN32
  EXPECT_TRUE(ProcessMaps(bad_path));
#endif
  std::remove(bad_path.c_str());
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
