// The image file's I/O: lengths, seeks, syncs and cuts on both systems,
// and the writer's output, which reports progress and, for a file to be
// synced, sends its pages on to the device as it goes.
#ifndef QSSTORAGE_STANDINS_IMAGE_FILE_IO_H_
#define QSSTORAGE_STANDINS_IMAGE_FILE_IO_H_

#include <cstdint>
#include <cstdio>
#include <vector>

#include "standins/image/codec.h"

#define XXH_INLINE_ALL
#include "xxhash.h"

namespace qss::standins {

// Opens `path` for reading, binary; null with errno set when it cannot.
std::FILE* OpenToRead(const char* path);
int64_t FileLength(std::FILE* file);
bool Seek(std::FILE* file, uint64_t offset);
bool SyncToDevice(std::FILE* file);
// Starts writing the file's dirty pages in the range to the device, without
// waiting for them (where the system offers that).
void StartWriteBack(std::FILE* file, uint64_t offset, uint64_t bytes);
// Cuts the file to `bytes`, its buffer flushed first.
bool Truncate(std::FILE* file, uint64_t bytes);
// Sums `bytes` from `offset`, which the file holds, into `state` through
// mappings of the file rather than copies of it, where the system can.
// Returns the bytes summed: 0 where it cannot, fewer when it fails.
uint64_t SumThroughViews(std::FILE* file, uint64_t offset, uint64_t bytes,
                         XXH3_state_t* state, ProgressCounter* progress);

// Writes to a file at given offsets, reporting what it wrote.
class Output {
 public:
  // With `sync` the file is to be synced at the end: what is written starts
  // on its way to the device as it goes, so that the sync waits for the
  // last stretch only rather than for all of it.
  Output(std::FILE* file, ProgressCounter* progress, bool sync)
      : file_(file), progress_(progress), write_behind_(sync) {}

  bool At(uint64_t offset) {
    if (offset == position_) return true;
    position_ = offset;
    unsent_from_ = offset;
    return Seek(file_, offset);
  }
  bool Put(const void* data, uint64_t bytes) {
    position_ += bytes;
    progress_->Advance(bytes);
    if (std::fwrite(data, 1, static_cast<size_t>(bytes), file_) != bytes) {
      return false;
    }
    if (write_behind_ && position_ - unsent_from_ >= kWriteBehindBytes) {
      if (std::fflush(file_) != 0) return false;
      StartWriteBack(file_, unsent_from_, position_ - unsent_from_);
      unsent_from_ = position_;
    }
    return true;
  }
  // Writes the block's words at `offset`, summing each piece on its way
  // out, while it is in the cache.
  bool PutBlock(const SavedBlock& block, uint64_t offset, uint64_t* checksum) {
    const auto* data = reinterpret_cast<const unsigned char*>(block.data);
    const uint64_t bytes = uint64_t{block.words} * 4;
    XXH3_state_t state;
    XXH3_64bits_reset(&state);
    bool ok = At(offset);
    for (uint64_t at = 0; ok && at < bytes; at += kPieceBytes) {
      const uint64_t piece = std::min(kPieceBytes, bytes - at);
      XXH3_64bits_update(&state, data + at, static_cast<size_t>(piece));
      ok = Put(data + at, piece);
    }
    *checksum = XXH3_64bits_digest(&state);
    // Damaged words keep a checksum that does not hold.
    if (block.known == kDamagedBytes ||
        (block.known == kImageBytes && *checksum != block.checksum)) {
      *checksum = ~*checksum;
    }
    return ok;
  }
  // Writes the table at the slot's offset and sets the slot's checksum of it.
  bool PutTable(const std::vector<ImageBlock>& blocks, Slot* slot) {
    std::vector<unsigned char> table(blocks.size() * kEntryBytes);
    for (size_t i = 0; i < blocks.size(); ++i) {
      unsigned char* entry = table.data() + i * kEntryBytes;
      PutUint(blocks[i].id, 4, entry);
      PutUint(blocks[i].words, 4, entry + 4);
      PutUint(blocks[i].offset, 8, entry + 8);
      PutUint(blocks[i].checksum, 8, entry + 16);
    }
    slot->table_checksum = XXH3_64bits(table.data(), table.size());
    return At(slot->table_offset) && Put(table.data(), table.size());
  }

 private:
  std::FILE* file_;
  ProgressCounter* progress_;
  bool write_behind_;
  uint64_t position_ = UINT64_MAX;  // unknown: the first At seeks
  uint64_t unsent_from_ = 0;
};

}  // namespace qss::standins

#endif  // QSSTORAGE_STANDINS_IMAGE_FILE_IO_H_
