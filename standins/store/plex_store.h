// The plex behind the mxdms stand-in: one address range reserved once, handed
// out as numbered blocks of 32-bit words. Bookkeeping lives outside the plex.
//
// Placement: a block owns an extent of `capacity` words (a size class at or
// above its word count, always even, so every block starts 8-byte aligned).
// Growth stays in place when the capacity, the free extent right after the
// block, or the top of the used area allows; otherwise the block moves to an
// extent with room for twice its old size. Freed extents merge with their
// neighbours and are reused best-fit; freed ids are reused last-in first-out.
// Not thread-safe.
#ifndef QSSTORAGE_STANDINS_STORE_PLEX_STORE_H_
#define QSSTORAGE_STANDINS_STORE_PLEX_STORE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "standins/image/reader.h"
#include "standins/plex_controls.h"
#include "standins/store/address_space.h"

namespace qss::standins {
class PlexStore {
 public:
  static PlexStore& Instance();

  PlexStore();
  PlexStore(const PlexStore&) = delete;
  PlexStore& operator=(const PlexStore&) = delete;
  ~PlexStore() { ForgetMappedBlocks(); }

  // The DMS calls; a null argument is a breach like any other.
  // Inline: lookups locate two blocks for every element they pass.
  int Locate(const int* id) {
    if (id != nullptr && IsLive(*id)) {
      return located_[static_cast<uint32_t>(*id)];
    }
    return LocateBreach(id);
  }
  int Allocate(const int* words, int* id, int* index);
  int Reallocate(const int* id, const int* words, int* index);
  int Free(const int* id);
  int SetBead(const int* flag);

  void Reset();
  void SetReservationBytes(uint64_t bytes);
  uint64_t CapacityBytes() const { return space_.bytes(); }
  uint64_t UsedBytes() const {
    return static_cast<uint64_t>(top_ - free_words_) * 4;
  }
  int64_t GrowableWords(int id) const;
  int LiveBlocks() const;
  int64_t LiveWords() const;
  // One bounds check and one load: negative ids wrap past the end (and the
  // unsigned index needs no sign extension); id 0 is never live.
  bool IsLive(int id) const {
    const auto at = static_cast<uint32_t>(id);
    return at < located_.size() && located_[at] >= 0;
  }
  int BlockWords(int id) const;
  int NextBlockId(int after) const;
  // Writes the image whole. Detaches pages mapped from that file first.
  int Save(const char* path);
  // Adds the changes since the image at `path` was loaded or saved to it
  // (see UpdateImage): 0, 1, QSS_PLEX_SAVE_UNSURE or QSS_PLEX_SAVE_WHOLE.
  // With `whole_when_due` off, also when a whole save would be due.
  int SaveChanges(const char* path, bool whole_when_due = true);
  // A null `salvage` loads only a sound image. With map_images on, large
  // blocks of a current-format image are mapped from the file rather than
  // read: a plain load into a fresh plex leaves them to VerifyBlock (their
  // first reader's, or a change's), any other load verifies them by
  // reading them through, outside the plex, before it maps them.
  // Memory running out while loading answers QSS_PLEX_UNREADABLE with
  // errno ENOMEM, as do the saves with 1. Answers every QssPlexLoadResult;
  // `outcome`, when not null, tells more (see QssPlex_LoadImage).
  int Load(const char* path, const DamageSink* salvage,
           QssPlexLoadOutcome* outcome = nullptr);
  int ImageInfo(const char* path, QssPlexImageInfo* out) const;
  // See QssPlex_VerifyBlock; QSS_PLEX_UNREADABLE (errno kept) when the
  // file cannot be read, leaving the block to be verified.
  int VerifyBlock(int id);
  // See QssPlex_CutBlockBytes.
  int64_t CutBlockBytes(int id) const;

  void set_strict(bool on) { strict_ = on; }
  void set_move_on_realloc(bool on) { move_on_realloc_ = on; }
  void set_poison_freed(bool on) { poison_freed_ = on; }
  void set_fail_after(int n) { fail_after_ = n < 0 ? -1 : n; }
  void set_progress(const ProgressSink& sink) { progress_ = sink; }
  void set_sync_on_save(bool on) { sync_on_save_ = on; }
  void set_map_images(bool on) { map_images_ = on; }
  bool in_bead() const { return in_bead_; }
  const QssPlexCounts& counts() const { return counts_; }
  void ResetCounts() { counts_ = QssPlexCounts{}; }

 private:
  struct Block {
    int64_t index = 0;
    int64_t words = 0;
    int64_t capacity = 0;
  };

  // Reports a contract breach; aborts in strict mode.
  void Breach(const char* call, const char* format, int a, int b = 0) const;
  bool CheckLive(const char* call, const int* id);
  // Locate's answer for an id that is not a live block.
  int LocateBreach(const int* id);
  bool InjectedFailure();

  int NewId();
  // Start of a free extent of `words` words, or -1 when the plex is full.
  int64_t TakeExtent(int64_t words);
  void ReleaseExtent(int64_t start, int64_t words);
  void AddFree(int64_t start, int64_t words);
  void RemoveFree(std::map<int64_t, int64_t>::iterator it);
  bool GrowInPlace(Block& block, int64_t capacity);
  // Moves the block to a new extent, copying its first `keep_words` words.
  bool MoveBlock(Block& block, int64_t capacity, int64_t keep_words);
  void Fill(int64_t start, int64_t words, uint32_t value);
  // Fill with 0 where the words may hold anything.
  void ZeroFill(int64_t start, int64_t words);
  // Lays out blocks of the given sizes afresh, zero-filled or with contents
  // left to the caller. Large blocks start on a page, as in image files,
  // so that they can be mapped; the gaps before them are free extents.
  void Rebuild(const std::vector<ImageBlock>& live, uint32_t id_limit,
               bool zero);
  // The state Reset makes, keeping the reservation.
  void RebuildFresh();
  // Holds only what Reset made: a load may overwrite it and remake it.
  bool IsFresh() const;
  // `*plex_bytes` (when not null) of an image too large for this plex.
  int LoadFrom(const char* path, const DamageSink* salvage,
               ImageReader* reader, uint64_t* plex_bytes);
  // Tells a salvaging load's caller which earlier image was loaded.
  static void ReportEarlierImage(const ImageLayout& layout,
                                 const DamageSink& salvage);
  // Reads the blocks into the places Rebuild gave them, or maps them there;
  // `verified` when ReadBlocks has read them through already.
  int FillBlocks(ImageReader* reader, const ImageLayout& layout,
                 const DamageSink* salvage, bool verified);
  // Maps the blocks `mapped` lists from the file, reading those that are
  // `damaged` or that the system will not map; `lazily`: the mapped ones
  // are not verified yet.
  int MapBlocks(ImageReader* reader, const ImageLayout& layout,
                const std::vector<size_t>& mapped,
                const std::vector<int>& damaged, bool salvaging, bool lazily);
  // Sets cut_bytes_ for the blocks the file does not hold whole.
  void RecordCutBlocks(const ImageLayout& layout);
  int ReadImageInfo(const char* path, QssPlexImageInfo* out) const;
  // Words a plex must reserve to load the image.
  static int64_t RequiredWords(const ImageLayout& layout);
  // The most ids a plex of `words` can ever have handed out.
  static uint64_t IdCapacity(int64_t words);
  // The live blocks, by id, as the image writers take them, with what is
  // known of their words. Verifies the mapped blocks written since the
  // load that were not verified yet: false (errno kept) when the file
  // cannot be read.
  bool BlocksToSave(std::vector<SavedBlock>* live);
  // Forgets the mapped blocks and the damage found, and closes the file.
  void ForgetMappedBlocks();
  // Verifies and reads every mapped block, and closes the image file.
  bool LetGoOfImageFile();
  // Verifies a mapped block from its words in the plex where that reads
  // the file no more than reading the block would; false where it cannot.
  bool VerifiedInPlace(const ImageBlock& entry, int* result);
  // Verifies a mapped block before it changes size or place, or is saved.
  int VerifyBeforeChange(uint32_t id);
  // Whether a block Rebuild placed can be mapped from its place in a file.
  bool Mappable(const ImageLayout& layout, const ImageBlock& block) const;

  AddressSpace space_;
  uint64_t requested_reservation_bytes_ = 0;  // 0: the default
  uint64_t reserved_for_ = 0;  // the request `space_` was reserved for
  int64_t limit_words_ = 0;
  int64_t top_ = 0;  // first word past the used area
  // No word from here up has been handed out in a block or filled since the
  // pages were last discarded: they read 0 (capacity slack at the top, for
  // one, stays untouched until growth hands it out).
  int64_t fresh_ = 0;
  std::vector<Block> blocks_;  // by id; blocks_[0] unused
  // Where each block starts, by id, or -1 for an id that is not a live
  // block: the record of liveness and what Locate answers, kept apart from
  // `blocks_` so a lookup reads one dense word.
  std::vector<int32_t> located_;
  std::vector<int> free_ids_;
  std::map<int64_t, int64_t> free_by_start_;
  std::set<std::pair<int64_t, int64_t>> free_by_size_;  // (words, start)
  int64_t free_words_ = 0;                              // in free extents

  bool strict_ = true;
  bool move_on_realloc_ = false;
  bool poison_freed_ = true;
  bool in_bead_ = false;
  int fail_after_ = -1;
  QssPlexCounts counts_{};
  ProgressSink progress_;
  bool sync_on_save_ = false;
  bool map_images_ = false;
  // The current-format image last loaded or saved, which SaveChanges adds
  // to; generation 0 when there is none.
  ImageLayout base_;
  // The blocks mapped from the image file, by id, with their entries in
  // it and whether they were verified; the file they are verified against,
  // kept open while any is not.
  struct MappedBlock {
    ImageBlock entry;
    bool verified;
  };
  std::map<uint32_t, MappedBlock> mapped_blocks_;
  std::FILE* mapped_file_ = nullptr;
  // Blocks found damaged since the load; saved damaged (see SavedBytes).
  std::set<uint32_t> damaged_;
  // Of the blocks the last salvaging load found cut, the bytes the file
  // held of each, by id.
  std::map<uint32_t, uint64_t> cut_bytes_;
  // A load has begun to lay the plex out afresh: a failure must remake it.
  bool rebuilding_ = false;
};

}  // namespace qss::standins

#endif  // QSSTORAGE_STANDINS_STORE_PLEX_STORE_H_
