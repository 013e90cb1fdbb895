#include "standins/store/plex_store.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#include "standins/store/placement.h"

namespace qss::standins {
namespace {

// Plex indexes are ints; a 32-bit process cannot map 2 GiB in one piece.
constexpr uint64_t kMaxReservationBytes =
    (sizeof(void*) == 4 ? 2 * kGiB : 8 * kGiB) - kReservationGranule;
// As much as a 32-bit process is ever given (the host runs as one), on
// every build: an image a Win32 host saved always opens natively, where the
// address range costs nothing until its pages are used. A smaller plex is
// an explicit QssPlex_SetReservationBytes.
constexpr uint64_t kDefaultReservationBytes = 2 * kGiB - kReservationGranule;
constexpr uint32_t kFreshIdLimit = 3;
constexpr int kHostBlock1Words = 16;
constexpr int kHostBlock2Words = 64;

}  // namespace

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
  // A load that fails after mapping blocks leaves no page showing the file.
  if (space_.maps_files()) space_.Discard();
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
  ForgetMappedBlocks();
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
  if (VerifyBeforeChange(static_cast<uint32_t>(block_id)) ==
      QSS_PLEX_UNREADABLE) {
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
  mapped_blocks_.erase(static_cast<uint32_t>(*id));
  damaged_.erase(static_cast<uint32_t>(*id));
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


}  // namespace qss::standins
