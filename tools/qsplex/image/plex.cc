#include "tools/qsplex/image/plex.h"

#include <cstdlib>

#include "standins/plex_controls.h"

namespace qsplex {
namespace {

constexpr uint64_t kMebibyte = 1024 * 1024;

// Shows the progress of the store's loads and saves.
void QSS_HOST_CALL OnPlexProgress(unsigned long long done,
                                  unsigned long long total, void* context) {
  static_cast<Progress*>(context)->Reached(done, total);
}

}  // namespace

PlexProgress::PlexProgress(const char* verb) : progress_(verb, 0, 0) {
  QssPlex_SetProgress(OnPlexProgress, &progress_);
}

PlexProgress::~PlexProgress() { QssPlex_SetProgress(nullptr, nullptr); }

void ResetPlex() {
  const char* bytes = std::getenv("QSPLEX_PLEX_BYTES");
  if (bytes != nullptr && *bytes != 0) {
    QssPlex_SetReservationBytes(std::strtoull(bytes, nullptr, 10));
  }
  QssPlex_Reset();
}

std::string Mebibytes(uint64_t bytes) {
  return std::to_string((bytes + kMebibyte - 1) / kMebibyte) + " MiB";
}

std::string PlexFull(uint64_t bytes) {
  return "the plex cannot hold " + std::to_string(bytes) +
         " bytes more (capacity " + Mebibytes(QssPlex_CapacityBytes()) +
         " in this build)";
}

std::vector<qss::AllocatedBlock> AllocatedBlocks() {
  std::vector<qss::AllocatedBlock> blocks;
  for (int id = QssPlex_NextBlockId(0); id != 0; id = QssPlex_NextBlockId(id)) {
    blocks.push_back({id, QssPlex_BlockWords(id)});
  }
  return blocks;
}

}  // namespace qsplex
