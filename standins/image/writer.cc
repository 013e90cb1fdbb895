// Writes an image whole, to a new file: docs/image-format.md, "A whole
// image".
#include <cerrno>
#include <cstring>
#include <new>

#include "standins/image/file_io.h"

namespace qss::standins {

namespace {

// Writes the blocks, the table and last the header page into `file`,
// opened for `image`; false with errno set when a write fails.
bool WriteBlocksAndHeader(std::FILE* file,
                          const std::vector<SavedBlock>& blocks,
                          ImageLayout* image, Slot* slot,
                          const ProgressSink& progress, bool sync) {
  ProgressCounter counter(progress, image->end);
  Output out(file, &counter, sync);
  bool ok = true;
  for (size_t i = 0; ok && i < blocks.size(); ++i) {
    ok = out.PutBlock(blocks[i], image->blocks[i].offset,
                      &image->blocks[i].checksum);
  }
  ok = ok && out.PutTable(image->blocks, slot);
  const int number = static_cast<int>(image->generation % 2);
  std::vector<unsigned char> page(kDataStart);
  std::memcpy(page.data(), kMagic, sizeof(kMagic));
  PutUint(kCurrentFormat, 4, page.data() + 8);
  FormatSlot(*slot, number, page.data() + kSlotOffsets[number]);
  FormatSlot(*slot, kBaseSeed, page.data() + kBaseSlotOffset);
  std::memcpy(image->slot.data(), page.data() + kSlotOffsets[number],
              kSlotBytes);
  ok = ok && out.At(0) && out.Put(page.data(), page.size()) &&
       std::fflush(file) == 0 && (!sync || SyncToDevice(file));
  counter.Reach(image->end);
  return ok;
}

}  // namespace

// The header page goes last, so that a file cut short has no valid slot.
int WriteImage(const char* path, uint32_t id_limit,
               const std::vector<SavedBlock>& blocks,
               const ProgressSink& progress, bool sync, ImageLayout* written) {
  ImageLayout image;
  image.version = kCurrentFormat;
  image.id_limit = id_limit;
  image.generation = 1;
  for (const SavedBlock& block : blocks) {
    image.blocks.push_back({block.id, block.words, 0, 0});
    image.words += block.words;
  }
  uint64_t at = kDataStart;
  Slot slot;
  PlaceTable(&at, image, &slot);
  for (ImageBlock& block : image.blocks) block.offset = Place(&at, block.words);
  image.end = image.file_bytes = slot.end = at;
  std::FILE* file = path != nullptr ? std::fopen(path, "wb") : nullptr;
  if (file == nullptr) {
    if (path == nullptr) errno = EINVAL;
    return 1;
  }
  // Once the file is open, any failure (memory too) removes what it holds.
  bool ok;
  try {
    ok = WriteBlocksAndHeader(file, blocks, &image, &slot, progress, sync);
  } catch (const std::bad_alloc&) {
    ok = false;
    errno = ENOMEM;
  }
  int error = errno;
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    std::remove(path);
    errno = error;
    return 1;
  }
  *written = std::move(image);
  return 0;
}

}  // namespace qss::standins
