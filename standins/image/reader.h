// Reads an image's header and block table, and its blocks into places the
// caller gives: every format, with the checks docs/image-format.md lists.
#ifndef QSSTORAGE_STANDINS_IMAGE_READER_H_
#define QSSTORAGE_STANDINS_IMAGE_READER_H_

#include <cstdint>
#include <cstdio>
#include <vector>

#include "standins/image/image.h"

namespace qss::standins {

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
  // Hands the open file to the caller, who closes it.
  std::FILE* ReleaseFile() {
    std::FILE* file = file_;
    file_ = nullptr;
    return file;
  }
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

#endif  // QSSTORAGE_STANDINS_IMAGE_READER_H_
