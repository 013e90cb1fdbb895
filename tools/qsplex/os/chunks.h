// The piece size of every stream copy: between streams and files, and from
// a salvaged data block into its new stream.
#ifndef QSSTORAGE_TOOLS_QSPLEX_OS_CHUNKS_H_
#define QSSTORAGE_TOOLS_QSPLEX_OS_CHUNKS_H_

#include <cstddef>

namespace qsplex {

// Bytes move in pieces of this size.
constexpr size_t kChunkBytes = 1024 * 1024;

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_OS_CHUNKS_H_
