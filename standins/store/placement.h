// Where blocks go in the plex: size classes, the first index, alignment
// for blocks that may be mapped from an image, and the poison of freed
// words.
#ifndef QSSTORAGE_STANDINS_STORE_PLACEMENT_H_
#define QSSTORAGE_STANDINS_STORE_PLACEMENT_H_

#include <algorithm>
#include <climits>
#include <cstdint>

#include "standins/image/format.h"

namespace qss::standins {

// Large blocks start at a multiple of this many words, as in image files.
constexpr int64_t kAlignedWords = kImageAlignment / 4;
// Word 0 is never handed out; starting at 2 keeps every block 8-byte aligned.
constexpr int64_t kFirstIndex = 2;
constexpr uint32_t kPoison = 0xDEADBEEF;

// Rounds up in steps of at most an eighth of the size, so the slack a block
// carries is small but repeated small growth mostly stays in place.
inline int64_t SizeClass(int64_t words) {
  int64_t step = 2;
  while (step * 8 < words) step *= 2;
  return std::max<int64_t>(4, (words + step - 1) / step * step);
}

inline int64_t AlignUp(int64_t value, int64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// Where a block of `words` goes in a plex laid out afresh, from `*top` on;
// moves `*top` past its extent.
inline int64_t PlaceFresh(int64_t* top, int64_t words) {
  if (IsLargeBlock(static_cast<uint64_t>(words))) {
    *top = AlignUp(*top, kAlignedWords);
  }
  const int64_t start = *top;
  *top += SizeClass(words);
  return start;
}

// The largest count whose size class fits in `words`: size classes grow
// with the count, so a binary search finds it.
inline int64_t LargestFitting(int64_t words) {
  int64_t fits = 0;
  int64_t beyond = std::min<int64_t>(words, INT_MAX) + 1;
  while (beyond - fits > 1) {
    const int64_t mid = fits + (beyond - fits) / 2;
    (SizeClass(mid) <= words ? fits : beyond) = mid;
  }
  return fits;
}

}  // namespace qss::standins

#endif  // QSSTORAGE_STANDINS_STORE_PLACEMENT_H_
