// Reads images of the current format: docs/image-format.md, "Reading".
#include "standins/image/reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>

#include "standins/image/file_io.h"

namespace qss::standins {

ImageReader::~ImageReader() {
  if (file_ != nullptr) std::fclose(file_);
}

bool ImageReader::Read(void* out, uint64_t bytes) {
  if (bytes > SIZE_MAX) return false;
  const size_t got = std::fread(out, 1, static_cast<size_t>(bytes), file_);
  progress_.Advance(got);
  return got == bytes;
}

int ImageReader::ReadFailure() {
  if (std::ferror(file_)) return QSS_PLEX_UNREADABLE;
  return Damaged(QSS_PLEX_BLOCK_CUT);
}

int ImageReader::Damaged(int where, uint32_t block) {
  damage_ = where;
  damaged_block_ = block;
  return QSS_PLEX_DAMAGED;
}

bool ImageReader::SeekTo(uint64_t offset) {
  progress_.Reach(passes_done_bytes_ + offset);
  return Seek(file_, offset);
}

void ImageReader::StartPass() {
  if (pass_ended_) passes_done_bytes_ += file_bytes_;
  pass_ended_ = false;
}

void ImageReader::EndPass() {
  progress_.Reach(passes_done_bytes_ + file_bytes_);
  pass_ended_ = true;
}

int ImageReader::Open(const char* path) {
  file_ = path != nullptr ? OpenToRead(path) : nullptr;
  if (file_ == nullptr) {
    if (path == nullptr) errno = EINVAL;
    return QSS_PLEX_UNREADABLE;
  }
  const int64_t length = FileLength(file_);
  if (length < 0) return QSS_PLEX_UNREADABLE;
  file_bytes_ = static_cast<uint64_t>(length);
  // A file too short for the magic is of another kind; one too short for
  // the version, an image cut short.
  unsigned char start[12] = {};
  const size_t got = std::fread(start, 1, sizeof(start), file_);
  progress_.Advance(got);
  if (got < sizeof(start) && std::ferror(file_)) return QSS_PLEX_UNREADABLE;
  if (std::memcmp(start, kMagic, sizeof(kMagic)) != 0) {
    return QSS_PLEX_NOT_AN_IMAGE;
  }
  if (got < sizeof(start)) return Damaged(QSS_PLEX_BLOCK_CUT);
  version_ = static_cast<uint32_t>(ReadUint(start + 8, 4));
  if (version_ > kCurrentFormat) return QSS_PLEX_NEWER_FORMAT;
  return version_ < kFirstFormat ? Damaged(QSS_PLEX_HEADER_DAMAGED)
                                 : QSS_PLEX_LOADED;
}

int ImageReader::ReadLayout(bool cut_ok, ImageLayout* layout) {
  layout->version = version_;
  layout->file_bytes = file_bytes_;
  switch (version_) {
    case kFirstFormat:
      return ReadFirstFormatLayout(layout);
    case kSecondFormat:
      return ReadSecondFormatLayout(cut_ok, layout);
    default:
      return ReadCurrentLayout(cut_ok, layout);
  }
}

// A table comes before the blocks it places, so a file cut short keeps it
// and only blocks are cut; checksums find any other damage in them.
int ImageReader::ReadCurrentLayout(bool cut_ok, ImageLayout* layout) {
  unsigned char header[kHeaderReadBytes];
  if (!SeekTo(0)) return QSS_PLEX_UNREADABLE;
  if (!Read(header, kHeaderReadBytes)) return ReadFailure();
  if (!IsCurrentHeader(header)) return Damaged(QSS_PLEX_HEADER_DAMAGED);
  Slot slot;
  const int number = ActiveSlot(header, &slot);
  int result = Damaged(QSS_PLEX_HEADER_DAMAGED);
  if (number >= 0) {
    result = ReadTable(slot, cut_ok, layout);
    if (result == QSS_PLEX_LOADED) {
      // The newer save a damaged slot hides must not be rolled back to
      // the older one silently, nor cut off by the next change.
      ImageLayout newer;
      const int hidden = NewerSaveBehindDamagedSlot(header, slot, &newer);
      if (hidden == QSS_PLEX_LOADED) {
        if (!cut_ok) return QSS_PLEX_NEWER_SAVE;
        newer.version = layout->version;
        newer.file_bytes = layout->file_bytes;
        newer.newest_slot_damaged = true;
        *layout = std::move(newer);
        return hidden;
      }
      if (hidden != QSS_PLEX_DAMAGED) return hidden;
      std::memcpy(layout->slot.data(), header + kSlotOffsets[number],
                  kSlotBytes);
      return result;
    }
  }
  if (!cut_ok || result == QSS_PLEX_UNREADABLE ||
      result == QSS_PLEX_TOO_LARGE) {
    return result;
  }
  // Salvaging: the newest earlier image the file still holds a table of.
  // Without a sound header slot nothing tells how far the changes went.
  const uint64_t newest = number >= 0 ? slot.generation : UINT64_MAX;
  for (const Slot& earlier : EarlierImages(header, newest)) {
    result = ReadTable(earlier, true, layout);
    if (result == QSS_PLEX_UNREADABLE || result == QSS_PLEX_TOO_LARGE) {
      return result;
    }
    if (result != QSS_PLEX_LOADED) continue;
    if (number >= 0) {
      layout->changes_lost = newest - earlier.generation;
    } else {
      layout->header_damaged = true;
    }
    return result;
  }
  return Damaged(number >= 0 ? QSS_PLEX_TABLE_DAMAGED
                             : QSS_PLEX_HEADER_DAMAGED);
}

int ImageReader::CheckIdLimit(uint64_t id_limit) {
  if (id_limit < 1 || id_limit > kMaxPlexIds) {
    return Damaged(QSS_PLEX_HEADER_DAMAGED);
  }
  return id_limit > id_capacity_ ? QSS_PLEX_TOO_LARGE : QSS_PLEX_LOADED;
}

int ImageReader::TableChecksumHolds(uint64_t offset, uint64_t count,
                                    uint64_t entry_bytes, uint64_t checksum) {
  if (!Seek(file_, offset)) return QSS_PLEX_UNREADABLE;
  scratch_.resize(kPieceBytes);
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  for (uint64_t left = count * entry_bytes; left > 0;) {
    const uint64_t piece = std::min(kPieceBytes, left);
    if (!Read(scratch_.data(), piece)) return ReadFailure();
    XXH3_64bits_update(&state, scratch_.data(), static_cast<size_t>(piece));
    left -= piece;
  }
  return XXH3_64bits_digest(&state) == checksum
             ? QSS_PLEX_LOADED
             : Damaged(QSS_PLEX_TABLE_DAMAGED);
}

// Nothing is allocated after what the header claims before the file has
// shown that claim true: the ids are bounded by the plex, and the table is
// summed in pieces before it is decoded.
// An image of more ids than this plex has is too large only once its table
// shows it sound; its entries are checked then but not kept.
int ImageReader::ReadTable(const Slot& slot, bool cut_ok, ImageLayout* layout) {
  const int ids = CheckIdLimit(slot.id_limit);
  if (ids == QSS_PLEX_DAMAGED) return ids;
  const uint64_t table_end = slot.table_offset + kEntryBytes * slot.count;
  if (slot.count >= slot.id_limit || slot.words > kMaxImageWords ||
      slot.table_offset < kDataStart || slot.table_offset > slot.end ||
      slot.end - slot.table_offset < kEntryBytes * slot.count) {
    return Damaged(QSS_PLEX_HEADER_DAMAGED);
  }
  if (file_bytes_ < (cut_ok ? table_end : slot.end)) {
    return Damaged(QSS_PLEX_BLOCK_CUT);
  }
  // Read outside the pass's progress, which goes through the blocks.
  const int summed = TableChecksumHolds(slot.table_offset, slot.count,
                                        kEntryBytes, slot.table_checksum);
  if (summed != QSS_PLEX_LOADED) return summed;
  layout->id_limit = slot.id_limit;
  layout->words = slot.words;
  layout->generation = slot.generation;
  layout->end = slot.end;
  const bool kept = ids == QSS_PLEX_LOADED;
  if (kept) layout->blocks.resize(slot.count);
  if (!Seek(file_, slot.table_offset)) return QSS_PLEX_UNREADABLE;
  constexpr size_t kEntriesPerPiece = kPieceBytes / kEntryBytes;
  uint64_t sum = 0;
  uint64_t furthest = table_end;  // the image's end is the last thing in it
  uint32_t previous_id = 0;
  ImageBlock not_kept;
  for (size_t i = 0; i < slot.count; ++i) {
    const size_t in_piece = i % kEntriesPerPiece;
    if (in_piece == 0) {
      const size_t entries = std::min<size_t>(kEntriesPerPiece, slot.count - i);
      if (!Read(scratch_.data(), entries * kEntryBytes)) return ReadFailure();
    }
    const unsigned char* entry = scratch_.data() + in_piece * kEntryBytes;
    ImageBlock& block = kept ? layout->blocks[i] : not_kept;
    block.id = static_cast<uint32_t>(ReadUint(entry, 4));
    block.words = static_cast<uint32_t>(ReadUint(entry + 4, 4));
    block.offset = ReadUint(entry + 8, 8);
    block.checksum = ReadUint(entry + 16, 8);
    if (block.id <= previous_id || block.id >= slot.id_limit ||
        block.words > INT_MAX || block.offset < kDataStart ||
        block.offset > slot.end ||
        (slot.end - block.offset) / 4 < block.words) {
      return Damaged(QSS_PLEX_TABLE_DAMAGED);
    }
    sum += block.words;
    furthest = std::max(furthest, block.offset + uint64_t{block.words} * 4);
    previous_id = block.id;
  }
  // An end past everything the image holds would make a file cut before
  // it look whole but for the cut.
  return sum == slot.words && slot.end <= furthest
             ? ids
             : Damaged(QSS_PLEX_TABLE_DAMAGED);
}

// Blocks are read in the order of their places in the file, which in an
// image saved by changes is not the order of their ids.
int ImageReader::ReadBlocks(const ImageLayout& layout,
                            const std::vector<BlockTarget>* targets,
                            const DamageSink* salvage) {
  if (layout.version == kFirstFormat) {
    return ReadFirstFormatBlocks(layout, targets);
  }
  StartPass();
  std::vector<size_t> order(layout.blocks.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return layout.blocks[a].offset < layout.blocks[b].offset;
  });
  scratch_.resize(kPieceBytes);
  std::vector<std::pair<uint32_t, int>> damaged;  // (id, damage)
  uint64_t position = UINT64_MAX;
  for (size_t i : order) {
    const BlockTarget target =
        targets != nullptr ? (*targets)[i] : BlockTarget{};
    if (target.skip) continue;
    const ImageBlock& block = layout.blocks[i];
    if (block.offset != position && !SeekTo(block.offset)) {
      return QSS_PLEX_UNREADABLE;
    }
    auto* to = reinterpret_cast<unsigned char*>(target.to);
    const uint64_t bytes = uint64_t{block.words} * 4;
    XXH3_state_t state;
    XXH3_64bits_reset(&state);
    uint64_t got = 0;
    if (to == nullptr && IsLargeBlock(block.words) &&
        block.offset <= file_bytes_ && bytes <= file_bytes_ - block.offset) {
      got = SumThroughViews(file_, block.offset, bytes, &state, &progress_);
      if (got > 0 && !SeekTo(block.offset + got)) return QSS_PLEX_UNREADABLE;
    }
    while (got < bytes) {
      const size_t piece =
          static_cast<size_t>(std::min(kPieceBytes, bytes - got));
      unsigned char* into = to != nullptr ? to + got : scratch_.data();
      const size_t n = std::fread(into, 1, piece, file_);
      progress_.Advance(n);
      XXH3_64bits_update(&state, into, n);
      got += n;
      if (n < piece) {
        if (std::ferror(file_)) return QSS_PLEX_UNREADABLE;
        break;
      }
    }
    position = block.offset + got;
    int damage = 0;
    if (got < bytes) {
      damage = QSS_PLEX_BLOCK_CUT;
      if (to != nullptr) std::memset(to + got, 0, bytes - got);
      position = UINT64_MAX;
    } else if (XXH3_64bits_digest(&state) != block.checksum) {
      damage = QSS_PLEX_BLOCK_CHECKSUM;
    }
    if (damage == 0) continue;
    if (salvage == nullptr) return Damaged(damage, block.id);
    damaged.emplace_back(block.id, damage);
  }
  EndPass();
  std::sort(damaged.begin(), damaged.end());
  if (salvage != nullptr && salvage->report != nullptr) {
    for (const auto& [id, damage] : damaged) {
      salvage->report(static_cast<int>(id), damage, salvage->context);
    }
  }
  return QSS_PLEX_LOADED;
}

int VerifyImageBlock(std::FILE* file, const ImageBlock& block) {
  const int64_t length = FileLength(file);
  if (length < 0) return QSS_PLEX_UNREADABLE;
  const uint64_t bytes = uint64_t{block.words} * 4;
  if (block.offset > static_cast<uint64_t>(length) ||
      bytes > static_cast<uint64_t>(length) - block.offset) {
    return QSS_PLEX_DAMAGED;
  }
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  ProgressCounter quiet;
  uint64_t got = SumThroughViews(file, block.offset, bytes, &state, &quiet);
  if (got < bytes && !Seek(file, block.offset + got)) {
    return QSS_PLEX_UNREADABLE;
  }
  std::vector<unsigned char> piece(
      static_cast<size_t>(std::min(kPieceBytes, bytes - got)));
  while (got < bytes) {
    const size_t want = static_cast<size_t>(std::min(kPieceBytes, bytes - got));
    const size_t n = std::fread(piece.data(), 1, want, file);
    XXH3_64bits_update(&state, piece.data(), n);
    got += n;
    if (n < want) {
      return std::ferror(file) ? QSS_PLEX_UNREADABLE : QSS_PLEX_DAMAGED;
    }
  }
  return XXH3_64bits_digest(&state) == block.checksum ? QSS_PLEX_LOADED
                                                      : QSS_PLEX_DAMAGED;
}

}  // namespace qss::standins
