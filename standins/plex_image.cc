// The plex image file: its reader and writer. docs/image-format.md
// describes the format (versions 1 to 3), the two ways a save writes it
// (whole to a new file; a change added after the image's end, then the
// header slot switched) and how a salvaging load walks back through the
// earlier images a file still holds.
#include "standins/plex_image.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <numeric>

#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#define XXH_INLINE_ALL
#include "xxhash.h"

// The blocks' words go between plex and file as they lie in memory.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "image files are little-endian");

namespace qss::standins {

// One header slot of the current format, decoded.
struct Slot {
  uint64_t generation = 0;
  uint32_t id_limit = 0;
  uint32_t count = 0;
  uint64_t words = 0;
  uint64_t table_offset = 0;
  uint64_t table_checksum = 0;
  uint64_t end = 0;
};

namespace {

constexpr uint64_t kHeaderReadBytes = kBaseSlotOffset + kSlotBytes;
// An image with fewer live bytes is always written whole: that costs as
// little as adding to it, and keeps the file in one piece, in id order.
constexpr uint64_t kSmallImageBytes = 1 << 20;
// Pieces of this size move between file and plex: large enough that calls
// cost nothing beside the copying, small enough to stay in the cache for the
// checksum that follows.
constexpr uint64_t kPieceBytes = 1 << 20;
// A large block verified without being read into the plex is summed
// through views of the file this large: no copy of it is made, and the
// memory it holds stays bounded.
#if !defined(_WIN32)
constexpr uint64_t kViewBytes = 16 << 20;
#endif
// A file to be synced is sent on to the device in stretches of this size
// while it is written.
constexpr uint64_t kWriteBehindBytes = 8 << 20;
// More words than this cannot be live in any plex (8 GiB of words at most).
constexpr uint64_t kMaxImageWords = uint64_t{1} << 31;
// The highest generation a save writes. The next would not fit in a slot,
// and a slot's 0 means "never written": a change to an image this far on
// is saved whole, which starts again at generation 1.
constexpr uint64_t kMaxGeneration = UINT64_MAX - 1;

uint64_t ReadUint(const unsigned char* data, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= uint64_t{data[i]} << (8 * i);
  return value;
}

void PutUint(uint64_t value, int bytes, unsigned char* out) {
  for (int i = 0; i < bytes; ++i) out[i] = (value >> (8 * i)) & 0xFF;
}

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
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

// Starts writing the file's dirty pages in the range to the device, without
// waiting for them (where the system offers that).
void StartWriteBack(std::FILE* file, uint64_t offset, uint64_t bytes) {
#if defined(__linux__)
  sync_file_range(fileno(file), static_cast<off_t>(offset),
                  static_cast<off_t>(bytes), SYNC_FILE_RANGE_WRITE);
#else
  (void)file;
  (void)offset;
  (void)bytes;
#endif
}

// Cuts the file to `bytes`, its buffer flushed first.
bool Truncate(std::FILE* file, uint64_t bytes) {
  if (std::fflush(file) != 0) return false;
#if defined(_WIN32)
  return _chsize_s(_fileno(file), static_cast<__int64>(bytes)) == 0;
#else
  return ftruncate(fileno(file), static_cast<off_t>(bytes)) == 0;
#endif
}

void FormatSlot(const Slot& slot, int number, unsigned char* out) {
  std::memset(out, 0, kSlotBytes);
  PutUint(slot.generation, 8, out);
  PutUint(slot.id_limit, 4, out + 8);
  PutUint(slot.count, 4, out + 12);
  PutUint(slot.words, 8, out + 16);
  PutUint(slot.table_offset, 8, out + 24);
  PutUint(slot.table_checksum, 8, out + 32);
  PutUint(slot.end, 8, out + 40);
  PutUint(XXH3_64bits_withSeed(out, kSlotCheckedBytes, number), 8,
          out + kSlotCheckedBytes);
}

// False for a slot never written, or one a write left torn.
bool ParseSlot(const unsigned char* in, int number, Slot* slot) {
  if (XXH3_64bits_withSeed(in, kSlotCheckedBytes, number) !=
          ReadUint(in + kSlotCheckedBytes, 8) ||
      ReadUint(in + 48, 8) != 0) {
    return false;
  }
  slot->generation = ReadUint(in, 8);
  slot->id_limit = static_cast<uint32_t>(ReadUint(in + 8, 4));
  slot->count = static_cast<uint32_t>(ReadUint(in + 12, 4));
  slot->words = ReadUint(in + 16, 8);
  slot->table_offset = ReadUint(in + 24, 8);
  slot->table_checksum = ReadUint(in + 32, 8);
  slot->end = ReadUint(in + 40, 8);
  return slot->generation != 0;
}

// The slot in use in a header read through slot 1: -1 when none is valid.
int ActiveSlot(const unsigned char* header, Slot* active) {
  int number = -1;
  for (int k = 0; k < 2; ++k) {
    Slot slot;
    if (ParseSlot(header + kSlotOffsets[k], k, &slot) &&
        (number < 0 || slot.generation > active->generation)) {
      *active = slot;
      number = k;
    }
  }
  return number;
}

bool IsCurrentHeader(const unsigned char* header) {
  return std::memcmp(header, kMagic, sizeof(kMagic)) == 0 &&
         ReadUint(header + 8, 4) == kCurrentFormat &&
         ReadUint(header + 12, 4) == 0;
}

// Where the next block's words go, from `*at` on: large blocks at the next
// multiple of kImageAlignment. Moves `*at` past them.
uint64_t Place(uint64_t* at, uint32_t words) {
  if (IsLargeBlock(words)) *at = AlignUp(*at, kImageAlignment);
  const uint64_t offset = *at;
  *at += uint64_t{words} * 4;
  return offset;
}

// Places the table of `image` at `*at` and moves `*at` past it; sets the
// slot that describes the image but for the table's checksum and the end.
void PlaceTable(uint64_t* at, const ImageLayout& image, Slot* slot) {
  slot->table_offset = AlignUp(*at, 8);
  *at = slot->table_offset + kEntryBytes * image.blocks.size();
  slot->generation = image.generation;
  slot->id_limit = image.id_limit;
  slot->count = static_cast<uint32_t>(image.blocks.size());
  slot->words = image.words;
}

uint64_t BlockChecksum(const SavedBlock& block) {
  return XXH3_64bits(block.data, uint64_t{block.words} * 4);
}

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

// Sums `bytes` from `offset`, which the file holds, into `state` through
// mappings of the file rather than copies of it, where the system can.
// Returns the bytes summed: 0 where it cannot, fewer when it fails.
uint64_t SumThroughViews(std::FILE* file, uint64_t offset, uint64_t bytes,
                         XXH3_state_t* state, ProgressCounter* progress) {
#if defined(_WIN32)
  (void)file;
  (void)progress;
  (void)offset;
  (void)bytes;
  (void)state;
  return 0;
#else
  static const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  uint64_t done = 0;
  while (done < bytes) {
    const uint64_t start = (offset + done) / page * page;
    const uint64_t skip = offset + done - start;
    const uint64_t piece = std::min(kViewBytes, bytes - done);
    void* view =
        mmap(nullptr, skip + piece, PROT_READ, MAP_PRIVATE | MAP_POPULATE,
             fileno(file), static_cast<off_t>(start));
    if (view == MAP_FAILED) break;
    XXH3_64bits_update(state, static_cast<unsigned char*>(view) + skip,
                       static_cast<size_t>(piece));
    munmap(view, skip + piece);
    done += piece;
    progress->Advance(piece);
  }
  return done;
#endif
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
  ProgressCounter counter(progress, image.end);
  Output out(file, &counter, sync);
  bool ok = true;
  for (size_t i = 0; ok && i < blocks.size(); ++i) {
    ok = out.PutBlock(blocks[i], image.blocks[i].offset,
                      &image.blocks[i].checksum);
  }
  ok = ok && out.PutTable(image.blocks, &slot);
  const int number = static_cast<int>(image.generation % 2);
  std::vector<unsigned char> page(kDataStart);
  std::memcpy(page.data(), kMagic, sizeof(kMagic));
  PutUint(kCurrentFormat, 4, page.data() + 8);
  FormatSlot(slot, number, page.data() + kSlotOffsets[number]);
  FormatSlot(slot, kBaseSeed, page.data() + kBaseSlotOffset);
  std::memcpy(image.slot.data(), page.data() + kSlotOffsets[number],
              kSlotBytes);
  ok = ok && out.At(0) && out.Put(page.data(), page.size()) &&
       std::fflush(file) == 0 && (!sync || SyncToDevice(file));
  counter.Reach(image.end);
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

int UpdateImage(const char* path, uint32_t id_limit,
                const std::vector<SavedBlock>& blocks, const ImageLayout& base,
                const ProgressSink& progress, bool sync, ImageLayout* written,
                bool whole_when_due) {
  if (base.generation == 0 || base.generation >= kMaxGeneration ||
      path == nullptr) {
    return QSS_PLEX_SAVE_WHOLE;
  }
  std::FILE* file = std::fopen(path, "r+b");
  if (file == nullptr) return errno == ENOENT ? QSS_PLEX_SAVE_WHOLE : 1;
  // The file must hold `base` still: the same slot in use, and all of it.
  unsigned char header[kHeaderReadBytes];
  Slot active;
  const int in_use =
      std::fread(header, 1, sizeof(header), file) == sizeof(header) &&
              IsCurrentHeader(header)
          ? ActiveSlot(header, &active)
          : -1;
  const int64_t length = FileLength(file);
  if (in_use < 0 || active.generation != base.generation ||
      std::memcmp(header + kSlotOffsets[in_use], base.slot.data(),
                  kSlotBytes) != 0 ||
      length < 0 || static_cast<uint64_t>(length) < base.end) {
    std::fclose(file);
    return QSS_PLEX_SAVE_WHOLE;
  }

  ImageLayout image;
  image.version = kCurrentFormat;
  image.id_limit = id_limit;
  image.generation = base.generation + 1;
  uint64_t live_bytes = kDataStart + kEntryBytes * blocks.size();
  for (const SavedBlock& block : blocks)
    live_bytes += uint64_t{block.words} * 4;
  ProgressCounter counter(progress, live_bytes);
  // A block keeps its place when `base` has it with the same size and
  // checksum; the rest go after the image's end, in id order.
  std::vector<size_t> added;
  size_t k = 0;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const SavedBlock& block = blocks[i];
    image.blocks.push_back({block.id, block.words, 0, 0});
    image.words += block.words;
    while (k < base.blocks.size() && base.blocks[k].id < block.id) ++k;
    if (k < base.blocks.size() && base.blocks[k].id == block.id &&
        base.blocks[k].words == block.words &&
        base.blocks[k].checksum == BlockChecksum(block)) {
      image.blocks.back() = base.blocks[k];
      counter.Advance(uint64_t{block.words} * 4);
    } else {
      added.push_back(i);
    }
  }
  const uint64_t head_offset = AlignUp(base.end, 8);
  uint64_t at = head_offset + kSlotBytes;
  Slot slot;
  PlaceTable(&at, image, &slot);
  for (size_t i : added) image.blocks[i].offset = Place(&at, blocks[i].words);
  image.end = image.file_bytes = slot.end = at;
  if (whole_when_due &&
      (image.end > 2 * live_bytes || live_bytes < kSmallImageBytes)) {
    std::fclose(file);
    return QSS_PLEX_SAVE_WHOLE;
  }

  Output out(file, &counter, sync);
  bool ok = Truncate(file, base.end);
  for (size_t i : added) {
    ok = ok && out.PutBlock(blocks[i], image.blocks[i].offset,
                            &image.blocks[i].checksum);
  }
  unsigned char head[kSlotBytes];
  ok = ok && out.PutTable(image.blocks, &slot);
  FormatSlot(slot, kHeadSeed, head);
  ok = ok && out.At(head_offset) && out.Put(head, kSlotBytes) &&
       std::fflush(file) == 0 && (!sync || SyncToDevice(file));
  if (!ok) {
    // The old slot is still the image: what was added is cut off again.
    const int error = errno;
    Truncate(file, base.end);
    std::fclose(file);
    errno = error;
    return 1;
  }
  const int number = static_cast<int>(image.generation % 2);
  FormatSlot(slot, number, image.slot.data());
  if (!out.At(kSlotOffsets[number])) {
    const int error = errno;  // the old slot is still the image
    std::fclose(file);
    errno = error;
    return 1;
  }
  // From here a failure leaves the slot's bytes wherever they got to: the
  // system may have written them, or may write them later, or never.
  ok = out.Put(image.slot.data(), kSlotBytes) && std::fflush(file) == 0 &&
       (!sync || SyncToDevice(file));
  counter.Reach(live_bytes);
  int error = errno;
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    errno = error;
    return QSS_PLEX_SAVE_UNSURE;
  }
  *written = std::move(image);
  return 0;
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
  file_ = path != nullptr ? std::fopen(path, "rb") : nullptr;
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

std::vector<Slot> ImageReader::EarlierImages(const unsigned char* header,
                                             uint64_t newest) {
  // Of the images the heads lead to only the newest few are kept: the
  // file's end cuts off one or two at most, and a crafted file may hold
  // one head in every 64 bytes.
  constexpr size_t kKept = 8;
  std::deque<Slot> chain;
  std::vector<Slot> found;
  for (int k = 0; k < 2; ++k) {
    Slot slot;
    if (ParseSlot(header + kSlotOffsets[k], k, &slot) &&
        slot.generation < newest) {
      found.push_back(slot);
    }
  }
  Slot image;
  if (ParseSlot(header + kBaseSlotOffset, kBaseSeed, &image)) {
    // Each change's head lies at the end of the image it changed, and each
    // step goes past a head and its table.
    for (;;) {
      if (image.generation >= newest) break;
      chain.push_back(image);
      if (chain.size() > kKept) chain.pop_front();
      const uint64_t at = AlignUp(image.end, 8);
      unsigned char bytes[kSlotBytes];
      Slot next;
      if (at > file_bytes_ || file_bytes_ - at < kSlotBytes ||
          !Seek(file_, at) ||
          std::fread(bytes, 1, kSlotBytes, file_) != kSlotBytes ||
          !ParseSlot(bytes, kHeadSeed, &next) ||
          next.generation != image.generation + 1 ||
          next.table_offset != at + kSlotBytes ||
          next.end < next.table_offset + kEntryBytes * next.count) {
        break;
      }
      image = next;
    }
  }
  found.insert(found.end(), chain.begin(), chain.end());
  std::sort(found.begin(), found.end(), [](const Slot& a, const Slot& b) {
    return a.generation > b.generation;
  });
  return found;
}

int ImageReader::NewerSaveBehindDamagedSlot(const unsigned char* header,
                                            const Slot& slot,
                                            ImageLayout* newer) {
  if (slot.generation >= kMaxGeneration) return QSS_PLEX_DAMAGED;
  // The next save writes this slot last: sound, it holds an older image
  // (that save never switched to its own), and all zero it was never
  // written; anything else is a slot written and damaged since.
  const int number = static_cast<int>((slot.generation + 1) % 2);
  const unsigned char* other = header + kSlotOffsets[number];
  Slot parsed;
  if (XXH3_64bits_withSeed(other, kSlotCheckedBytes, number) ==
          ReadUint(other + kSlotCheckedBytes, 8) ||
      std::all_of(other, other + kSlotBytes,
                  [](unsigned char byte) { return byte == 0; })) {
    return QSS_PLEX_DAMAGED;
  }
  const uint64_t at = AlignUp(slot.end, 8);
  unsigned char head[kSlotBytes];
  if (at > file_bytes_ || file_bytes_ - at < kSlotBytes || !Seek(file_, at) ||
      std::fread(head, 1, kSlotBytes, file_) != kSlotBytes ||
      !ParseSlot(head, kHeadSeed, &parsed) ||
      parsed.generation != slot.generation + 1 ||
      parsed.table_offset != at + kSlotBytes) {
    return std::ferror(file_) ? QSS_PLEX_UNREADABLE : QSS_PLEX_DAMAGED;
  }
  const int result = ReadTable(parsed, false, newer);
  if (result == QSS_PLEX_LOADED) {
    std::memcpy(newer->slot.data(), head, kSlotBytes);
  }
  return result;
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
