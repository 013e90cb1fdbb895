// The format's codec: integers, slots and the places of tables and blocks.
// docs/image-format.md gives every field.
#include "standins/image/codec.h"

#include <algorithm>
#include <cstring>

#define XXH_INLINE_ALL
#include "xxhash.h"

namespace qss::standins {

uint64_t ReadUint(const unsigned char* data, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= uint64_t{data[i]} << (8 * i);
  return value;
}

void PutUint(uint64_t value, int bytes, unsigned char* out) {
  for (int i = 0; i < bytes; ++i) out[i] = (value >> (8 * i)) & 0xFF;
}

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

uint64_t Fnv1a(uint64_t hash, const unsigned char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * kFnvPrime;
  return hash;
}

uint64_t BlockChecksum(const SavedBlock& block) {
  return XXH3_64bits(block.data, uint64_t{block.words} * 4);
}

void FormatSlot(const Slot& slot, int number, unsigned char* out) {
  std::memset(out, 0, kSlotBytes);
  PutUint(slot.generation, 8, out);
  PutUint(slot.id_limit, 4, out + 8);
  PutUint(slot.count, 4, out + 12);
  PutUint(slot.words, 8, out + 16);
  PutUint(slot.table_offset, 8, out + 24);
  PutUint(slot.table_checksum, 8, out + 32);
  PutUint(slot.end, 8, out + 40);
  PutUint(XXH3_64bits_withSeed(out, kSlotCheckedBytes, number), 8,
          out + kSlotCheckedBytes);
}

bool ParseSlot(const unsigned char* in, int number, Slot* slot) {
  if (XXH3_64bits_withSeed(in, kSlotCheckedBytes, number) !=
          ReadUint(in + kSlotCheckedBytes, 8) ||
      ReadUint(in + 48, 8) != 0) {
    return false;
  }
  slot->generation = ReadUint(in, 8);
  slot->id_limit = static_cast<uint32_t>(ReadUint(in + 8, 4));
  slot->count = static_cast<uint32_t>(ReadUint(in + 12, 4));
  slot->words = ReadUint(in + 16, 8);
  slot->table_offset = ReadUint(in + 24, 8);
  slot->table_checksum = ReadUint(in + 32, 8);
  slot->end = ReadUint(in + 40, 8);
  return slot->generation != 0;
}

int ActiveSlot(const unsigned char* header, Slot* active) {
  int number = -1;
  for (int k = 0; k < 2; ++k) {
    Slot slot;
    if (ParseSlot(header + kSlotOffsets[k], k, &slot) &&
        (number < 0 || slot.generation > active->generation)) {
      *active = slot;
      number = k;
    }
  }
  return number;
}

bool IsCurrentHeader(const unsigned char* header) {
  return std::memcmp(header, kMagic, sizeof(kMagic)) == 0 &&
         ReadUint(header + 8, 4) == kCurrentFormat &&
         ReadUint(header + 12, 4) == 0;
}

uint64_t Place(uint64_t* at, uint32_t words) {
  if (IsLargeBlock(words)) *at = AlignUp(*at, kImageAlignment);
  const uint64_t offset = *at;
  *at += uint64_t{words} * 4;
  return offset;
}

void PlaceTable(uint64_t* at, const ImageLayout& image, Slot* slot) {
  slot->table_offset = AlignUp(*at, 8);
  *at = slot->table_offset + kEntryBytes * image.blocks.size();
  slot->generation = image.generation;
  slot->id_limit = image.id_limit;
  slot->count = static_cast<uint32_t>(image.blocks.size());
  slot->words = image.words;
}

void ProgressCounter::Reach(uint64_t done) {
  if (done <= done_) return;
  done_ = done;
  if (sink_.callback == nullptr) return;
  if (done_ - reported_ >= kPieceBytes || done_ >= total_) {
    reported_ = done_;
    sink_.callback(done_, std::max(done_, total_), sink_.context);
  }
}

}  // namespace qss::standins
