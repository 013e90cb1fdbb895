// Saving changes in place, and saves cut short.
#include "standins/store/plex_store_test.h"

namespace {

using namespace qss::standins::plex_test;  // NOLINT: the fixture and helpers

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


}  // namespace
