// Images mapped into the plex from their files, and memory held while
// images move.
#include "standins/store/plex_store_test.h"

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
