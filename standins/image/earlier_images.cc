// The images a current-format file holds besides its newest: the one the
// other header slot names, and those its last whole save and the changes'
// heads lead to (docs/image-format.md, "Reading").
#include <algorithm>
#include <cstring>
#include <deque>

#include "standins/image/file_io.h"
#include "standins/image/reader.h"

namespace qss::standins {

std::vector<Slot> ImageReader::EarlierImages(const unsigned char* header,
                                             uint64_t newest) {
  // Of the images the heads lead to only the newest few are kept: the
  // file's end cuts off one or two at most, and a crafted file may hold
  // one head in every 64 bytes.
  constexpr size_t kKept = 8;
  std::deque<Slot> chain;
  std::vector<Slot> found;
  for (int k = 0; k < 2; ++k) {
    Slot slot;
    if (ParseSlot(header + kSlotOffsets[k], k, &slot) &&
        slot.generation < newest) {
      found.push_back(slot);
    }
  }
  Slot image;
  if (ParseSlot(header + kBaseSlotOffset, kBaseSeed, &image)) {
    // Each change's head lies at the end of the image it changed, and each
    // step goes past a head and its table.
    for (;;) {
      if (image.generation >= newest) break;
      chain.push_back(image);
      if (chain.size() > kKept) chain.pop_front();
      const uint64_t at = AlignUp(image.end, 8);
      unsigned char bytes[kSlotBytes];
      Slot next;
      if (at > file_bytes_ || file_bytes_ - at < kSlotBytes ||
          !Seek(file_, at) ||
          std::fread(bytes, 1, kSlotBytes, file_) != kSlotBytes ||
          !ParseSlot(bytes, kHeadSeed, &next) ||
          next.generation != image.generation + 1 ||
          next.table_offset != at + kSlotBytes ||
          next.end < next.table_offset + kEntryBytes * next.count) {
        break;
      }
      image = next;
    }
  }
  found.insert(found.end(), chain.begin(), chain.end());
  std::sort(found.begin(), found.end(), [](const Slot& a, const Slot& b) {
    return a.generation > b.generation;
  });
  return found;
}

int ImageReader::NewerSaveBehindDamagedSlot(const unsigned char* header,
                                            const Slot& slot,
                                            ImageLayout* newer) {
  if (slot.generation >= kMaxGeneration) return QSS_PLEX_DAMAGED;
  // The next save writes this slot last: sound, it holds an older image
  // (that save never switched to its own), and all zero it was never
  // written; anything else is a slot written and damaged since.
  const int number = static_cast<int>((slot.generation + 1) % 2);
  const unsigned char* other = header + kSlotOffsets[number];
  Slot parsed;
  if (XXH3_64bits_withSeed(other, kSlotCheckedBytes, number) ==
          ReadUint(other + kSlotCheckedBytes, 8) ||
      std::all_of(other, other + kSlotBytes,
                  [](unsigned char byte) { return byte == 0; })) {
    return QSS_PLEX_DAMAGED;
  }
  const uint64_t at = AlignUp(slot.end, 8);
  unsigned char head[kSlotBytes];
  if (at > file_bytes_ || file_bytes_ - at < kSlotBytes || !Seek(file_, at) ||
      std::fread(head, 1, kSlotBytes, file_) != kSlotBytes ||
      !ParseSlot(head, kHeadSeed, &parsed) ||
      parsed.generation != slot.generation + 1 ||
      parsed.table_offset != at + kSlotBytes) {
    return std::ferror(file_) ? QSS_PLEX_UNREADABLE : QSS_PLEX_DAMAGED;
  }
  const int result = ReadTable(parsed, false, newer);
  if (result == QSS_PLEX_LOADED) {
    std::memcpy(newer->slot.data(), head, kSlotBytes);
  }
  return result;
}

}  // namespace qss::standins
