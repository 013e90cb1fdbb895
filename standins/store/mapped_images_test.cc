// Images mapped into the plex from their files, and memory held while
// images move.
#include "standins/store/plex_store_test.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using namespace qss::standins::plex_test;  // NOLINT: the fixture and helpers

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
#else
// Whether the page holding `at` has memory of its own yet.
bool Committed(const void* at) {
  MEMORY_BASIC_INFORMATION info;
  return VirtualQuery(at, &info, sizeof(info)) != 0 && info.State == MEM_COMMIT;
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
#ifdef _WIN32
    EXPECT_FALSE(Committed(Words(large) + kLargeWords / 2));
#endif
    EXPECT_EQ(Snapshot(), saved);
#ifdef _WIN32
    EXPECT_TRUE(Committed(Words(large) + kLargeWords / 2));
#else
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

  // Damage in a block to be mapped into a plex in use is found before
  // anything changes; a fresh plex leaves it to the block's first reader.
  const std::string bad_path = TempPath("mapped_bad");
  std::string bad = ReadFile(path);
  bad[Table(bad)[3][2] + 4 * 1000] ^= 0x08;  // in `odd`
  WriteFile(bad_path, bad);
  EXPECT_EQ(QssPlex_Load(bad_path.c_str()), QSS_PLEX_DAMAGED);
  EXPECT_EQ(Snapshot(), now);
  QssPlex_Reset();
  EXPECT_EQ(QssPlex_Load(bad_path.c_str()), QSS_PLEX_LOADED);
  EXPECT_EQ(QssPlex_VerifyBlock(odd), QSS_PLEX_DAMAGED);
  EXPECT_EQ(QssPlex_VerifyBlock(large), QSS_PLEX_LOADED);

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

// A plain load into a fresh plex verifies the table and the blocks it reads,
// and leaves the mapped ones to their first reader. Each change after it
// appends what changed and switches the header slot, nothing else; a block
// damaged in the file stays damaged, whatever changes beside it or in it.
TEST_F(PlexStandinTest, LazilyVerifiedImagesSaveOnlyWhatChanged) {
  struct Case {
    const char* what;
    std::function<void(int sound, int bad, int small)> change;
    // Bytes the change may add besides a head and a table.
    uint64_t block_bytes;
  };
  const Case cases[] = {
      {"nothing", [](int, int, int) {}, 0},
      {"a small block's word", [](int, int, int s) { Words(s)[7] = -1; },
       4 * 100},
      {"a small block freed", [](int, int, int s) { Free(s); }, 0},
      {"a sound large block's word", [](int a, int, int) { Words(a)[9] = 9; },
       4 * kLargeWords + 4096},
      {"the damaged block's word", [](int, int b, int) { Words(b)[3] = 3; },
       4 * kLargeWords + 4096},
      {"the damaged block grown",
       [](int, int b, int) { Realloc(b, kLargeWords + 10); },
       4 * (kLargeWords + 10) + 4096},
  };
  const std::string path = TempPath("lazy");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RestoreDefaults();
    const int sound = Alloc(kLargeWords), bad = Alloc(kLargeWords);
    const int small = Alloc(100);
    Stamp(sound, kLargeWords, 1);
    Stamp(bad, kLargeWords, 2);
    Stamp(small, 100, 3);
    ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
    std::string image = ReadFile(path);
    image[Table(image)[3][2] + 4 * 1000] ^= 0x08;  // in `bad`
    WriteFile(path, image);

    QssPlex_SetMapImages(1);
    QssPlex_Reset();
    ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
    c.change(sound, bad, small);
    const auto expected = Snapshot();
    ASSERT_EQ(QssPlex_SaveChanges(path.c_str()), 0);
    const std::string after = ReadFile(path);
    ASSERT_GE(after.size(), image.size());
    EXPECT_LE(after.size() - image.size(),
              8 + 64 + 24 * Table(after).size() + c.block_bytes);
    // Generation 2 goes to slot 0; every other byte before the old end is
    // as it was.
    std::string unchanged = after.substr(0, image.size());
    std::copy(image.begin() + 512, image.begin() + 576,
              unchanged.begin() + 512);
    EXPECT_TRUE(unchanged == image);

    QssPlex_Reset();
    ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
    EXPECT_EQ(Snapshot(), expected);
    EXPECT_EQ(QssPlex_VerifyBlock(sound), QSS_PLEX_LOADED);
    EXPECT_EQ(QssPlex_VerifyBlock(bad), QSS_PLEX_DAMAGED);
    EXPECT_EQ(QssPlex_VerifyBlock(bad), QSS_PLEX_DAMAGED);  // and again
    std::vector<Damage> damage;
    ASSERT_EQ(QssPlex_LoadSalvage(path.c_str(), RecordDamage, &damage),
              QSS_PLEX_LOADED);
    EXPECT_EQ(damage, (std::vector<Damage>{{bad, QSS_PLEX_BLOCK_CHECKSUM}}));
  }
  std::remove(path.c_str());
}

// What QssPlex_VerifyBlock answers after a lazy load, and what a whole save
// of such a plex keeps; images of the earlier formats load as before.
TEST_F(PlexStandinTest, VerifyingBlocksOfALazyLoad) {
  const int sound = Alloc(kLargeWords), bad = Alloc(kLargeWords);
  const int small = Alloc(100);
  Stamp(sound, kLargeWords, 1);
  Stamp(bad, kLargeWords, 2);
  const std::string path = TempPath("lazy_verify");
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  std::string image = ReadFile(path);
  image[Table(image)[3][2] + 4 * kLargeWords - 1] ^= 0x40;  // last byte
  WriteFile(path, image);
  QssPlex_SetMapImages(1);
  QssPlex_Reset();
  ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
  const struct {
    int block;
    int expected;
  } answers[] = {
      {bad, QSS_PLEX_DAMAGED},    {sound, QSS_PLEX_LOADED},
      {small, QSS_PLEX_LOADED},   {1, QSS_PLEX_LOADED},
      {0, QSS_PLEX_LOADED},       {-3, QSS_PLEX_LOADED},
      {1 << 30, QSS_PLEX_LOADED},
  };
  for (const auto& a : answers) {
    EXPECT_EQ(QssPlex_VerifyBlock(a.block), a.expected) << a.block;
  }
  // A whole save keeps the damaged block damaged, also to another file.
  const std::string copy = TempPath("lazy_copy");
  ASSERT_EQ(QssPlex_Save(copy.c_str()), 0);
  std::vector<Damage> damage;
  ASSERT_EQ(QssPlex_LoadSalvage(copy.c_str(), RecordDamage, &damage),
            QSS_PLEX_LOADED);
  EXPECT_EQ(damage, (std::vector<Damage>{{bad, QSS_PLEX_BLOCK_CHECKSUM}}));
  // So does one never verified, found as the save reads it.
  QssPlex_Reset();
  ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
  ASSERT_EQ(QssPlex_Save(copy.c_str()), 0);
  damage.clear();
  ASSERT_EQ(QssPlex_LoadSalvage(copy.c_str(), RecordDamage, &damage),
            QSS_PLEX_LOADED);
  EXPECT_EQ(damage, (std::vector<Damage>{{bad, QSS_PLEX_BLOCK_CHECKSUM}}));
  // After a whole save the image file is free to be replaced, and the plex
  // holds its words: also when the one block left to verify was freed.
  for (bool free_it : {false, true}) {
    SCOPED_TRACE(free_it ? "unverified block freed" : "nothing freed");
    QssPlex_SetMapImages(0);
    QssPlex_Reset();
    damage.clear();
    ASSERT_EQ(QssPlex_LoadSalvage(path.c_str(), RecordDamage, &damage),
              QSS_PLEX_LOADED);
    if (free_it) Free(sound);
    const auto expected = Snapshot();
    QssPlex_SetMapImages(1);
    QssPlex_Reset();
    ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
    ASSERT_EQ(QssPlex_VerifyBlock(bad), QSS_PLEX_DAMAGED);
    if (free_it) Free(sound);
    ASSERT_EQ(QssPlex_Save(copy.c_str()), 0);
    EXPECT_EQ(std::remove(path.c_str()), 0);
    EXPECT_EQ(std::rename(copy.c_str(), path.c_str()), 0);
    EXPECT_EQ(Snapshot(), expected);
    if (free_it) break;
    WriteFile(path, image);  // as it was, the damage included
  }

  for (const char* earlier : {"v1_blocks.img", "v2_blocks.img"}) {
    SCOPED_TRACE(earlier);
    QssPlex_SetMapImages(0);
    QssPlex_Reset();
    ASSERT_EQ(QssPlex_Load(TestData(earlier).c_str()), QSS_PLEX_LOADED);
    const auto read = Snapshot();
    QssPlex_SetMapImages(1);
    QssPlex_Reset();
    ASSERT_EQ(QssPlex_Load(TestData(earlier).c_str()), QSS_PLEX_LOADED);
    EXPECT_EQ(Snapshot(), read);
  }
  std::remove(copy.c_str());
  std::remove(path.c_str());
}

// Words read or written anywhere in a large block, in its last piece too,
// are the file's until written and are saved once written; a block read in
// part is verified whole.
TEST_F(PlexStandinTest, LazyBlocksKeepEveryWrite) {
  const int words = 2 * kLargeWords + kLargeWords / 2 + 7;  // pieces and a bit
  const int a = Alloc(words), b = Alloc(words);
  Stamp(a, words, 1);
  Stamp(b, words, 2);
  const std::string path = TempPath("lazy_writes");
  ASSERT_EQ(QssPlex_Save(path.c_str()), 0);
  QssPlex_SetMapImages(1);
  QssPlex_Reset();
  ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
  EXPECT_EQ(Words(b)[kLargeWords + 5], 2 * 100003 + kLargeWords + 5);
  EXPECT_EQ(QssPlex_VerifyBlock(b), QSS_PLEX_LOADED);  // read in part first
  Words(a)[2 * kLargeWords + 100] = -1;                // a later piece, unread
  Words(a)[words - 1] = -2;                            // the last word
  EXPECT_EQ(QssPlex_VerifyBlock(a), QSS_PLEX_LOADED);  // by the file's bytes
  const auto expected = Snapshot();
  ASSERT_EQ(QssPlex_SaveChanges(path.c_str()), 0);
  QssPlex_Reset();
  ASSERT_EQ(QssPlex_Load(path.c_str()), QSS_PLEX_LOADED);
  EXPECT_EQ(Snapshot(), expected);
  EXPECT_EQ(QssPlex_VerifyBlock(a), QSS_PLEX_LOADED);
  std::remove(path.c_str());
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

}  // namespace
