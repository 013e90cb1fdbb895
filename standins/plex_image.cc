// Image file layout, version 2. Integers are little-endian; n is the number of
// live blocks, w their word counts summed.
//
// | offset     | bytes | field                                               |
// |------------|-------|-----------------------------------------------------|
// | 0          | 8     | magic "QSSPLEX\x1A"                                 |
// | 8          | 4     | version: 2                                          |
// | 12         | 4     | id limit: one past the highest id ever handed out   |
// | 16         | 4     | n                                                   |
// | 20         | 4     | 0                                                   |
// | 24         | 8     | w                                                   |
// | 32         | 8     | XXH3-64 of the block table                          |
// | 40         | 8     | XXH3-64 of bytes 0 to 39                            |
// | 48         | 16 n  | block table, by increasing id, per block: u32 id,   |
// |            |       | u32 word count, u64 XXH3-64 of its 4 x words bytes  |
// | 48 + 16 n  | 4 w   | the blocks' words, in table order                   |
//
// The file is exactly 48 + 16 n + 4 w bytes long, so a cut file is known
// before any word is read, and what a block needs is known from the table
// alone. A block's own checksum tells a damaged block from its sound
// neighbours; the two small checksums make the table trustworthy first.
//
// Version 1 (read only): magic, u32 version 1, u32 id limit, u32 n, then per
// block by increasing id u32 id, u32 word count and the words; last a u64
// FNV-1a of every byte before it.
#include "standins/plex_image.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#if defined(_WIN32)
#include <io.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#define XXH_INLINE_ALL
#include "xxhash.h"

// The blocks' words and the table go between plex and file as they lie in
// memory.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "image files are little-endian");
static_assert(sizeof(qss::standins::ImageBlock) == 16, "table entry");

namespace qss::standins {
namespace {

constexpr unsigned char kMagic[8] = {'Q', 'S', 'S', 'P', 'L', 'E', 'X', 0x1A};
constexpr uint32_t kFirstFormat = 1;
constexpr uint32_t kCurrentFormat = 2;
constexpr uint64_t kHeaderBytes = 48;
constexpr uint64_t kHeaderCheckedBytes = 40;
constexpr uint64_t kFirstHeaderBytes = 20;
constexpr uint64_t kFirstBlockHeaderBytes = 8;
constexpr uint64_t kFirstChecksumBytes = 8;
// Pieces of this size move between file and plex: large enough that calls
// cost nothing beside the copying, small enough to stay in the cache for the
// checksum that follows.
constexpr uint64_t kPieceBytes = 1 << 20;
// More words than this cannot be live in any plex (8 GiB of words at most).
constexpr uint64_t kMaxImageWords = uint64_t{1} << 31;
constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

uint64_t ReadUint(const unsigned char* data, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= uint64_t{data[i]} << (8 * i);
  return value;
}

void PutUint(uint64_t value, int bytes, unsigned char* out) {
  for (int i = 0; i < bytes; ++i) out[i] = (value >> (8 * i)) & 0xFF;
}

uint64_t Fnv1a(uint64_t hash, const unsigned char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * kFnvPrime;
  return hash;
}

int64_t FileLength(std::FILE* file) {
#if defined(_WIN32)
  return _filelengthi64(_fileno(file));
#else
  struct stat status;
  return fstat(fileno(file), &status) == 0 ? status.st_size : -1;
#endif
}

bool Seek(std::FILE* file, uint64_t offset) {
#if defined(_WIN32)
  return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

bool SyncToDevice(std::FILE* file) {
#if defined(_WIN32)
  return _commit(_fileno(file)) == 0;
#else
  return fsync(fileno(file)) == 0;
#endif
}

bool Write(std::FILE* file, const void* data, uint64_t bytes) {
  return std::fwrite(data, 1, static_cast<size_t>(bytes), file) == bytes;
}

}  // namespace

void ProgressCounter::Reach(uint64_t done) {
  if (done <= done_) return;
  done_ = done;
  if (sink_.callback == nullptr) return;
  if (done_ - reported_ >= kPieceBytes || done_ >= total_) {
    reported_ = done_;
    sink_.callback(done_, std::max(done_, total_), sink_.context);
  }
}

// The table and header go last, once the words have given their checksums:
// each piece is summed as it goes out, still in the cache.
int WriteImage(const char* path, uint32_t id_limit,
               const std::vector<SavedBlock>& blocks,
               const ProgressSink& progress, bool sync) {
  std::vector<ImageBlock> table(blocks.size());
  uint64_t words = 0;
  for (const SavedBlock& block : blocks) words += block.words;
  const uint64_t table_bytes = table.size() * sizeof(ImageBlock);
  ProgressCounter counter(progress, kHeaderBytes + table_bytes + 4 * words);
  std::FILE* file = path != nullptr ? std::fopen(path, "wb") : nullptr;
  if (file == nullptr) {
    if (path == nullptr) errno = EINVAL;
    return 1;
  }
  bool ok = Seek(file, kHeaderBytes + table_bytes);
  for (size_t i = 0; ok && i < blocks.size(); ++i) {
    const auto* data = reinterpret_cast<const unsigned char*>(blocks[i].data);
    const uint64_t bytes = uint64_t{blocks[i].words} * 4;
    XXH3_state_t state;
    XXH3_64bits_reset(&state);
    for (uint64_t at = 0; ok && at < bytes; at += kPieceBytes) {
      const uint64_t piece = std::min(kPieceBytes, bytes - at);
      XXH3_64bits_update(&state, data + at, static_cast<size_t>(piece));
      ok = Write(file, data + at, piece);
      counter.Advance(piece);
    }
    table[i] = {blocks[i].id, blocks[i].words, XXH3_64bits_digest(&state)};
  }
  unsigned char header[kHeaderBytes] = {};
  std::memcpy(header, kMagic, sizeof(kMagic));
  PutUint(kCurrentFormat, 4, header + 8);
  PutUint(id_limit, 4, header + 12);
  PutUint(table.size(), 4, header + 16);
  PutUint(words, 8, header + 24);
  PutUint(XXH3_64bits(table.data(), static_cast<size_t>(table_bytes)), 8,
          header + 32);
  PutUint(XXH3_64bits(header, kHeaderCheckedBytes), 8, header + 40);
  ok = ok && Seek(file, 0) && Write(file, header, kHeaderBytes) &&
       Write(file, table.data(), table_bytes) && std::fflush(file) == 0 &&
       (!sync || SyncToDevice(file));
  counter.Advance(kHeaderBytes + table_bytes);
  int error = errno;
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok) return 0;
  std::remove(path);
  errno = error;
  return 1;
}

ImageReader::~ImageReader() {
  if (file_ != nullptr) std::fclose(file_);
}

bool ImageReader::Read(void* out, uint64_t bytes) {
  if (bytes > SIZE_MAX) return false;
  const size_t got = std::fread(out, 1, static_cast<size_t>(bytes), file_);
  progress_.Advance(got);
  return got == bytes;
}

int ImageReader::ReadFailure() const {
  return std::ferror(file_) ? QSS_PLEX_UNREADABLE : QSS_PLEX_DAMAGED;
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
  file_ = path != nullptr ? std::fopen(path, "rb") : nullptr;
  if (file_ == nullptr) {
    if (path == nullptr) errno = EINVAL;
    return QSS_PLEX_UNREADABLE;
  }
  const int64_t length = FileLength(file_);
  if (length < 0) return QSS_PLEX_UNREADABLE;
  file_bytes_ = static_cast<uint64_t>(length);
  unsigned char start[12];
  if (!Read(start, sizeof(start))) return ReadFailure();
  version_ = static_cast<uint32_t>(ReadUint(start + 8, 4));
  if (std::memcmp(start, kMagic, sizeof(kMagic)) != 0 ||
      (version_ != kFirstFormat && version_ != kCurrentFormat)) {
    return QSS_PLEX_DAMAGED;
  }
  return QSS_PLEX_LOADED;
}

int ImageReader::ReadLayout(bool cut_ok, ImageLayout* layout) {
  layout->version = version_;
  layout->file_bytes = file_bytes_;
  if (version_ == kFirstFormat) return ReadFirstFormatLayout(layout);
  unsigned char header[kHeaderBytes];
  if (!SeekTo(0)) return QSS_PLEX_UNREADABLE;
  if (!Read(header, kHeaderBytes)) return ReadFailure();
  if (XXH3_64bits(header, kHeaderCheckedBytes) != ReadUint(header + 40, 8)) {
    return QSS_PLEX_DAMAGED;
  }
  const uint64_t id_limit = ReadUint(header + 12, 4);
  const uint64_t count = ReadUint(header + 16, 4);
  const uint64_t words = ReadUint(header + 24, 8);
  const uint64_t table_bytes = count * sizeof(ImageBlock);
  const uint64_t whole = kHeaderBytes + table_bytes + 4 * words;
  if (id_limit < 1 || id_limit > INT_MAX || count >= id_limit ||
      ReadUint(header + 20, 4) != 0 || words > kMaxImageWords ||
      file_bytes_ < kHeaderBytes + table_bytes || file_bytes_ > whole ||
      (!cut_ok && file_bytes_ != whole)) {
    return QSS_PLEX_DAMAGED;
  }
  layout->id_limit = static_cast<uint32_t>(id_limit);
  layout->words = words;
  layout->blocks.resize(static_cast<size_t>(count));
  if (!Read(layout->blocks.data(), table_bytes)) return ReadFailure();
  if (XXH3_64bits(layout->blocks.data(), static_cast<size_t>(table_bytes)) !=
      ReadUint(header + 32, 8)) {
    return QSS_PLEX_DAMAGED;
  }
  uint64_t sum = 0;
  uint32_t previous_id = 0;
  for (const ImageBlock& block : layout->blocks) {
    if (block.id <= previous_id || block.id >= id_limit ||
        block.words > INT_MAX) {
      return QSS_PLEX_DAMAGED;
    }
    sum += block.words;
    previous_id = block.id;
  }
  return sum == words ? QSS_PLEX_LOADED : QSS_PLEX_DAMAGED;
}

int ImageReader::ReadBlocks(const ImageLayout& layout,
                            int32_t* const* destinations,
                            const DamageSink* salvage) {
  if (layout.version == kFirstFormat) {
    return ReadFirstFormatBlocks(layout, destinations);
  }
  StartPass();
  if (!SeekTo(kHeaderBytes + layout.blocks.size() * sizeof(ImageBlock))) {
    return QSS_PLEX_UNREADABLE;
  }
  if (destinations == nullptr) scratch_.resize(kPieceBytes);
  bool at_end = false;
  for (size_t i = 0; i < layout.blocks.size(); ++i) {
    const ImageBlock& block = layout.blocks[i];
    auto* to = destinations != nullptr
                   ? reinterpret_cast<unsigned char*>(destinations[i])
                   : nullptr;
    const uint64_t bytes = uint64_t{block.words} * 4;
    XXH3_state_t state;
    XXH3_64bits_reset(&state);
    uint64_t got = 0;
    while (got < bytes && !at_end) {
      const size_t piece =
          static_cast<size_t>(std::min(kPieceBytes, bytes - got));
      unsigned char* into = to != nullptr ? to + got : scratch_.data();
      const size_t n = std::fread(into, 1, piece, file_);
      progress_.Advance(n);
      XXH3_64bits_update(&state, into, n);
      got += n;
      if (n < piece) {
        if (std::ferror(file_)) return QSS_PLEX_UNREADABLE;
        at_end = true;
      }
    }
    int damage = 0;
    if (got < bytes) {
      damage = QSS_PLEX_BLOCK_CUT;
      if (to != nullptr) std::memset(to + got, 0, bytes - got);
    } else if (XXH3_64bits_digest(&state) != block.checksum) {
      damage = QSS_PLEX_BLOCK_CHECKSUM;
    }
    if (damage == 0) continue;
    if (salvage == nullptr) return QSS_PLEX_DAMAGED;
    if (salvage->report != nullptr) {
      salvage->report(static_cast<int>(block.id), damage, salvage->context);
    }
  }
  EndPass();
  return QSS_PLEX_LOADED;
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
    return QSS_PLEX_DAMAGED;
  }
  const uint64_t body = file_bytes_ - kFirstChecksumBytes;
  unsigned char header[kFirstHeaderBytes];
  if (!SeekTo(0)) return QSS_PLEX_UNREADABLE;
  if (!read(header, kFirstHeaderBytes)) return ReadFailure();
  const uint64_t id_limit = ReadUint(header + 12, 4);
  const uint64_t count = ReadUint(header + 16, 4);
  if (id_limit < 1 || id_limit > INT_MAX || count >= id_limit) {
    return QSS_PLEX_DAMAGED;
  }
  layout->id_limit = static_cast<uint32_t>(id_limit);
  scratch_.resize(kPieceBytes);
  uint64_t at = kFirstHeaderBytes;
  uint64_t previous_id = 0;
  for (uint64_t i = 0; i < count; ++i) {
    unsigned char block_header[kFirstBlockHeaderBytes];
    if (body - at < kFirstBlockHeaderBytes) return QSS_PLEX_DAMAGED;
    if (!read(block_header, kFirstBlockHeaderBytes)) return ReadFailure();
    at += kFirstBlockHeaderBytes;
    const uint64_t id = ReadUint(block_header, 4);
    const uint64_t words = ReadUint(block_header + 4, 4);
    if (id <= previous_id || id >= id_limit || words > INT_MAX ||
        (body - at) / 4 < words) {
      return QSS_PLEX_DAMAGED;
    }
    for (uint64_t left = words * 4; left > 0;) {
      const uint64_t piece = std::min(kPieceBytes, left);
      if (!read(scratch_.data(), piece)) return ReadFailure();
      left -= piece;
    }
    at += words * 4;
    layout->blocks.push_back(
        {static_cast<uint32_t>(id), static_cast<uint32_t>(words), 0});
    layout->words += words;
    previous_id = id;
  }
  unsigned char checksum[kFirstChecksumBytes];
  if (at != body) return QSS_PLEX_DAMAGED;
  if (!Read(checksum, kFirstChecksumBytes)) return ReadFailure();
  EndPass();
  return ReadUint(checksum, 8) == hash ? QSS_PLEX_LOADED : QSS_PLEX_DAMAGED;
}

// Verified whole already: this pass only copies, and checks that the file
// still says what it said.
int ImageReader::ReadFirstFormatBlocks(const ImageLayout& layout,
                                       int32_t* const* destinations) {
  if (destinations == nullptr) return QSS_PLEX_LOADED;
  StartPass();
  if (!SeekTo(kFirstHeaderBytes)) return QSS_PLEX_UNREADABLE;
  for (size_t i = 0; i < layout.blocks.size(); ++i) {
    unsigned char block_header[kFirstBlockHeaderBytes];
    if (!Read(block_header, kFirstBlockHeaderBytes)) return ReadFailure();
    if (ReadUint(block_header, 4) != layout.blocks[i].id ||
        ReadUint(block_header + 4, 4) != layout.blocks[i].words) {
      return QSS_PLEX_DAMAGED;
    }
    auto* to = reinterpret_cast<unsigned char*>(destinations[i]);
    const uint64_t bytes = uint64_t{layout.blocks[i].words} * 4;
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
