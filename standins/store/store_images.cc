// The store's images: saving the plex through the image writer and
// loading it through the reader, straight into the blocks' places.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#include "standins/image/codec.h"
#include "standins/store/placement.h"
#include "standins/store/plex_store.h"

namespace qss::standins {

// A mapped block none of whose pages were written holds the words its
// entry sums, sound or not: a change keeps the entry without reading them.
// A mapped block written since the load is verified first, so that no
// damage it held is summed afresh as if it were sound.
bool PlexStore::BlocksToSave(std::vector<SavedBlock>* live) {
  const uint64_t page = AddressSpace::PageBytes();
  for (size_t id = 1; id < blocks_.size(); ++id) {
    if (!IsLive(static_cast<int>(id))) continue;
    const Block& b = blocks_[id];
    SavedBlock saved{static_cast<uint32_t>(id), static_cast<uint32_t>(b.words),
                     space_.base() + b.index};
    const auto mapped = mapped_blocks_.find(saved.id);
    if (mapped != mapped_blocks_.end()) {
      const uint64_t bytes =
          (uint64_t{saved.words} * 4 + page - 1) / page * page;
      if (!space_.PagesWritten(static_cast<uint64_t>(b.index) * 4, bytes)) {
        saved.known = kImageBytes;
        saved.checksum = mapped->second.entry.checksum;
      } else if (VerifyBlock(static_cast<int>(id)) == QSS_PLEX_UNREADABLE) {
        return false;
      }
    }
    if (saved.known == kFreshBytes && damaged_.count(saved.id) != 0) {
      saved.known = kDamagedBytes;
    }
    live->push_back(saved);
  }
  return true;
}

void PlexStore::ForgetMappedBlocks() {
  mapped_blocks_.clear();
  damaged_.clear();
  if (mapped_file_ != nullptr) std::fclose(mapped_file_);
  mapped_file_ = nullptr;
}

// On Windows a mapped block's words come into the plex when first touched,
// so one not written since the load is verified where it lies: whoever
// verifies it is about to read it, and the file is read once, not twice.
// Natively the file is summed through views of its own, which take no
// memory of the plex's.
bool PlexStore::VerifiedInPlace(const ImageBlock& entry, int* result) {
#if defined(_WIN32)
  const uint64_t page = AddressSpace::PageBytes();
  const uint64_t at = static_cast<uint64_t>(blocks_[entry.id].index) * 4;
  const uint64_t bytes = (uint64_t{entry.words} * 4 + page - 1) / page * page;
  // Words the file failed to give read zero: the block cannot be verified,
  // nor read, whatever the file gives now.
  const auto unreadable = [&] {
    errno = EIO;
    *result = QSS_PLEX_UNREADABLE;
    return true;
  };
  if (space_.ReadFailed(at, bytes)) return unreadable();
  if (space_.PagesWritten(at, bytes) || !space_.ReadIn(at, bytes)) {
    return false;
  }
  const SavedBlock words{entry.id, entry.words,
                         space_.base() + blocks_[entry.id].index};
  const bool sound = BlockChecksum(words) == entry.checksum;
  if (space_.ReadFailed(at, bytes)) return unreadable();
  *result = sound ? QSS_PLEX_LOADED : QSS_PLEX_DAMAGED;
  return true;
#else
  (void)entry;
  (void)result;
  return false;
#endif
}

int PlexStore::VerifyBlock(int id) {
  const auto at = static_cast<uint32_t>(id);
  if (damaged_.count(at) != 0) return QSS_PLEX_DAMAGED;
  const auto found = mapped_blocks_.find(at);
  if (found == mapped_blocks_.end() || found->second.verified) {
    return QSS_PLEX_LOADED;
  }
  int result;
  if (!VerifiedInPlace(found->second.entry, &result)) {
    result = mapped_file_ != nullptr
                 ? VerifyImageBlock(mapped_file_, found->second.entry)
                 : QSS_PLEX_UNREADABLE;
  }
  if (result == QSS_PLEX_UNREADABLE) {
    if (mapped_file_ == nullptr) errno = EBADF;
    return result;
  }
  found->second.verified = true;
  if (result == QSS_PLEX_DAMAGED) damaged_.insert(at);
  if (std::none_of(mapped_blocks_.begin(), mapped_blocks_.end(),
                   [](const auto& block) { return !block.second.verified; }) &&
      mapped_file_ != nullptr) {
    std::fclose(mapped_file_);
    mapped_file_ = nullptr;
  }
  return result;
}

// Once its size or place changes, a block is no longer the image's words
// where the file has them: verified first, it keeps any damage it held.
int PlexStore::VerifyBeforeChange(uint32_t id) {
  const int result = VerifyBlock(static_cast<int>(id));
  if (result != QSS_PLEX_UNREADABLE) mapped_blocks_.erase(id);
  return result;
}

// Where a file held open cannot be replaced (Windows), a whole save, which
// reads every block anyway, lets go of the image file first: the blocks not
// verified yet are verified, and the pages not read yet are read.
bool PlexStore::LetGoOfImageFile() {
  for (const auto& [id, block] : mapped_blocks_) {
    if (VerifyBlock(static_cast<int>(id)) == QSS_PLEX_UNREADABLE) return false;
  }
  // Blocks freed or resized unverified leave nothing to verify either.
  if (mapped_file_ != nullptr) std::fclose(mapped_file_);
  mapped_file_ = nullptr;
  return space_.Detach();  // errno set when it fails
}

int PlexStore::Save(const char* path) {
  try {
#if defined(_WIN32)
    if (space_.maps_files() && !LetGoOfImageFile()) return 1;
#endif
    // Writing the file the plex maps would change the plex under the writer.
    if (space_.MapsFile(path) && !space_.Detach()) return 1;  // errno set
    ImageLayout written;
    std::vector<SavedBlock> live;
    if (!BlocksToSave(&live)) return 1;
    const int result = WriteImage(path, static_cast<uint32_t>(blocks_.size()),
                                  live, progress_, sync_on_save_, &written);
    if (result == 0) base_ = std::move(written);
    return result;
  } catch (const std::bad_alloc&) {
    // Before WriteImage opened the file: whatever `path` held is intact.
    errno = ENOMEM;
    return 1;
  }
}

// The file keeps every range the plex may map from it: an update only adds
// past the image's end, and cuts off only what lay past that.
int PlexStore::SaveChanges(const char* path, bool whole_when_due) {
  try {
    ImageLayout written;
    std::vector<SavedBlock> live;
    if (!BlocksToSave(&live)) return 1;
    const int result =
        UpdateImage(path, static_cast<uint32_t>(blocks_.size()), live, base_,
                    progress_, sync_on_save_, &written, whole_when_due);
    if (result == 0) base_ = std::move(written);
    return result;
  } catch (const std::bad_alloc&) {
    // Before the header slot is written: the file holds the old image.
    errno = ENOMEM;
    return 1;
  }
}

// Every live block takes a size class of 4 words or more, from word
// kFirstIndex on, and a new id is handed out only when every lower one is
// live: the id limit is at most one past the most blocks the plex holds.
uint64_t PlexStore::IdCapacity(int64_t words) {
  return words < kFirstIndex
             ? 1
             : static_cast<uint64_t>(words - kFirstIndex) / SizeClass(0) + 1;
}

int64_t PlexStore::RequiredWords(const ImageLayout& layout) {
  int64_t words = kFirstIndex;
  for (const ImageBlock& block : layout.blocks) PlaceFresh(&words, block.words);
  return std::max<int64_t>(
      words, kFirstIndex + (int64_t{layout.id_limit} - 1) * SizeClass(0));
}

bool PlexStore::Mappable(const ImageLayout& layout,
                         const ImageBlock& block) const {
  const uint64_t page = AddressSpace::PageBytes();
  const Block& place = blocks_[block.id];
  const uint64_t bytes = uint64_t{block.words} * 4;
  return map_images_ && page != 0 && layout.generation != 0 &&
         IsLargeBlock(block.words) && block.offset % page == 0 &&
         block.offset <= layout.file_bytes &&
         bytes <= layout.file_bytes - block.offset &&
         static_cast<uint64_t>(place.index) * 4 % page == 0 &&
         (bytes + page - 1) / page * page <=
             static_cast<uint64_t>(place.capacity) * 4;
}

// Straight from the file into the blocks' places, or mapped there. A fresh
// plex is remade if the image turns out damaged; anything else is verified
// first, so that it stays as it was. A plain load into a fresh plex leaves
// mapped blocks to VerifyBlock, so that a load costs the table and the
// small blocks only; other loads verify them by reading them through
// outside the plex before they are mapped, and a salvaging load reads
// damaged and cut ones instead, keeping them as the file has them.
int PlexStore::Load(const char* path, const DamageSink* salvage,
                    QssPlexLoadOutcome* outcome) {
  ImageReader reader;
  uint64_t plex_bytes = 0;
  int result;
  try {
    result = LoadFrom(path, salvage, &reader,
                      outcome != nullptr ? &plex_bytes : nullptr);
  } catch (const std::bad_alloc&) {
    if (rebuilding_) RebuildFresh();
    rebuilding_ = false;
    errno = ENOMEM;
    result = QSS_PLEX_UNREADABLE;
  }
  if (outcome != nullptr) {
    const int error = errno;
    *outcome = QssPlexLoadOutcome{};
    outcome->version = reader.version();
    outcome->oldest_version = kFirstFormat;
    outcome->newest_version = kCurrentFormat;
    if (result == QSS_PLEX_DAMAGED) {
      outcome->damage = reader.damage();
      outcome->damaged_block = static_cast<int>(reader.damaged_block());
    }
    outcome->plex_bytes = plex_bytes;
    errno = error;
  }
  return result;
}

int PlexStore::LoadFrom(const char* path, const DamageSink* salvage,
                        ImageReader* image, uint64_t* plex_bytes) {
  cut_bytes_.clear();
  ImageReader& reader = *image;
  int result = reader.Open(path);
  if (result != QSS_PLEX_LOADED) return result;
  const bool first_format = reader.version() == 1;
  const bool verify_first = !first_format && salvage == nullptr && !IsFresh();
  reader.set_progress(progress_,
                      reader.file_bytes() * (1 + first_format + verify_first));
  reader.set_id_capacity(IdCapacity(limit_words_));
  ImageLayout layout;
  result = reader.ReadLayout(salvage != nullptr, &layout);
  if (result == QSS_PLEX_TOO_LARGE && plex_bytes != nullptr) {
    // Its entries were not kept: they are read again to size the plex.
    QssPlexImageInfo info;
    if (ReadImageInfo(path, &info) == QSS_PLEX_LOADED) {
      *plex_bytes = info.plex_bytes;
    }
  }
  if (result != QSS_PLEX_LOADED) return result;
  const int64_t needed = RequiredWords(layout);
  if (needed > limit_words_) {
    if (plex_bytes != nullptr) *plex_bytes = static_cast<uint64_t>(needed) * 4;
    return QSS_PLEX_TOO_LARGE;
  }
  if (!space_.Commit(static_cast<uint64_t>(needed) * 4)) {
    errno = ENOMEM;
    return QSS_PLEX_UNREADABLE;
  }
  if (salvage != nullptr && salvage->report != nullptr) {
    ReportEarlierImage(layout, *salvage);
  }
  if (verify_first) {
    result = reader.ReadBlocks(layout, nullptr, nullptr);
    if (result != QSS_PLEX_LOADED) return result;
  }
  rebuilding_ = true;
  if (space_.maps_files()) space_.Discard();  // shows no earlier file
  Rebuild(layout.blocks, layout.id_limit, false);
  result = FillBlocks(&reader, layout, salvage, verify_first);
  if (result != QSS_PLEX_LOADED) {
    RebuildFresh();
    rebuilding_ = false;
    return result;
  }
  if (salvage != nullptr) RecordCutBlocks(layout);
  rebuilding_ = false;
  // A salvaged image's file holds damaged blocks that must not be kept.
  base_ = salvage == nullptr ? std::move(layout) : ImageLayout{};
  return QSS_PLEX_LOADED;
}

void PlexStore::ReportEarlierImage(const ImageLayout& layout,
                                   const DamageSink& salvage) {
  if (layout.header_damaged) {
    salvage.report(0, QSS_PLEX_HEADER_DAMAGED, salvage.context);
  }
  if (layout.newest_slot_damaged) {
    salvage.report(0, QSS_PLEX_SLOT_DAMAGED, salvage.context);
  }
  if (layout.changes_lost > 0) {
    salvage.report(
        static_cast<int>(std::min<uint64_t>(layout.changes_lost, INT_MAX)),
        QSS_PLEX_CHANGES_LOST, salvage.context);
  }
}

int PlexStore::FillBlocks(ImageReader* reader, const ImageLayout& layout,
                          const DamageSink* salvage, bool verified) {
  std::vector<BlockTarget> targets(layout.blocks.size());
  std::vector<size_t> mapped;
  const bool lazily = salvage == nullptr && !verified;
  for (size_t i = 0; i < layout.blocks.size(); ++i) {
    const ImageBlock& block = layout.blocks[i];
    if (Mappable(layout, block)) {
      targets[i].skip = verified || lazily;
      mapped.push_back(i);
    } else {
      targets[i].to = space_.base() + blocks_[block.id].index;
    }
  }
  // A salvaging load keeps damaged blocks as they were read, not mapped.
  struct Salvaged {
    const DamageSink* caller;
    std::vector<int> ids;
  } salvaged{salvage, {}};
  const DamageSink recorder{[](int id, int damage, void* context) {
                              auto* seen = static_cast<Salvaged*>(context);
                              seen->ids.push_back(id);
                              if (seen->caller->report != nullptr) {
                                seen->caller->report(id, damage,
                                                     seen->caller->context);
                              }
                            },
                            &salvaged};
  const int result = reader->ReadBlocks(
      layout, &targets, salvage != nullptr ? &recorder : nullptr);
  if (result != QSS_PLEX_LOADED) return result;
  return MapBlocks(reader, layout, mapped, salvaged.ids, salvage != nullptr,
                   lazily);
}

int PlexStore::MapBlocks(ImageReader* reader, const ImageLayout& layout,
                         const std::vector<size_t>& mapped,
                         const std::vector<int>& damaged, bool salvaging,
                         bool lazily) {
  // A block the system will not map, or a damaged one, is read after all.
  std::vector<BlockTarget> targets(layout.blocks.size(), BlockTarget{});
  for (BlockTarget& target : targets) target.skip = true;
  bool unmapped = false;
  const uint64_t page = AddressSpace::PageBytes();
  for (size_t i : mapped) {
    const ImageBlock& block = layout.blocks[i];
    const uint64_t at = static_cast<uint64_t>(blocks_[block.id].index) * 4;
    if (std::count(damaged.begin(), damaged.end(),
                   static_cast<int>(block.id)) != 0 ||
        !space_.MapFile(at, reader->file(), block.offset,
                        (uint64_t{block.words} * 4 + page - 1) / page * page)) {
      targets[i] = BlockTarget{space_.base() + blocks_[block.id].index, false};
      unmapped = true;
    } else {
      mapped_blocks_[block.id] = MappedBlock{block, !lazily};
    }
  }
  if (unmapped) {
    const DamageSink quiet;  // damage reported already
    const int result =
        reader->ReadBlocks(layout, &targets, salvaging ? &quiet : nullptr);
    if (result != QSS_PLEX_LOADED) return result;
  }
  // Blocks left to verify are verified against the file loaded, kept open:
  // a rename may take it off its name meanwhile.
  if (lazily && !mapped_blocks_.empty()) mapped_file_ = reader->ReleaseFile();
  return QSS_PLEX_LOADED;
}

// The file ends inside or before every block it does not hold whole: the
// ones the load reported cut.
void PlexStore::RecordCutBlocks(const ImageLayout& layout) {
  for (const ImageBlock& block : layout.blocks) {
    const uint64_t bytes = uint64_t{block.words} * 4;
    if (block.offset <= layout.file_bytes &&
        bytes <= layout.file_bytes - block.offset) {
      continue;
    }
    cut_bytes_[block.id] =
        block.offset < layout.file_bytes ? layout.file_bytes - block.offset : 0;
  }
}

int64_t PlexStore::CutBlockBytes(int id) const {
  const auto found = cut_bytes_.find(static_cast<uint32_t>(id));
  return found == cut_bytes_.end() ? -1 : static_cast<int64_t>(found->second);
}

int PlexStore::ImageInfo(const char* path, QssPlexImageInfo* out) const {
  if (out != nullptr) *out = QssPlexImageInfo{};
  try {
    return ReadImageInfo(path, out);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return QSS_PLEX_UNREADABLE;
  }
}

int PlexStore::ReadImageInfo(const char* path, QssPlexImageInfo* out) const {
  ImageReader reader;
  int result = reader.Open(path);
  if (result != QSS_PLEX_LOADED) return result;
  if (reader.version() == 1)
    reader.set_progress(progress_, reader.file_bytes());
  ImageLayout layout;
  result = reader.ReadLayout(false, &layout);
  if (result != QSS_PLEX_LOADED || out == nullptr) return result;
  out->version = layout.version;
  out->blocks = static_cast<int>(layout.blocks.size());
  out->words = static_cast<long long>(layout.words);
  out->file_bytes = layout.file_bytes;
  out->plex_bytes = static_cast<uint64_t>(RequiredWords(layout)) * 4;
  return result;
}

}  // namespace qss::standins
