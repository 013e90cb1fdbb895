// Loading images: round trips, refusals and what a load answers, earlier
// formats, salvage, progress.
#include "standins/store/plex_store_test.h"

namespace {

using namespace qss::standins::plex_test;  // NOLINT: the fixture and helpers

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


}  // namespace
