// The plex image file, apart from where the store puts the blocks: the store
// hands the writer each block's words and tells the reader where each block's
// words go. Data moves between the file and the plex in bounded pieces, with
// no copy of the image held anywhere else. Results are QssPlexLoadResult.
// docs/image-format.md describes the file.
#ifndef QSSTORAGE_STANDINS_IMAGE_IMAGE_H_
#define QSSTORAGE_STANDINS_IMAGE_IMAGE_H_

#include <array>
#include <cstdio>
#include <cstdint>
#include <vector>

#include "standins/image/format.h"
#include "standins/plex_controls.h"

namespace qss::standins {

// More ids than this cannot have been handed out by any plex (8 GiB at
// most, every live block taking 16 bytes or more): an image claiming more
// is damaged, whatever plex reads it.
constexpr uint64_t kMaxPlexIds = uint64_t{1} << 29;
struct Slot;

// One live block as the image lists it.
struct ImageBlock {
  uint32_t id;
  uint32_t words;
  uint64_t checksum;  // XXH3-64 of its bytes; 0 in a first-format image
  uint64_t offset;    // where its words start in the file
};

// Header and block table: everything but the blocks' words.
struct ImageLayout {
  uint32_t version = 0;
  uint32_t id_limit = 0;  // one past the highest id ever handed out
  uint64_t words = 0;     // the blocks' word counts summed
  uint64_t file_bytes = 0;
  std::vector<ImageBlock> blocks;  // increasing ids, all below id_limit
  // The current format's header slot in use, as the file holds it, which
  // tells this image from any other; 0 and empty in other formats.
  uint64_t generation = 0;
  std::array<unsigned char, kSlotBytes> slot = {};
  // The first byte past the block table: the image's end. A longer file
  // holds what a save cut short left behind.
  uint64_t end = 0;
  // Of an image a salvaging load fell back to, the saves since it, whose
  // changes the file no longer holds: 0 for the newest image.
  uint64_t changes_lost = 0;
  // Neither header slot is sound: a salvaging load took the newest image
  // the base slot and the changes' heads lead to, which may be a save that
  // did not finish.
  bool header_damaged = false;
  // The header slot of the newest save is damaged: a salvaging load took
  // that save, which the file holds whole past the image the other slot
  // names.
  bool newest_slot_damaged = false;
};

struct ProgressSink {
  QssPlexProgress callback = nullptr;
  void* context = nullptr;
};

// Tells the sink the bytes done of `total` as they grow, at least a MiB
// further each time, and once more at the end.
class ProgressCounter {
 public:
  ProgressCounter() = default;
  ProgressCounter(const ProgressSink& sink, uint64_t total)
      : sink_(sink), total_(total) {}
  void Advance(uint64_t bytes) { Reach(done_ + bytes); }
  // Done becomes `done` unless it is there already.
  void Reach(uint64_t done);

 private:
  ProgressSink sink_;
  uint64_t total_ = 0;
  uint64_t done_ = 0;
  uint64_t reported_ = 0;
};

struct DamageSink {
  QssPlexDamageReport report = nullptr;
  void* context = nullptr;
};

// What the store knows of a block's words when it saves them.
enum SavedBytes {
  // Nothing: they are summed as they are written, or to compare them.
  kFreshBytes = 0,
  // They are the image's whose entry sums them to `checksum`, whether or
  // not that sum holds (the words may never have been verified): a change
  // keeps that entry without summing them, and a whole save that finds the
  // sum does not hold saves them as damaged.
  kImageBytes = 1,
  // They were found damaged: saved with a checksum that does not hold, so
  // that no save passes damaged words off as sound.
  kDamagedBytes = 2,
};

struct SavedBlock {
  uint32_t id;
  uint32_t words;
  const int32_t* data;
  int known = kFreshBytes;  // a SavedBytes
  uint64_t checksum = 0;    // with kImageBytes
};

// Verifies the words of `block` in `file` against its checksum:
// QSS_PLEX_LOADED, QSS_PLEX_DAMAGED (also when the file ends inside them),
// or QSS_PLEX_UNREADABLE with errno kept.
int VerifyImageBlock(std::FILE* file, const ImageBlock& block);

// Writes the current format whole to `path`: 0, or 1 with errno kept and the
// file removed. `sync` flushes the file's data to the device before closing.
// `*written` describes the new image.
int WriteImage(const char* path, uint32_t id_limit,
               const std::vector<SavedBlock>& blocks,
               const ProgressSink& progress, bool sync, ImageLayout* written);

// Turns the current-format image `base` at `path` into one of `blocks`,
// adding to the file only the blocks that are not in `base` with the same
// size and checksum, then a new block table, then switching the header slot. 0 with `*written` describing the new image; 1 with
// errno kept, the file holding `base`; QSS_PLEX_SAVE_UNSURE with errno kept
// when the header slot's write or sync failed, so that the file holds
// `base` or the new image; or QSS_PLEX_SAVE_WHOLE, nothing written, when
// the file does not hold `base`, its generations are used up, or (with
// `whole_when_due`) rewriting it whole is due.
int UpdateImage(const char* path, uint32_t id_limit,
                const std::vector<SavedBlock>& blocks, const ImageLayout& base,
                const ProgressSink& progress, bool sync, ImageLayout* written,
                bool whole_when_due = true);

}  // namespace qss::standins

#endif  // QSSTORAGE_STANDINS_IMAGE_IMAGE_H_
