// The image code's own helpers: the current format's slot decoded, the
// integer and checksum codec, and the sizes data moves in. Internal to
// standins/image/; docs/image-format.md describes the bytes.
#ifndef QSSTORAGE_STANDINS_IMAGE_CODEC_H_
#define QSSTORAGE_STANDINS_IMAGE_CODEC_H_

#include <climits>
#include <cstddef>
#include <cstdint>

#include "standins/image/format.h"
#include "standins/image/image.h"

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

constexpr uint64_t kHeaderReadBytes = kBaseSlotOffset + kSlotBytes;
// An image with fewer live bytes is always written whole: that costs as
// little as adding to it, and keeps the file in one piece, in id order.
constexpr uint64_t kSmallImageBytes = 1 << 20;
// Pieces of this size move between file and plex: large enough that calls
// cost nothing beside the copying, small enough to stay in the cache for the
// checksum that follows.
constexpr uint64_t kPieceBytes = 1 << 20;
// A file to be synced is sent on to the device in stretches of this size
// while it is written.
constexpr uint64_t kWriteBehindBytes = 8 << 20;
// More words than this cannot be live in any plex (8 GiB of words at most).
constexpr uint64_t kMaxImageWords = uint64_t{1} << 31;
// The highest generation a save writes. The next would not fit in a slot,
// and a slot's 0 means "never written": a change to an image this far on
// is saved whole, which starts again at generation 1.
constexpr uint64_t kMaxGeneration = UINT64_MAX - 1;

uint64_t ReadUint(const unsigned char* data, int bytes);
void PutUint(uint64_t value, int bytes, unsigned char* out);
uint64_t AlignUp(uint64_t value, uint64_t alignment);
uint64_t Fnv1a(uint64_t hash, const unsigned char* data, size_t size);
uint64_t BlockChecksum(const SavedBlock& block);

// Writes `slot` as slot `number` (its checksum's seed: 0 or 1, kBaseSeed
// or kHeadSeed) into the 64 bytes at `out`.
void FormatSlot(const Slot& slot, int number, unsigned char* out);
// False for a slot never written, or one a write left torn.
bool ParseSlot(const unsigned char* in, int number, Slot* slot);
// The slot in use in a header read through the base slot: -1 when none is
// valid.
int ActiveSlot(const unsigned char* header, Slot* active);
// Whether the header names the current format as it should.
bool IsCurrentHeader(const unsigned char* header);
// Where the next block's words go, from `*at` on: large blocks at the next
// multiple of kImageAlignment. Moves `*at` past them.
uint64_t Place(uint64_t* at, uint32_t words);
// Places the table of `image` at `*at` and moves `*at` past it; sets the
// slot that describes the image but for the table's checksum and the end.
void PlaceTable(uint64_t* at, const ImageLayout& image, Slot* slot);

}  // namespace qss::standins

#endif  // QSSTORAGE_STANDINS_IMAGE_CODEC_H_
