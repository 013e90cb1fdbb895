// The image fuzz targets' oracles over every input kept for them, and the
// two things the targets rely on: resealing mutated images, and poisoning
// the plex outside its live blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/image_fuzz.h"
#include "standins/plex_controls.h"

namespace qss_fuzz {
namespace {

std::vector<uint8_t> ReadInput(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
}

std::vector<uint8_t> Seed(const char* name) {
  return ReadInput(std::filesystem::path(QSS_FUZZ_DIR) / "corpus" / "image" /
                   name);
}

// Runs `check` over every file of the seeds and of the target's
// regressions; answers how many ran.
int RunInputs(const char* regressions,
              std::string (*check)(const uint8_t*, size_t)) {
  const std::filesystem::path fuzz(QSS_FUZZ_DIR);
  int inputs = 0;
  for (const auto& folder :
       {fuzz / "corpus" / "image", fuzz / "regressions" / regressions}) {
    if (!std::filesystem::is_directory(folder)) continue;
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
      if (!item.is_regular_file()) continue;
      const std::vector<uint8_t> bytes = ReadInput(item.path());
      EXPECT_EQ("", check(bytes.data(), bytes.size()))
          << folder.filename().string() << "/"
          << item.path().filename().string();
      ++inputs;
    }
  }
  return inputs;
}

TEST(ImageFuzzInputs, LoadAsTheyDid) {
  EXPECT_GT(RunInputs("image_load", CheckPlainLoad), 0);
}

TEST(ImageFuzzInputs, RecoverAsTheyDid) {
  EXPECT_GT(RunInputs("image_salvage", CheckSalvage), 0);
}

std::string BlocksText() {
  std::string text;
  for (const PlexBlock& block : Snapshot()) {
    text += std::to_string(block.id) + ":";
    for (int32_t word : block.words) text += std::to_string(word) + " ";
  }
  return text;
}

// The input prepared and written; its path.
std::string Written(std::vector<uint8_t> input, uint8_t control) {
  input.back() = control;
  const FuzzInput prepared = Prepare(input.data(), input.size());
  const std::string path = ScratchPath("test");
  QssPlex_Reset();  // the plex may map the file
  EXPECT_TRUE(WriteFile(path, prepared.image));
  return path;
}

// A loaded image as a string of its blocks, or the load's answer.
std::string Loaded(const std::vector<uint8_t>& input, uint8_t control) {
  const std::string path = Written(input, control);
  FreshPlex(0);
  const int loaded = QssPlex_Load(path.c_str());
  return loaded == QSS_PLEX_LOADED ? BlocksText()
                                   : "answer " + std::to_string(loaded);
}

// A byte of the last block changed: resealed, the image loads with it;
// with one of the checksums over it kept, the image is damaged.
TEST(ImageFuzzReseal, LetsAChangedBlockLoadUnlessAChecksumIsKept) {
  const struct {
    const char* seed;
    size_t from_end;  // the changed byte, counted back from the control byte
    uint8_t keep;
  } cases[] = {
      {"small", 1, kKeepBlocks},      {"small", 1, kKeepTables},
      {"small", 1, kKeepHeaders},     {"v2_blocks", 1, kKeepBlocks},
      {"v2_blocks", 1, kKeepTables},  {"v2_blocks", 1, kKeepHeaders},
      {"v1_blocks", 9, kKeepHeaders},
  };
  const std::string damaged = "answer " + std::to_string(QSS_PLEX_DAMAGED);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.seed) + " keeping " + std::to_string(c.keep));
    std::vector<uint8_t> seed = Seed(c.seed);
    ASSERT_GT(seed.size(), c.from_end + 1);
    const std::string sound = Loaded(seed, 0);
    ASSERT_NE(sound.rfind("answer", 0), 0u) << sound;
    EXPECT_EQ(sound, Loaded(seed, c.keep)) << "resealing a sound image";
    seed[seed.size() - 1 - c.from_end] ^= 0x5A;
    const std::string changed = Loaded(seed, 0);
    EXPECT_NE(changed.rfind("answer", 0), 0u) << changed;
    EXPECT_NE(sound, changed);
    EXPECT_EQ(damaged, Loaded(seed, c.keep));
  }
}

// Neither header slot sound: a salvaging load follows the heads of the
// changes, the newest of which has its checksum broken; resealed, the load
// reaches the newest image.
TEST(ImageFuzzReseal, MendsTheHeadsOfChanges) {
  std::vector<uint8_t> seed = Seed("changed");
  ASSERT_GT(seed.size(), 1600u);
  const std::string newest = Loaded(seed, 0);
  // The newest head lies just before the table the newer slot names.
  uint64_t head = 0;
  for (size_t slot : {size_t{512}, size_t{1024}}) {
    uint64_t table = 0;
    for (int i = 0; i < 8; ++i) table |= uint64_t{seed[slot + 24 + i]} << (8 * i);
    head = std::max<uint64_t>(head, table - 64);
  }
  ASSERT_LT(head + 64, seed.size());
  for (size_t at = 512; at < 1024 + 64; ++at) seed[at] = 0;
  seed[head + 60] ^= 0xFF;
  for (const uint8_t keep : {uint8_t{0}, uint8_t{kKeepHeads}}) {
    SCOPED_TRACE("keeping " + std::to_string(keep));
    const std::string path = Written(seed, kKeepHeaders | keep);
    FreshPlex(0);
    DamageLog damage;
    ASSERT_EQ(QSS_PLEX_LOADED, LoadSalvage(path, &damage));
    EXPECT_TRUE(damage.header_damaged);
    EXPECT_EQ(keep == 0, newest == BlocksText());
  }
}

TEST(ImageFuzzPoison, CatchesAReadPastABlocksEnd) {
  if (!HasAddressSanitizer()) GTEST_SKIP() << "needs AddressSanitizer";
  EXPECT_TRUE(PoisonWorks());
  EXPECT_DEATH(ReadPastBlockEnd(), "use-after-poison");
}

}  // namespace
}  // namespace qss_fuzz
