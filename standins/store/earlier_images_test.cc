// Files whose newest image is cut off or whose header is damaged.
#include "standins/store/plex_store_test.h"

namespace {

using namespace qss::standins::plex_test;  // NOLINT: the fixture and helpers

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

}  // namespace
