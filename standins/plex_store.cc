#include "standins/plex_store.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace qss::standins {
namespace {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;
constexpr uint64_t kGiB = 1024 * kMiB;
#if defined(_WIN32)
constexpr uint64_t kDefaultReservationBytes = 512 * kMiB;
#else
constexpr uint64_t kDefaultReservationBytes = kGiB;
#endif
constexpr uint64_t kReservationGranule = 64 * kKiB;
// Plex indexes are ints, and a 32-bit process cannot map 2 GiB in one piece.
constexpr uint64_t kMaxReservationBytes =
    (sizeof(void*) == 4 ? 2 * kGiB : 8 * kGiB) - kReservationGranule;
constexpr uint64_t kMinFallbackBytes = 16 * kMiB;
constexpr uint64_t kCommitGranule = kMiB;
// Word 0 is never handed out; starting at 2 keeps every block 8-byte aligned.
constexpr int64_t kFirstIndex = 2;
constexpr int kHostBlock1Words = 16;
constexpr int kHostBlock2Words = 64;
constexpr uint32_t kPoison = 0xDEADBEEF;

constexpr unsigned char kMagic[8] = {'Q', 'S', 'S', 'P', 'L', 'E', 'X', 0x1A};
constexpr uint32_t kFormatVersion = 1;
constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

// Rounds up in steps of at most an eighth of the size, so the slack a block
// carries is small but repeated small growth mostly stays in place.
int64_t SizeClass(int64_t words) {
  int64_t step = 2;
  while (step * 8 < words) step *= 2;
  return std::max<int64_t>(4, (words + step - 1) / step * step);
}

void PutUint(uint64_t value, int bytes, std::vector<unsigned char>* out) {
  for (int i = 0; i < bytes; ++i) out->push_back((value >> (8 * i)) & 0xFF);
}

uint64_t Fnv1a(const unsigned char* data, size_t size) {
  uint64_t hash = kFnvOffset;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * kFnvPrime;
  return hash;
}

uint64_t ReadUint(const unsigned char* data, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= uint64_t{data[i]} << (8 * i);
  return value;
}

bool ReadWholeFile(const char* path, std::vector<unsigned char>* out) {
  std::FILE* file = path ? std::fopen(path, "rb") : nullptr;
  if (file == nullptr) return false;
  unsigned char chunk[1 << 16];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof(chunk), file)) > 0) {
    out->insert(out->end(), chunk, chunk + n);
  }
  const bool ok = !std::ferror(file);
  std::fclose(file);
  return ok;
}

}  // namespace

bool AddressSpace::Reserve(uint64_t bytes) {
  Release();
  for (;; bytes /= 2) {
#if defined(_WIN32)
    void* p = VirtualAlloc(nullptr, static_cast<SIZE_T>(bytes), MEM_RESERVE,
                           PAGE_NOACCESS);
#else
    // Private anonymous pages with no swap reserved: untouched pages cost
    // nothing, so the whole range can be readable from the start.
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) p = nullptr;
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

void AddressSpace::Release() {
  if (base_ == nullptr) return;
#if defined(_WIN32)
  VirtualFree(base_, 0, MEM_RELEASE);
#else
  munmap(base_, bytes_);
#endif
  base_ = nullptr;
  bytes_ = committed_ = 0;
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
  madvise(base_, bytes_, MADV_DONTNEED);
#endif
}

PlexStore& PlexStore::Instance() {
  // Never destroyed: the library's own static destructors may still free
  // blocks while the process exits.
  static PlexStore* store = new PlexStore;
  return *store;
}

PlexStore::PlexStore() : pending_reservation_bytes_(kDefaultReservationBytes) {
  Reset();
}

void PlexStore::Reset() {
  if (space_.base() == nullptr ||
      space_.bytes() != pending_reservation_bytes_) {
    if (!space_.Reserve(pending_reservation_bytes_)) {
      std::fprintf(stderr,
                   "qsstorage plex stand-in: cannot reserve %llu bytes\n",
                   static_cast<unsigned long long>(pending_reservation_bytes_));
      std::abort();
    }
    pending_reservation_bytes_ = space_.bytes();
  } else {
    space_.Discard();
  }
  limit_words_ = static_cast<int64_t>(space_.bytes() / 4);
  ib0 = space_.base();
  fresh_ = 0;
  Rebuild({{1, kHostBlock1Words}, {2, kHostBlock2Words}}, 3);
  in_bead_ = false;
  fail_after_ = -1;
  counts_ = QssPlexCounts{};
}

void PlexStore::SetReservationBytes(uint64_t bytes) {
  if (bytes == 0) bytes = kDefaultReservationBytes;
  bytes = (bytes + kReservationGranule - 1) / kReservationGranule *
          kReservationGranule;
  pending_reservation_bytes_ =
      std::clamp(bytes, kReservationGranule, kMaxReservationBytes);
}

void PlexStore::Rebuild(const std::vector<std::pair<int, int64_t>>& live,
                        int id_limit) {
  blocks_.assign(id_limit, Block{});
  located_.assign(id_limit, -1);
  free_ids_.clear();
  free_by_start_.clear();
  free_by_size_.clear();
  top_ = kFirstIndex;
  for (const auto& [id, words] : live) {
    blocks_[id] = Block{top_, words, SizeClass(words)};
    located_[id] = static_cast<int32_t>(top_);
    top_ += blocks_[id].capacity;
  }
  space_.Commit(static_cast<uint64_t>(top_) * 4);
  for (const auto& [id, words] : live) Fill(blocks_[id].index, words, 0);
  // Pushed highest first, so the lowest free id is reused first.
  for (int id = id_limit - 1; id >= 1; --id) {
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
}

void PlexStore::RemoveFree(std::map<int64_t, int64_t>::iterator it) {
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

// Layout: magic, u32 version, u32 id limit, u32 live count, then per live
// block in increasing id order u32 id, u32 words and the words; last a u64
// FNV-1a hash of all that precedes it. All little-endian.
int PlexStore::Save(const char* path) const {
  std::vector<unsigned char> data(kMagic, kMagic + sizeof(kMagic));
  PutUint(kFormatVersion, 4, &data);
  PutUint(blocks_.size(), 4, &data);
  PutUint(static_cast<uint64_t>(LiveBlocks()), 4, &data);
  for (size_t id = 1; id < blocks_.size(); ++id) {
    if (!IsLive(static_cast<int>(id))) continue;
    const Block& b = blocks_[id];
    PutUint(id, 4, &data);
    PutUint(static_cast<uint64_t>(b.words), 4, &data);
    for (int64_t k = 0; k < b.words; ++k) {
      PutUint(static_cast<uint32_t>(space_.base()[b.index + k]), 4, &data);
    }
  }
  PutUint(Fnv1a(data.data(), data.size()), 8, &data);
  std::FILE* file = path ? std::fopen(path, "wb") : nullptr;
  if (file == nullptr) return 1;
  const bool written =
      std::fwrite(data.data(), 1, data.size(), file) == data.size();
  if (std::fclose(file) == 0 && written) return 0;
  std::remove(path);
  return 1;
}

int PlexStore::Load(const char* path) {
  std::vector<unsigned char> data;
  constexpr size_t kHeaderBytes = sizeof(kMagic) + 12;
  if (!ReadWholeFile(path, &data) || data.size() < kHeaderBytes + 8 ||
      std::memcmp(data.data(), kMagic, sizeof(kMagic)) != 0 ||
      ReadUint(&data[8], 4) != kFormatVersion) {
    return 1;
  }
  const size_t body = data.size() - 8;
  if (Fnv1a(data.data(), body) != ReadUint(&data[body], 8)) return 1;

  const uint64_t id_limit = ReadUint(&data[12], 4);
  const uint64_t count = ReadUint(&data[16], 4);
  // At most a quarter of the words can be live blocks at once, which bounds
  // how many ids a plex of this size can ever have handed out.
  if (id_limit < 1 || count >= id_limit ||
      id_limit > static_cast<uint64_t>(limit_words_ / 4 + 3)) {
    return 1;
  }
  std::vector<std::pair<int, int64_t>> live;
  std::vector<size_t> offsets;
  size_t pos = kHeaderBytes;
  int64_t needed = kFirstIndex;
  uint64_t previous_id = 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (body - pos < 8) return 1;
    const uint64_t id = ReadUint(&data[pos], 4);
    const uint64_t words = ReadUint(&data[pos + 4], 4);
    pos += 8;
    if (id <= previous_id || id >= id_limit || words > INT_MAX ||
        (body - pos) / 4 < words) {
      return 1;
    }
    needed += SizeClass(static_cast<int64_t>(words));
    if (needed > limit_words_) return 1;
    live.emplace_back(static_cast<int>(id), static_cast<int64_t>(words));
    offsets.push_back(pos);
    pos += words * 4;
    previous_id = id;
  }
  if (pos != body || !space_.Commit(static_cast<uint64_t>(needed) * 4)) {
    return 1;
  }

  Rebuild(live, static_cast<int>(id_limit));
  for (size_t i = 0; i < live.size(); ++i) {
    int32_t* words = space_.base() + blocks_[live[i].first].index;
    for (int64_t k = 0; k < live[i].second; ++k) {
      words[k] = static_cast<int32_t>(ReadUint(&data[offsets[i] + 4 * k], 4));
    }
  }
  return 0;
}

}  // namespace qss::standins
