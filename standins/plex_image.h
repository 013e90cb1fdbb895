// The plex image file, apart from where the store puts the blocks: the store
// hands the writer each block's words and tells the reader where each block's
// words go. Data moves between the file and the plex in bounded pieces, with
// no copy of the image held anywhere else. Results are QssPlexLoadResult.
#ifndef QSSTORAGE_STANDINS_PLEX_IMAGE_H_
#define QSSTORAGE_STANDINS_PLEX_IMAGE_H_

#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "standins/image_format.h"
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

struct SavedBlock {
  uint32_t id;
  uint32_t words;
  const int32_t* data;
};

// Writes the current format whole to `path`: 0, or 1 with errno kept and the
// file removed. `sync` flushes the file's data to the device before closing.
// `*written` describes the new image.
int WriteImage(const char* path, uint32_t id_limit,
               const std::vector<SavedBlock>& blocks,
               const ProgressSink& progress, bool sync, ImageLayout* written);

// Turns the current-format image `base` at `path` into one of `blocks`,
// adding to the file only the blocks that are not in `base` with the same
// size and checksum, then a new block table, then switching the header slot
// (see plex_image.cc). 0 with `*written` describing the new image; 1 with
// errno kept, the file holding `base`; QSS_PLEX_SAVE_UNSURE with errno kept
// when the header slot's write or sync failed, so that the file holds
// `base` or the new image; or QSS_PLEX_SAVE_WHOLE, nothing written, when
// the file does not hold `base`, its generations are used up, or (with
// `whole_when_due`) rewriting it whole is due.
int UpdateImage(const char* path, uint32_t id_limit,
                const std::vector<SavedBlock>& blocks, const ImageLayout& base,
                const ProgressSink& progress, bool sync, ImageLayout* written,
                bool whole_when_due = true);

// What ReadBlocks does with one block: reads it to `to`, verifying it;
// verifies it only (null `to`); or passes it by (`skip`).
struct BlockTarget {
  int32_t* to = nullptr;
  bool skip = false;
};

class ImageReader {
 public:
  ImageReader() = default;
  ImageReader(const ImageReader&) = delete;
  ImageReader& operator=(const ImageReader&) = delete;
  ~ImageReader();

  // Opens the file and checks its magic and version: QSS_PLEX_NOT_AN_IMAGE
  // without the magic, QSS_PLEX_NEWER_FORMAT for a version past the
  // current one.
  int Open(const char* path);
  // The version the file names; 0 until Open has read it.
  uint32_t version() const { return version_; }
  // Where the last QSS_PLEX_DAMAGED answer found the damage: a
  // QssPlexDamage, and the block's id for a block's checksum or cut.
  int damage() const { return damage_; }
  uint32_t damaged_block() const { return damaged_block_; }
  uint64_t file_bytes() const { return file_bytes_; }
  std::FILE* file() const { return file_; }
  // Progress counts through the file once per pass, `total` bytes in all:
  // ReadLayout and the first ReadBlocks make one pass (ReadLayout alone for a
  // first-format image), every further ReadBlocks another.
  void set_progress(const ProgressSink& sink, uint64_t total) {
    progress_ = ProgressCounter(sink, total);
  }
  // The most ids the plex the image is for can ever hand out: ReadLayout
  // answers QSS_PLEX_TOO_LARGE for an image with a higher id limit whose
  // header and table are sound, keeping none of its entries
  // (QSS_PLEX_DAMAGED past kMaxPlexIds, the default).
  void set_id_capacity(uint64_t ids) { id_capacity_ = ids; }

  // Reads and checks the header and block table; a first-format image is read
  // whole and its checksum verified. With `cut_ok` a file may end before
  // its blocks do (but not before the current format's table), and a
  // current-format file whose newest table is cut off or damaged gives the
  // newest earlier image it holds whole (see `changes_lost`). When the
  // newest save's header slot is damaged but the file holds that save
  // whole, QSS_PLEX_NEWER_SAVE, or with `cut_ok` that save (see
  // `newest_slot_damaged`).
  int ReadLayout(bool cut_ok, ImageLayout* layout);
  // Does with block i what targets[i] says, all blocks verified only when
  // `targets` is null. Any damage fails, unless a `salvage` sink is given:
  // then damaged and cut blocks are reported to it, by increasing id, and
  // reading goes on (cut words read zero). May be called more than once.
  int ReadBlocks(const ImageLayout& layout,
                 const std::vector<BlockTarget>* targets,
                 const DamageSink* salvage);

 private:
  // Reads exactly `bytes`; false at the end of the file or on an error.
  bool Read(void* out, uint64_t bytes);
  // What a failed Read means: the file ended early, or it could not be read.
  int ReadFailure();
  // QSS_PLEX_DAMAGED, recording where.
  int Damaged(int where, uint32_t block = 0);
  bool SeekTo(uint64_t offset);
  // Progress through the file: a new pass starts where the last one ended.
  void StartPass();
  void EndPass();
  int ReadSecondFormatLayout(bool cut_ok, ImageLayout* layout);
  int ReadCurrentLayout(bool cut_ok, ImageLayout* layout);
  // Checks the slot and reads and checks the table it names.
  int ReadTable(const Slot& slot, bool cut_ok, ImageLayout* layout);
  // Reads into `*newer` the save after the image `slot` names when its own
  // header slot (the other one in `header`) is damaged but the file holds
  // that save whole: its head, past the image's end, its table and all.
  // QSS_PLEX_LOADED when it does; QSS_PLEX_DAMAGED when there is no such
  // save; QSS_PLEX_UNREADABLE or QSS_PLEX_TOO_LARGE as ReadTable answers.
  int NewerSaveBehindDamagedSlot(const unsigned char* header, const Slot& slot,
                                 ImageLayout* newer);
  // Whether `count` entries of `entry_bytes` from `offset`, which the file
  // holds, sum to `checksum`, read in pieces.
  int TableChecksumHolds(uint64_t offset, uint64_t count, uint64_t entry_bytes,
                         uint64_t checksum);
  // QSS_PLEX_DAMAGED or QSS_PLEX_TOO_LARGE for an id limit no plex, or
  // not this one, can have handed out; else QSS_PLEX_LOADED.
  int CheckIdLimit(uint64_t id_limit);
  // The images a current-format file holds older than generation `newest`,
  // newest first: the header slots' and those the base slot and the
  // changes' heads lead to.
  std::vector<Slot> EarlierImages(const unsigned char* header, uint64_t newest);
  int ReadFirstFormatLayout(ImageLayout* layout);
  int ReadFirstFormatBlocks(const ImageLayout& layout,
                            const std::vector<BlockTarget>* targets);

  std::FILE* file_ = nullptr;
  uint32_t version_ = 0;
  int damage_ = QSS_PLEX_HEADER_DAMAGED;
  uint32_t damaged_block_ = 0;
  uint64_t file_bytes_ = 0;
  uint64_t id_capacity_ = kMaxPlexIds;
  ProgressCounter progress_;
  uint64_t passes_done_bytes_ = 0;
  bool pass_ended_ = false;
  std::vector<unsigned char> scratch_;
};

}  // namespace qss::standins

#endif  // QSSTORAGE_STANDINS_PLEX_IMAGE_H_
