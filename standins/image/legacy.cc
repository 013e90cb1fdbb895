// Reads images of the first and second formats, which are read but no
// longer written: docs/image-format.md, "Version 2" and "Version 1".
#include <algorithm>
#include <climits>
#include <cstring>

#include "standins/image/file_io.h"
#include "standins/image/reader.h"

namespace qss::standins {

int ImageReader::ReadSecondFormatLayout(bool cut_ok, ImageLayout* layout) {
  unsigned char header[kSecondHeaderBytes];
  if (!SeekTo(0)) return QSS_PLEX_UNREADABLE;
  if (!Read(header, kSecondHeaderBytes)) return ReadFailure();
  if (XXH3_64bits(header, kSecondHeaderCheckedBytes) !=
      ReadUint(header + 40, 8)) {
    return Damaged(QSS_PLEX_HEADER_DAMAGED);
  }
  const uint64_t id_limit = ReadUint(header + 12, 4);
  const uint64_t count = ReadUint(header + 16, 4);
  const uint64_t words = ReadUint(header + 24, 8);
  const uint64_t table_bytes = count * kSecondEntryBytes;
  const uint64_t whole = kSecondHeaderBytes + table_bytes + 4 * words;
  const int ids = CheckIdLimit(id_limit);
  if (ids == QSS_PLEX_DAMAGED) return ids;
  if (count >= id_limit || ReadUint(header + 20, 4) != 0 ||
      words > kMaxImageWords || file_bytes_ > whole) {
    return Damaged(QSS_PLEX_HEADER_DAMAGED);
  }
  if (file_bytes_ < kSecondHeaderBytes + table_bytes ||
      (!cut_ok && file_bytes_ != whole)) {
    return Damaged(QSS_PLEX_BLOCK_CUT);
  }
  layout->id_limit = static_cast<uint32_t>(id_limit);
  layout->words = words;
  layout->end = whole;
  std::vector<unsigned char> table(static_cast<size_t>(table_bytes));
  if (!Read(table.data(), table_bytes)) return ReadFailure();
  if (XXH3_64bits(table.data(), table.size()) != ReadUint(header + 32, 8)) {
    return Damaged(QSS_PLEX_TABLE_DAMAGED);
  }
  layout->blocks.resize(static_cast<size_t>(count));
  uint64_t at = kSecondHeaderBytes + table_bytes;
  uint32_t previous_id = 0;
  for (size_t i = 0; i < layout->blocks.size(); ++i) {
    const unsigned char* entry = table.data() + i * kSecondEntryBytes;
    ImageBlock& block = layout->blocks[i];
    block.id = static_cast<uint32_t>(ReadUint(entry, 4));
    block.words = static_cast<uint32_t>(ReadUint(entry + 4, 4));
    block.checksum = ReadUint(entry + 8, 8);
    block.offset = at;
    if (block.id <= previous_id || block.id >= id_limit ||
        block.words > INT_MAX) {
      return Damaged(QSS_PLEX_TABLE_DAMAGED);
    }
    at += uint64_t{block.words} * 4;
    previous_id = block.id;
  }
  // Of more ids than this plex has, too large now that it shows sound.
  return at == whole ? ids : Damaged(QSS_PLEX_TABLE_DAMAGED);
}

// The one checksum covers the whole file, so the whole file is read here,
// through the scratch buffer, before anything is trusted.
int ImageReader::ReadFirstFormatLayout(ImageLayout* layout) {
  uint64_t hash = kFnvOffset;
  auto read = [&](void* out, uint64_t bytes) {
    if (!Read(out, bytes)) return false;
    hash = Fnv1a(hash, static_cast<unsigned char*>(out),
                 static_cast<size_t>(bytes));
    return true;
  };
  if (file_bytes_ < kFirstHeaderBytes + kFirstChecksumBytes) {
    return Damaged(QSS_PLEX_IMAGE_CHECKSUM);
  }
  const uint64_t body = file_bytes_ - kFirstChecksumBytes;
  unsigned char header[kFirstHeaderBytes];
  if (!SeekTo(0)) return QSS_PLEX_UNREADABLE;
  if (!read(header, kFirstHeaderBytes)) return ReadFailure();
  const uint64_t id_limit = ReadUint(header + 12, 4);
  const uint64_t count = ReadUint(header + 16, 4);
  const int ids = CheckIdLimit(id_limit);
  if (ids == QSS_PLEX_DAMAGED) return ids;
  if (count >= id_limit) return Damaged(QSS_PLEX_IMAGE_CHECKSUM);
  layout->id_limit = static_cast<uint32_t>(id_limit);
  layout->end = file_bytes_;
  scratch_.resize(kPieceBytes);
  uint64_t at = kFirstHeaderBytes;
  uint64_t previous_id = 0;
  for (uint64_t i = 0; i < count; ++i) {
    unsigned char block_header[kFirstBlockHeaderBytes];
    if (body - at < kFirstBlockHeaderBytes) {
      return Damaged(QSS_PLEX_IMAGE_CHECKSUM);
    }
    if (!read(block_header, kFirstBlockHeaderBytes)) return ReadFailure();
    at += kFirstBlockHeaderBytes;
    const uint64_t id = ReadUint(block_header, 4);
    const uint64_t words = ReadUint(block_header + 4, 4);
    if (id <= previous_id || id >= id_limit || words > INT_MAX ||
        (body - at) / 4 < words) {
      return Damaged(QSS_PLEX_IMAGE_CHECKSUM);
    }
    for (uint64_t left = words * 4; left > 0;) {
      const uint64_t piece = std::min(kPieceBytes, left);
      if (!read(scratch_.data(), piece)) return ReadFailure();
      left -= piece;
    }
    // Of more ids than this plex has, too large once it is read through
    // and its checksum holds; its blocks are not kept.
    if (ids == QSS_PLEX_LOADED) {
      layout->blocks.push_back(
          {static_cast<uint32_t>(id), static_cast<uint32_t>(words), 0, at});
    }
    at += words * 4;
    layout->words += words;
    previous_id = id;
  }
  unsigned char checksum[kFirstChecksumBytes];
  if (at != body) return Damaged(QSS_PLEX_IMAGE_CHECKSUM);
  if (!Read(checksum, kFirstChecksumBytes)) return ReadFailure();
  EndPass();
  return ReadUint(checksum, 8) == hash ? ids
                                       : Damaged(QSS_PLEX_IMAGE_CHECKSUM);
}

// Verified whole already: this pass only copies, and checks that the file
// still says what it said.
int ImageReader::ReadFirstFormatBlocks(
    const ImageLayout& layout, const std::vector<BlockTarget>* targets) {
  if (targets == nullptr) return QSS_PLEX_LOADED;
  StartPass();
  for (size_t i = 0; i < layout.blocks.size(); ++i) {
    const ImageBlock& block = layout.blocks[i];
    auto* to = reinterpret_cast<unsigned char*>((*targets)[i].to);
    if ((*targets)[i].skip || to == nullptr) continue;
    unsigned char block_header[kFirstBlockHeaderBytes];
    if (!SeekTo(block.offset - kFirstBlockHeaderBytes)) {
      return QSS_PLEX_UNREADABLE;
    }
    if (!Read(block_header, kFirstBlockHeaderBytes)) return ReadFailure();
    if (ReadUint(block_header, 4) != block.id ||
        ReadUint(block_header + 4, 4) != block.words) {
      return Damaged(QSS_PLEX_IMAGE_CHECKSUM);
    }
    const uint64_t bytes = uint64_t{block.words} * 4;
    for (uint64_t at = 0; at < bytes; at += kPieceBytes) {
      if (!Read(to + at, std::min(kPieceBytes, bytes - at))) {
        return ReadFailure();
      }
    }
  }
  EndPass();
  return QSS_PLEX_LOADED;
}

}  // namespace qss::standins
