#include "standins/plex_store.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qss::standins {
namespace {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;
constexpr uint64_t kGiB = 1024 * kMiB;
constexpr uint64_t kReservationGranule = 64 * kKiB;
// Plex indexes are ints; a 32-bit process cannot map 2 GiB in one piece.
constexpr uint64_t kMaxReservationBytes =
    (sizeof(void*) == 4 ? 2 * kGiB : 8 * kGiB) - kReservationGranule;
#if defined(_WIN32)
// As much as a 32-bit process is given: the host runs as one.
constexpr uint64_t kDefaultReservationBytes = kMaxReservationBytes;
#else
// A fixed size, which the reliability model's store limit mirrors.
constexpr uint64_t kDefaultReservationBytes = kGiB;
#endif
constexpr uint64_t kMinFallbackBytes = 16 * kMiB;
#if defined(_WIN32)
constexpr uint64_t kCommitGranule = kMiB;
#endif
// Large blocks start at a multiple of this many words, as in image files.
constexpr int64_t kAlignedWords = kImageAlignment / 4;
// Word 0 is never handed out; starting at 2 keeps every block 8-byte aligned.
constexpr int64_t kFirstIndex = 2;
constexpr uint32_t kFreshIdLimit = 3;
constexpr int kHostBlock1Words = 16;
constexpr int kHostBlock2Words = 64;
constexpr uint32_t kPoison = 0xDEADBEEF;

// Rounds up in steps of at most an eighth of the size, so the slack a block
// carries is small but repeated small growth mostly stays in place.
int64_t SizeClass(int64_t words) {
  int64_t step = 2;
  while (step * 8 < words) step *= 2;
  return std::max<int64_t>(4, (words + step - 1) / step * step);
}

int64_t AlignUp(int64_t value, int64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// Where a block of `words` goes in a plex laid out afresh, from `*top` on;
// moves `*top` past its extent.
int64_t PlaceFresh(int64_t* top, int64_t words) {
  if (IsLargeBlock(static_cast<uint64_t>(words))) {
    *top = AlignUp(*top, kAlignedWords);
  }
  const int64_t start = *top;
  *top += SizeClass(words);
  return start;
}

#if !defined(_WIN32)
// Fresh private pages over `bytes` from `at`, replacing whatever was mapped
// there; large pages where the system offers them, as a plex filled from an
// image otherwise spends most of its time on a page fault per 4 KiB.
void* FreshPages(void* at, uint64_t bytes) {
  // No swap reserved: untouched pages cost nothing, so the whole range can
  // be readable from the start.
  void* p = mmap(at, bytes, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE |
                     (at != nullptr ? MAP_FIXED : 0),
                 -1, 0);
  if (p == MAP_FAILED) return nullptr;
  madvise(p, bytes, MADV_HUGEPAGE);
  return p;
}

// FreshPages over part of the plex, which cannot go on with a hole in it.
void RemakePages(void* at, uint64_t bytes) {
  if (FreshPages(at, bytes) != nullptr) return;
  std::fprintf(stderr,
               "qsstorage plex stand-in: cannot remake the plex's "
               "pages\n");
  std::abort();
}
#endif

// The largest count whose size class fits in `words`: size classes grow
// with the count, so a binary search finds it.
int64_t LargestFitting(int64_t words) {
  int64_t fits = 0;
  int64_t beyond = std::min<int64_t>(words, INT_MAX) + 1;
  while (beyond - fits > 1) {
    const int64_t mid = fits + (beyond - fits) / 2;
    (SizeClass(mid) <= words ? fits : beyond) = mid;
  }
  return fits;
}

}  // namespace

bool AddressSpace::Reserve(uint64_t bytes) {
  Release();
  for (;; bytes /= 2) {
#if defined(_WIN32)
    void* p = VirtualAlloc(nullptr, static_cast<SIZE_T>(bytes), MEM_RESERVE,
                           PAGE_NOACCESS);
#else
    void* p = FreshPages(nullptr, bytes);
#endif
    if (p != nullptr) {
      base_ = static_cast<int32_t*>(p);
      bytes_ = bytes;
      committed_ = 0;
      return true;
    }
    if (bytes / 2 < kMinFallbackBytes) return false;
  }
}

bool AddressSpace::ReserveLargest(uint64_t bytes) {
#if defined(_WIN32)
  // A 32-bit process's free space lies in pieces between its modules; try
  // the whole request, then search for the largest piece the system gives.
  if (Reserve(bytes) && bytes_ == bytes) return true;
  uint64_t fits = bytes_;
  uint64_t beyond = bytes;
  Release();
  while (beyond - fits > kReservationGranule) {
    const uint64_t mid = (fits + (beyond - fits) / 2) / kReservationGranule *
                         kReservationGranule;
    void* p = VirtualAlloc(nullptr, static_cast<SIZE_T>(mid), MEM_RESERVE,
                           PAGE_NOACCESS);
    if (p != nullptr) VirtualFree(p, 0, MEM_RELEASE);
    (p != nullptr ? fits : beyond) = mid;
  }
  return Reserve(fits);
#else
  return Reserve(bytes);
#endif
}

void AddressSpace::Release() {
  if (base_ == nullptr) return;
#if defined(_WIN32)
  VirtualFree(base_, 0, MEM_RELEASE);
#else
  munmap(base_, bytes_);
#endif
  base_ = nullptr;
  bytes_ = committed_ = 0;
  mapped_.clear();
}

bool AddressSpace::Commit(uint64_t bytes) {
  if (bytes > bytes_) return false;
#if defined(_WIN32)
  if (bytes <= committed_) return true;
  const uint64_t target = std::min(
      bytes_, (bytes + kCommitGranule - 1) / kCommitGranule * kCommitGranule);
  if (VirtualAlloc(reinterpret_cast<char*>(base_) + committed_,
                   static_cast<SIZE_T>(target - committed_), MEM_COMMIT,
                   PAGE_READWRITE) == nullptr) {
    return false;
  }
  committed_ = target;
#endif
  return true;
}

void AddressSpace::Discard() {
#if defined(_WIN32)
  if (committed_ > 0) VirtualFree(base_, committed_, MEM_DECOMMIT);
  committed_ = 0;
#else
  if (mapped_.empty()) {
    madvise(base_, bytes_, MADV_DONTNEED);
    return;
  }
  // Dropping the pages of a file mapping would show the file again.
  RemakePages(base_, bytes_);
  mapped_.clear();
#endif
}

uint64_t AddressSpace::PageBytes() {
#if defined(_WIN32)
  return 0;
#else
  static const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return page;
#endif
}

bool AddressSpace::MapFile(uint64_t at, std::FILE* file, uint64_t file_offset,
                           uint64_t bytes) {
#if defined(_WIN32)
  (void)at;
  (void)file;
  (void)file_offset;
  (void)bytes;
  return false;
#else
  struct stat status;
  const int fd = fileno(file);
  if (at + bytes > bytes_ || fstat(fd, &status) != 0) return false;
  if (!mapped_.empty() &&
      (status.st_dev != mapped_device_ || status.st_ino != mapped_inode_)) {
    return false;  // one file at a time, so that MapsFile can tell
  }
  if (mmap(reinterpret_cast<char*>(base_) + at, bytes, PROT_READ | PROT_WRITE,
           MAP_PRIVATE | MAP_FIXED, fd,
           static_cast<off_t>(file_offset)) == MAP_FAILED) {
    // A failed MAP_FIXED may have unmapped the range already; the caller
    // reads the words into fresh pages instead.
    RemakePages(reinterpret_cast<char*>(base_) + at, bytes);
    return false;
  }
  mapped_device_ = status.st_dev;
  mapped_inode_ = status.st_ino;
  mapped_.emplace_back(at, bytes);
  return true;
#endif
}

bool AddressSpace::MapsFile(const char* path) const {
#if defined(_WIN32)
  (void)path;
  return false;
#else
  struct stat status;
  return !mapped_.empty() && path != nullptr && stat(path, &status) == 0 &&
         status.st_dev == mapped_device_ && status.st_ino == mapped_inode_;
#endif
}

bool AddressSpace::Detach() {
#if !defined(_WIN32)
  while (!mapped_.empty()) {
    const auto [at, bytes] = mapped_.back();
    char* place = reinterpret_cast<char*>(base_) + at;
    void* copy = FreshPages(nullptr, bytes);
    if (copy == nullptr) return false;
    std::memcpy(copy, place, bytes);
    if (mremap(copy, bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, place) ==
        MAP_FAILED) {
      munmap(copy, bytes);
      return false;
    }
    mapped_.pop_back();
  }
#endif
  return true;
}

PlexStore& PlexStore::Instance() {
  // Never destroyed: the library's own static destructors may still free
  // blocks while the process exits.
  static PlexStore* store = new PlexStore;
  return *store;
}

PlexStore::PlexStore() { Reset(); }

void PlexStore::Reset() {
  cut_bytes_.clear();
  if (space_.base() == nullptr ||
      reserved_for_ != requested_reservation_bytes_) {
    const bool reserved = requested_reservation_bytes_ == 0
                              ? space_.ReserveLargest(kDefaultReservationBytes)
                              : space_.Reserve(requested_reservation_bytes_);
    if (!reserved) {
      std::fprintf(
          stderr, "qsstorage plex stand-in: cannot reserve %llu bytes\n",
          static_cast<unsigned long long>(requested_reservation_bytes_ != 0
                                              ? requested_reservation_bytes_
                                              : kDefaultReservationBytes));
      std::abort();
    }
    reserved_for_ = requested_reservation_bytes_;
  } else {
    space_.Discard();
  }
  limit_words_ = static_cast<int64_t>(space_.bytes() / 4);
  ib0 = space_.base();
  fresh_ = 0;
  RebuildFresh();
  in_bead_ = false;
  fail_after_ = -1;
  counts_ = QssPlexCounts{};
}

void PlexStore::SetReservationBytes(uint64_t bytes) {
  if (bytes != 0) {
    bytes = std::clamp((bytes + kReservationGranule - 1) / kReservationGranule *
                           kReservationGranule,
                       kReservationGranule, kMaxReservationBytes);
  }
  requested_reservation_bytes_ = bytes;
}

void PlexStore::RebuildFresh() {
  Rebuild({{1, kHostBlock1Words, 0, 0}, {2, kHostBlock2Words, 0, 0}},
          kFreshIdLimit, true);
}

bool PlexStore::IsFresh() const {
  if (blocks_.size() != kFreshIdLimit || !free_by_start_.empty() ||
      top_ != kFirstIndex + kHostBlock1Words + kHostBlock2Words ||
      blocks_[1].words != kHostBlock1Words ||
      blocks_[2].words != kHostBlock2Words || !IsLive(1) || !IsLive(2)) {
    return false;
  }
  const int32_t* const host = space_.base() + kFirstIndex;
  return std::all_of(host, host + kHostBlock1Words + kHostBlock2Words,
                     [](int32_t word) { return word == 0; });
}

void PlexStore::Rebuild(const std::vector<ImageBlock>& live, uint32_t id_limit,
                        bool zero) {
  blocks_.assign(id_limit, Block{});
  located_.assign(id_limit, -1);
  free_ids_.clear();
  free_by_start_.clear();
  free_by_size_.clear();
  free_words_ = 0;
  top_ = kFirstIndex;
  for (const ImageBlock& block : live) {
    const int64_t previous_top = top_;
    const int64_t start = PlaceFresh(&top_, block.words);
    if (start > previous_top) AddFree(previous_top, start - previous_top);
    blocks_[block.id] = Block{start, block.words, SizeClass(block.words)};
    located_[block.id] = static_cast<int32_t>(start);
  }
  space_.Commit(static_cast<uint64_t>(top_) * 4);
  if (zero) {
    for (const ImageBlock& block : live) {
      Fill(blocks_[block.id].index, block.words, 0);
    }
  } else {
    fresh_ = std::max(fresh_, top_);
  }
  // Pushed highest first, so the lowest free id is reused first.
  for (int id = static_cast<int>(id_limit) - 1; id >= 1; --id) {
    if (!IsLive(id)) free_ids_.push_back(id);
  }
}

void PlexStore::Breach(const char* call, const char* format, int a,
                       int b) const {
  if (!strict_) return;
  std::fprintf(stderr,
               "qsstorage plex stand-in: contract breach in %s: ", call);
  std::fprintf(stderr, format, a, b);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

bool PlexStore::CheckLive(const char* call, const int* id) {
  if (id == nullptr) {
    Breach(call, "null block id pointer", 0);
    return false;
  }
  if (!IsLive(*id)) {
    Breach(call, "block %d is not allocated", *id);
    return false;
  }
  return true;
}

bool PlexStore::InjectedFailure() {
  if (fail_after_ < 0) return false;
  return fail_after_-- == 0;  // leaves -1 behind once it fires
}

int PlexStore::LocateBreach(const int* id) {
  CheckLive("DMS_LOCATI", id);
  return 0;
}

int PlexStore::Allocate(const int* words, int* id, int* index) {
  static const char kCall[] = "DMS_ALLOCI";
  if (words == nullptr || id == nullptr || index == nullptr) {
    Breach(kCall, "null argument", 0);
    return 1;
  }
  const int count = *words;  // read before *id and *index may alias it
  *id = 0;
  *index = 0;
  if (!in_bead_) {
    Breach(kCall, "called outside the simulation bead (%d words)", count);
  }
  if (count < 0) {
    Breach(kCall, "negative word count %d", count);
    return 1;
  }
  if (InjectedFailure()) return 1;
  const int64_t capacity = SizeClass(count);
  const int64_t start = TakeExtent(capacity);
  if (start < 0) return 1;
  const int new_id = NewId();
  blocks_[new_id] = Block{start, count, capacity};
  located_[new_id] = static_cast<int32_t>(start);
  ZeroFill(start, count);
  fresh_ = std::max(fresh_, start + count);
  *id = new_id;
  *index = static_cast<int>(start);
  ++counts_.allocs;
  return 0;
}

int PlexStore::Reallocate(const int* id, const int* words, int* index) {
  static const char kCall[] = "DMS_RALOCI";
  if (!CheckLive(kCall, id)) return 1;
  const int block_id = *id;
  if (words == nullptr || index == nullptr) {
    Breach(kCall, "null argument for block %d", block_id);
    return 1;
  }
  const int count = *words;
  if (in_bead_) {
    Breach(kCall, "block %d reallocated inside the simulation bead", block_id);
  }
  if (count < 0) {
    Breach(kCall, "negative word count %d for block %d", count, block_id);
    return 1;
  }
  Block& block = blocks_[block_id];
  const int64_t old_words = block.words;
  if (count > old_words && InjectedFailure()) return 1;
  const int64_t fitted = SizeClass(count);
  if (move_on_realloc_) {
    if (!MoveBlock(block, fitted, std::min<int64_t>(count, old_words))) {
      return 1;
    }
  } else if (count <= old_words) {
    if (poison_freed_) Fill(block.index + count, old_words - count, kPoison);
    // Give back the tail only after a large shrink, so a block that shrinks
    // a little and grows again does not bounce between places.
    if (fitted * 4 <= block.capacity) {
      ReleaseExtent(block.index + fitted, block.capacity - fitted);
      block.capacity = fitted;
    }
  } else if (count > block.capacity && !GrowInPlace(block, fitted)) {
    // Moving with room for twice the old size keeps repeated growth at
    // amortised constant copying; near exhaustion settle for an exact fit.
    const int64_t roomy = SizeClass(std::max<int64_t>(count, 2 * old_words));
    if (!MoveBlock(block, roomy, old_words) &&
        !MoveBlock(block, fitted, old_words)) {
      return 1;
    }
  }
  // Growth within the capacity may uncover words left over from a shrink.
  if (count > old_words) ZeroFill(block.index + old_words, count - old_words);
  fresh_ = std::max(fresh_, block.index + count);
  block.words = count;
  located_[block_id] = static_cast<int32_t>(block.index);
  *index = static_cast<int>(block.index);
  ++counts_.reallocs;
  return 0;
}

int PlexStore::Free(const int* id) {
  if (!CheckLive("DMS_ATFREE", id)) return 1;
  if (in_bead_) {
    Breach("DMS_ATFREE", "block %d freed inside the simulation bead", *id);
  }
  Block& block = blocks_[*id];
  ReleaseExtent(block.index, block.capacity);
  block = Block{};
  located_[*id] = -1;
  free_ids_.push_back(*id);
  ++counts_.frees;
  return 0;
}

int PlexStore::SetBead(const int* flag) {
  if (flag == nullptr) {
    Breach("DMS_SIMBEAD", "null flag pointer", 0);
    return 1;
  }
  in_bead_ = *flag != 0;
  return 0;
}

int PlexStore::NewId() {
  if (free_ids_.empty()) {
    blocks_.emplace_back();
    located_.push_back(-1);
    return static_cast<int>(blocks_.size() - 1);
  }
  const int id = free_ids_.back();
  free_ids_.pop_back();
  return id;
}

int64_t PlexStore::TakeExtent(int64_t words) {
  const auto fit = free_by_size_.lower_bound({words, 0});
  if (fit != free_by_size_.end()) {
    const int64_t start = fit->second;
    const int64_t rest = fit->first - words;
    RemoveFree(free_by_start_.find(start));
    if (rest > 0) AddFree(start + words, rest);
    return start;
  }
  if (top_ + words > limit_words_ ||
      !space_.Commit(static_cast<uint64_t>(top_ + words) * 4)) {
    return -1;
  }
  top_ += words;
  return top_ - words;
}

void PlexStore::ReleaseExtent(int64_t start, int64_t words) {
  if (words == 0) return;
  if (poison_freed_) Fill(start, words, kPoison);
  const auto next = free_by_start_.find(start + words);
  if (next != free_by_start_.end()) {
    words += next->second;
    RemoveFree(next);
  }
  auto prev = free_by_start_.lower_bound(start);
  if (prev != free_by_start_.begin() &&
      std::prev(prev)->first + std::prev(prev)->second == start) {
    --prev;
    start = prev->first;
    words += prev->second;
    RemoveFree(prev);
  }
  // Free extents never touch the top: space there returns to the top.
  if (start + words == top_) {
    top_ = start;
  } else {
    AddFree(start, words);
  }
}

void PlexStore::AddFree(int64_t start, int64_t words) {
  free_by_start_.emplace(start, words);
  free_by_size_.emplace(words, start);
  free_words_ += words;
}

void PlexStore::RemoveFree(std::map<int64_t, int64_t>::iterator it) {
  free_words_ -= it->second;
  free_by_size_.erase({it->second, it->first});
  free_by_start_.erase(it);
}

bool PlexStore::GrowInPlace(Block& block, int64_t capacity) {
  const int64_t end = block.index + block.capacity;
  const int64_t extra = capacity - block.capacity;
  if (end == top_) {
    if (top_ + extra > limit_words_ ||
        !space_.Commit(static_cast<uint64_t>(top_ + extra) * 4)) {
      return false;
    }
    top_ += extra;
  } else {
    const auto next = free_by_start_.find(end);
    if (next == free_by_start_.end() || next->second < extra) return false;
    const int64_t rest = next->second - extra;
    RemoveFree(next);
    if (rest > 0) AddFree(end + extra, rest);
  }
  block.capacity = capacity;
  return true;
}

bool PlexStore::MoveBlock(Block& block, int64_t capacity, int64_t keep_words) {
  // Taking the new extent before releasing the old one guarantees a new place.
  const int64_t start = TakeExtent(capacity);
  if (start < 0) return false;
  int32_t* base = space_.base();
  std::memcpy(base + start, base + block.index,
              static_cast<size_t>(keep_words) * 4);
  ReleaseExtent(block.index, block.capacity);
  block.index = start;
  block.capacity = capacity;
  ++counts_.moves;
  counts_.words_moved += keep_words;
  return true;
}

void PlexStore::ZeroFill(int64_t start, int64_t words) {
  // Pages above `fresh_` are as the system handed them out: zero. Skipping
  // them keeps a growing stream's bytes from being written twice.
  const int64_t end = std::min(start + words, fresh_);
  if (end > start) Fill(start, end - start, 0);
}

void PlexStore::Fill(int64_t start, int64_t words, uint32_t value) {
  std::fill_n(space_.base() + start, words, static_cast<int32_t>(value));
  fresh_ = std::max(fresh_, start + words);
}

int PlexStore::BlockWords(int id) const {
  return IsLive(id) ? static_cast<int>(blocks_[id].words) : -1;
}

int PlexStore::LiveBlocks() const {
  return static_cast<int>(std::count_if(located_.begin(), located_.end(),
                                        [](int32_t at) { return at >= 0; }));
}

int64_t PlexStore::LiveWords() const {
  int64_t total = 0;
  for (size_t id = 1; id < blocks_.size(); ++id) {
    if (IsLive(static_cast<int>(id))) total += blocks_[id].words;
  }
  return total;
}

int PlexStore::NextBlockId(int after) const {
  for (int64_t id = std::max<int64_t>(int64_t{after} + 1, 1);
       id < static_cast<int64_t>(blocks_.size()); ++id) {
    if (IsLive(static_cast<int>(id))) return static_cast<int>(id);
  }
  return 0;
}

int64_t PlexStore::GrowableWords(int id) const {
  if (id != 0 && !IsLive(id)) return -1;
  // A block that moves, or a new one, takes a free extent or the top.
  int64_t room = limit_words_ - top_;
  if (!free_by_size_.empty()) {
    room = std::max(room, free_by_size_.rbegin()->first);
  }
  if (id == 0) return LargestFitting(room);
  const Block& block = blocks_[id];
  int64_t in_place = block.capacity;
  if (block.index + block.capacity == top_) {
    in_place = limit_words_ - block.index;
  } else if (const auto next =
                 free_by_start_.find(block.index + block.capacity);
             next != free_by_start_.end()) {
    in_place += next->second;
  }
  if (move_on_realloc_) in_place = 0;
  return std::max(
      {block.capacity, LargestFitting(room), LargestFitting(in_place)});
}

std::vector<SavedBlock> PlexStore::BlocksToSave() const {
  std::vector<SavedBlock> live;
  for (size_t id = 1; id < blocks_.size(); ++id) {
    if (!IsLive(static_cast<int>(id))) continue;
    const Block& b = blocks_[id];
    live.push_back({static_cast<uint32_t>(id), static_cast<uint32_t>(b.words),
                    space_.base() + b.index});
  }
  return live;
}

int PlexStore::Save(const char* path) {
  // Writing the file the plex maps would change the plex under the writer.
  if (space_.MapsFile(path) && !space_.Detach()) {
    errno = ENOMEM;
    return 1;
  }
  try {
    ImageLayout written;
    const int result =
        WriteImage(path, static_cast<uint32_t>(blocks_.size()), BlocksToSave(),
                   progress_, sync_on_save_, &written);
    if (result == 0) base_ = std::move(written);
    return result;
  } catch (const std::bad_alloc&) {
    if (path != nullptr) std::remove(path);
    errno = ENOMEM;
    return 1;
  }
}

// The file keeps every range the plex may map from it: an update only adds
// past the image's end, and cuts off only what lay past that.
int PlexStore::SaveChanges(const char* path, bool whole_when_due) {
  try {
    ImageLayout written;
    const int result =
        UpdateImage(path, static_cast<uint32_t>(blocks_.size()), BlocksToSave(),
                    base_, progress_, sync_on_save_, &written, whole_when_due);
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
// first, so that it stays as it was. Mapped blocks are verified by reading
// them through outside the plex, before they are mapped; a salvaging load
// reads damaged and cut ones instead, keeping them as the file has them.
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
    if (layout.header_damaged) {
      salvage->report(0, QSS_PLEX_HEADER_DAMAGED, salvage->context);
    }
    if (layout.newest_slot_damaged) {
      salvage->report(0, QSS_PLEX_SLOT_DAMAGED, salvage->context);
    }
    if (layout.changes_lost > 0) {
      salvage->report(
          static_cast<int>(std::min<uint64_t>(layout.changes_lost, INT_MAX)),
          QSS_PLEX_CHANGES_LOST, salvage->context);
    }
  }
  if (verify_first) {
    result = reader.ReadBlocks(layout, nullptr, nullptr);
    if (result != QSS_PLEX_LOADED) return result;
  }
  rebuilding_ = true;
  if (space_.maps_files()) space_.Discard();  // shows no earlier file
  Rebuild(layout.blocks, layout.id_limit, false);
  std::vector<BlockTarget> targets(layout.blocks.size());
  std::vector<size_t> mapped;
  for (size_t i = 0; i < layout.blocks.size(); ++i) {
    const ImageBlock& block = layout.blocks[i];
    if (Mappable(layout, block)) {
      targets[i].skip = verify_first;
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
  result = reader.ReadBlocks(layout, &targets,
                             salvage != nullptr ? &recorder : nullptr);
  if (result != QSS_PLEX_LOADED) {
    RebuildFresh();
    rebuilding_ = false;
    return result;
  }
  // A block the system will not map, or a damaged one, is read after all.
  bool unmapped = false;
  for (BlockTarget& target : targets) target.skip = true;
  for (size_t i : mapped) {
    const ImageBlock& block = layout.blocks[i];
    const uint64_t page = AddressSpace::PageBytes();
    const uint64_t at = static_cast<uint64_t>(blocks_[block.id].index) * 4;
    if (std::count(salvaged.ids.begin(), salvaged.ids.end(),
                   static_cast<int>(block.id)) != 0 ||
        !space_.MapFile(at, reader.file(), block.offset,
                        (uint64_t{block.words} * 4 + page - 1) / page * page)) {
      targets[i] = BlockTarget{space_.base() + blocks_[block.id].index, false};
      unmapped = true;
    }
  }
  const DamageSink quiet;  // damage reported already
  if (unmapped) {
    result = reader.ReadBlocks(layout, &targets,
                               salvage != nullptr ? &quiet : nullptr);
    if (result != QSS_PLEX_LOADED) {
      RebuildFresh();
      rebuilding_ = false;
      return result;
    }
  }
  // The file ends inside or before every block it does not hold whole: the
  // ones the load reported cut.
  for (const ImageBlock& block : layout.blocks) {
    const uint64_t bytes = uint64_t{block.words} * 4;
    if (salvage == nullptr || (block.offset <= layout.file_bytes &&
                               bytes <= layout.file_bytes - block.offset)) {
      continue;
    }
    cut_bytes_[block.id] = block.offset < layout.file_bytes
                               ? layout.file_bytes - block.offset
                               : 0;
  }
  rebuilding_ = false;
  // A salvaged image's file holds damaged blocks that must not be kept.
  base_ = salvage == nullptr ? std::move(layout) : ImageLayout{};
  return QSS_PLEX_LOADED;
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
