// How an image file was last saved, read from its header page: the format
// version, and for the current format whether the newest save wrote the
// image whole or its changes in place (docs/image-format.md).
#ifndef QSSTORAGE_TOOLS_QSPLEX_IMAGE_LAST_SAVE_H_
#define QSSTORAGE_TOOLS_QSPLEX_IMAGE_LAST_SAVE_H_

#include <cstdint>
#include <string>

namespace qsplex {

struct LastSave {
  uint32_t version = 0;  // 0: the header could not be read
  // Of the current format, from the header slots whose checksums hold
  // (0 when none does): the newest save's generation, and the generation
  // of the last whole save (the base slot's). A whole save starts again at
  // generation 1; each save of changes in place adds one.
  uint64_t generation = 0;
  uint64_t whole_generation = 0;
  bool whole() const { return generation != 0 && generation == whole_generation; }
};

// Reads the header page of the image `path`. False when it cannot be read
// or is not an image's.
bool ReadLastSave(const std::string& path, LastSave* out);

// "whole (generation 1)", "changes in place (generation 5, 4 saves after
// the last whole one)", or for the earlier formats "whole (format 2 has no
// saves in place)".
std::string DescribeLastSave(const LastSave& save);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_IMAGE_LAST_SAVE_H_
