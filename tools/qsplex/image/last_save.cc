#include "tools/qsplex/image/last_save.h"

#include <cstdio>
#include <cstring>

#include "standins/image/format.h"
#include "tools/qsplex/os/files.h"

#define XXH_INLINE_ALL
#include "xxhash.h"

namespace qsplex {
namespace {

namespace format = qss::standins;

constexpr size_t kVersionAt = 8;

uint64_t GetLittleEndian(const unsigned char* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

uint64_t Get64(const unsigned char* p) { return GetLittleEndian(p, 8); }

// The generation of the slot at `offset` of the header page, or 0 when its
// checksum (seeded with `seed`) does not hold.
uint64_t SoundGeneration(const unsigned char* page, uint64_t offset,
                         int seed) {
  const unsigned char* slot = page + offset;
  const uint64_t checksum = XXH3_64bits_withSeed(
      slot, format::kSlotCheckedBytes, static_cast<XXH64_hash_t>(seed));
  return checksum == Get64(slot + format::kSlotCheckedBytes) ? Get64(slot) : 0;
}

}  // namespace

bool ReadLastSave(const std::string& path, LastSave* out) {
  *out = LastSave();
  unsigned char page[format::kBaseSlotOffset + format::kSlotBytes] = {};
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) return false;
  const size_t got = std::fread(page, 1, sizeof page, file);
  std::fclose(file);
  if (got < kVersionAt + 4 ||
      std::memcmp(page, format::kMagic, sizeof format::kMagic) != 0) {
    return false;
  }
  out->version = static_cast<uint32_t>(GetLittleEndian(page + kVersionAt, 4));
  if (out->version != format::kCurrentFormat || got < sizeof page) return true;
  for (int slot = 0; slot < 2; ++slot) {
    const uint64_t generation =
        SoundGeneration(page, format::kSlotOffsets[slot], slot);
    if (generation > out->generation) out->generation = generation;
  }
  out->whole_generation =
      SoundGeneration(page, format::kBaseSlotOffset, format::kBaseSeed);
  return true;
}

std::string DescribeLastSave(const LastSave& save) {
  if (save.version != format::kCurrentFormat) {
    return "whole (format " + std::to_string(save.version) +
           " has no saves in place)";
  }
  if (save.generation == 0) return "unknown (no header slot holds)";
  const std::string generation =
      "generation " + std::to_string(save.generation);
  if (save.whole()) return "whole (" + generation + ")";
  if (save.whole_generation == 0 || save.whole_generation > save.generation) {
    return "changes in place (" + generation + ")";
  }
  const uint64_t since = save.generation - save.whole_generation;
  return "changes in place (" + generation + ", " + std::to_string(since) +
         (since == 1 ? " save" : " saves") + " after the last whole one)";
}

}  // namespace qsplex
