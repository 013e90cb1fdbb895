// The plex stand-in's test fixture, and what its image tests share: offsets
// into an image saved whole, its block table, damage reports.
#ifndef QSSTORAGE_STANDINS_STORE_PLEX_STORE_TEST_H_
#define QSSTORAGE_STANDINS_STORE_PLEX_STORE_TEST_H_

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

namespace qss::standins::plex_test {

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


// Offsets into a current-format image saved whole: the version, header
// slot 1 (which a whole save fills) and its fields, the block table.
constexpr size_t kVersionByte = 8, kSlotByte = 1024, kIdLimitByte = 1032,
                 kWordsByte = 1040, kTableOffsetByte = 1048, kEndByte = 1064,
                 kSlotChecksumByte = 1080, kTableStart = 4096;

inline uint64_t LittleEndian(const std::string& bytes, size_t at, int size) {
  uint64_t value = 0;
  for (int i = 0; i < size; ++i) {
    value |= uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
  }
  return value;
}

// The block table of the image a current-format file holds, by the slot
// with the higher generation: per block its id, word count and offset.
inline std::vector<std::array<uint64_t, 3>> Table(const std::string& image) {
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


struct Damage {
  int id, kind;
  bool operator==(const Damage& o) const {
    return id == o.id && kind == o.kind;
  }
};

inline void QSS_HOST_CALL RecordDamage(int id, int kind, void* context) {
  static_cast<std::vector<Damage>*>(context)->push_back({id, kind});
}

// A block large enough to start on a page of its own in images: 1 MiB.
constexpr int kLargeWords = 256 * 1024;

// Rewrites the field `size` bytes long at `field` bytes into the header
// slot at `slot` with `value`, and the slot's checksum so that it holds:
// what a crafted file may claim.
inline void Reslot(std::string* bytes, size_t slot, int seed, size_t field,
                   int size, uint64_t value) {
  for (int i = 0; i < size; ++i) {
    (*bytes)[slot + field + i] = static_cast<char>(value >> (8 * i));
  }
  const uint64_t sum = XXH3_64bits_withSeed(bytes->data() + slot, 56, seed);
  for (int i = 0; i < 8; ++i) {
    (*bytes)[slot + 56 + i] = static_cast<char>(sum >> (8 * i));
  }
}

}  // namespace qss::standins::plex_test

#endif  // QSSTORAGE_STANDINS_STORE_PLEX_STORE_TEST_H_
