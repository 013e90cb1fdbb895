// The plex image file's format: the constants its reader, its writer and
// anything else that looks into an image share. docs/image-format.md
// describes the format whole.
#ifndef QSSTORAGE_STANDINS_IMAGE_FORMAT_H_
#define QSSTORAGE_STANDINS_IMAGE_FORMAT_H_

#include <cstddef>
#include <cstdint>

namespace qss::standins {

constexpr unsigned char kMagic[8] = {'Q', 'S', 'S', 'P', 'L', 'E', 'X', 0x1A};
constexpr uint32_t kFirstFormat = 1;
constexpr uint32_t kSecondFormat = 2;
constexpr uint32_t kCurrentFormat = 3;

// The current format: header slots 0 and 1 and the base slot, 64 bytes
// each, the last 8 a checksum of the first 56.
constexpr size_t kSlotBytes = 64;
constexpr uint64_t kSlotCheckedBytes = 56;
constexpr uint64_t kSlotOffsets[2] = {512, 1024};
constexpr uint64_t kBaseSlotOffset = 1536;
// Checksum seeds of the base slot and of a change's head; slots 0 and 1
// use their numbers.
constexpr int kBaseSeed = 2;
constexpr int kHeadSeed = 3;
// Tables and blocks lie from here on; a table entry is this long.
constexpr uint64_t kDataStart = 4096;
constexpr uint64_t kEntryBytes = 24;
// A large block's words start at a multiple of this in the file, so that
// they can be mapped straight into a plex whose place for them is aligned
// alike. A large block is one of at least kLargeBlockBytes.
constexpr uint64_t kImageAlignment = 4096;
constexpr uint64_t kLargeBlockBytes = 256 * 1024;
inline bool IsLargeBlock(uint64_t words) {
  return words * 4 >= kLargeBlockBytes;
}

// The second format's header and table entry.
constexpr uint64_t kSecondHeaderBytes = 48;
constexpr uint64_t kSecondHeaderCheckedBytes = 40;
constexpr uint64_t kSecondEntryBytes = 16;

// The first format's header, each block's header and the closing FNV-1a.
constexpr uint64_t kFirstHeaderBytes = 20;
constexpr uint64_t kFirstBlockHeaderBytes = 8;
constexpr uint64_t kFirstChecksumBytes = 8;
constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

}  // namespace qss::standins

#endif  // QSSTORAGE_STANDINS_IMAGE_FORMAT_H_
