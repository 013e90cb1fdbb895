// The plex the host's store keeps the image in: emptying it, its capacity
// in words for people, its blocks, and the progress of its loads and saves.
#ifndef QSSTORAGE_TOOLS_QSPLEX_IMAGE_PLEX_H_
#define QSSTORAGE_TOOLS_QSPLEX_IMAGE_PLEX_H_

#include <cstdint>
#include <string>
#include <vector>

#include "check/tree_check.h"
#include "tools/qsplex/output/progress.h"

namespace qsplex {

// Empties the plex for the command. The environment variable
// QSPLEX_PLEX_BYTES, when set, gives the plex's reservation in bytes
// instead of the build's default: a testing aid, so that a small plex fills
// up with small data.
void ResetPlex();
// "N MiB", rounded up.
std::string Mebibytes(uint64_t bytes);
// Why `bytes` more cannot be stored: "the plex cannot hold N bytes more
// (capacity C in this build)".
std::string PlexFull(uint64_t bytes);
// The store's allocated blocks, for the checker.
std::vector<qss::AllocatedBlock> AllocatedBlocks();

// Reports the store's progress on the terminal while it lives.
class PlexProgress {
 public:
  explicit PlexProgress(const char* verb);
  PlexProgress(const PlexProgress&) = delete;
  PlexProgress& operator=(const PlexProgress&) = delete;
  ~PlexProgress();

 private:
  Progress progress_;
};

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_IMAGE_PLEX_H_
