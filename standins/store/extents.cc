// Free extents of the plex, growth in place or by moving, and what the
// store tells of its blocks and room.
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

}  // namespace qss::standins
