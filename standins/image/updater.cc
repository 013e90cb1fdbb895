// Adds a change to an image in place: docs/image-format.md, "A change
// added in place".
#include <cerrno>
#include <cstring>

#include "standins/image/file_io.h"

namespace qss::standins {
namespace {

// Whether `file` holds `base` still: the same slot in use, and all of it.
bool HoldsImage(std::FILE* file, const ImageLayout& base) {
  unsigned char header[kHeaderReadBytes];
  Slot active;
  const int in_use =
      std::fread(header, 1, sizeof(header), file) == sizeof(header) &&
              IsCurrentHeader(header)
          ? ActiveSlot(header, &active)
          : -1;
  const int64_t length = FileLength(file);
  return in_use >= 0 && active.generation == base.generation &&
         std::memcmp(header + kSlotOffsets[in_use], base.slot.data(),
                     kSlotBytes) == 0 &&
         length >= 0 && static_cast<uint64_t>(length) >= base.end;
}

// The image of `blocks` that follows `base`, laid out: a block keeps its
// place when `base` has it with the same size and checksum; the rest,
// listed in `*added`, go after the image's end, in id order. Counts the
// kept blocks' bytes as done.
ImageLayout PlanChange(uint32_t id_limit, const std::vector<SavedBlock>& blocks,
                       const ImageLayout& base, ProgressCounter* counter,
                       std::vector<size_t>* added, Slot* slot) {
  ImageLayout image;
  image.version = kCurrentFormat;
  image.id_limit = id_limit;
  image.generation = base.generation + 1;
  size_t k = 0;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const SavedBlock& block = blocks[i];
    image.blocks.push_back({block.id, block.words, 0, 0});
    image.words += block.words;
    while (k < base.blocks.size() && base.blocks[k].id < block.id) ++k;
    // Words known to be the image's are not summed again: a block never
    // verified keeps its entry as it is, sound or damaged.
    if (k < base.blocks.size() && base.blocks[k].id == block.id &&
        base.blocks[k].words == block.words &&
        block.known != kDamagedBytes &&
        base.blocks[k].checksum == (block.known == kImageBytes
                                        ? block.checksum
                                        : BlockChecksum(block))) {
      image.blocks.back() = base.blocks[k];
      counter->Advance(uint64_t{block.words} * 4);
    } else {
      added->push_back(i);
    }
  }
  uint64_t at = AlignUp(base.end, 8) + kSlotBytes;
  PlaceTable(&at, image, slot);
  for (size_t i : *added) image.blocks[i].offset = Place(&at, blocks[i].words);
  image.end = image.file_bytes = slot->end = at;
  return image;
}

}  // namespace

int UpdateImage(const char* path, uint32_t id_limit,
                const std::vector<SavedBlock>& blocks, const ImageLayout& base,
                const ProgressSink& progress, bool sync, ImageLayout* written,
                bool whole_when_due) {
  if (base.generation == 0 || base.generation >= kMaxGeneration ||
      path == nullptr) {
    return QSS_PLEX_SAVE_WHOLE;
  }
  std::FILE* file = std::fopen(path, "r+b");
  if (file == nullptr) return errno == ENOENT ? QSS_PLEX_SAVE_WHOLE : 1;
  if (!HoldsImage(file, base)) {
    std::fclose(file);
    return QSS_PLEX_SAVE_WHOLE;
  }
  uint64_t live_bytes = kDataStart + kEntryBytes * blocks.size();
  for (const SavedBlock& block : blocks) {
    live_bytes += uint64_t{block.words} * 4;
  }
  ProgressCounter counter(progress, live_bytes);
  std::vector<size_t> added;
  Slot slot;
  ImageLayout image =
      PlanChange(id_limit, blocks, base, &counter, &added, &slot);
  if (whole_when_due &&
      (image.end > 2 * live_bytes || live_bytes < kSmallImageBytes)) {
    std::fclose(file);
    return QSS_PLEX_SAVE_WHOLE;
  }
  const uint64_t head_offset = AlignUp(base.end, 8);

  Output out(file, &counter, sync);
  bool ok = Truncate(file, base.end);
  for (size_t i : added) {
    ok = ok && out.PutBlock(blocks[i], image.blocks[i].offset,
                            &image.blocks[i].checksum);
  }
  unsigned char head[kSlotBytes];
  ok = ok && out.PutTable(image.blocks, &slot);
  FormatSlot(slot, kHeadSeed, head);
  ok = ok && out.At(head_offset) && out.Put(head, kSlotBytes) &&
       std::fflush(file) == 0 && (!sync || SyncToDevice(file));
  if (!ok) {
    // The old slot is still the image: what was added is cut off again.
    const int error = errno;
    Truncate(file, base.end);
    std::fclose(file);
    errno = error;
    return 1;
  }
  const int number = static_cast<int>(image.generation % 2);
  FormatSlot(slot, number, image.slot.data());
  if (!out.At(kSlotOffsets[number])) {
    const int error = errno;  // the old slot is still the image
    std::fclose(file);
    errno = error;
    return 1;
  }
  // From here a failure leaves the slot's bytes wherever they got to: the
  // system may have written them, or may write them later, or never.
  ok = out.Put(image.slot.data(), kSlotBytes) && std::fflush(file) == 0 &&
       (!sync || SyncToDevice(file));
  counter.Reach(live_bytes);
  int error = errno;
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    errno = error;
    return QSS_PLEX_SAVE_UNSURE;
  }
  *written = std::move(image);
  return 0;
}

}  // namespace qss::standins
