// What `qsplex report` shows of an image, as the one JSON object its page
// reads: the tree as the salvaging walk finds it (so a damaged image shows
// as far as it can be read), the blocks by owner and size, the damage and
// what the checker found. The text depends on the image alone: no time, no
// path of this machine, integers only, ASCII throughout, so every build
// writes the same bytes for the same image.
#ifndef QSSTORAGE_TOOLS_QSPLEX_REPORT_REPORT_DATA_H_
#define QSSTORAGE_TOOLS_QSPLEX_REPORT_REPORT_DATA_H_

#include <cstdint>
#include <string>
#include <vector>

#include "check/tree_check.h"
#include "tools/qsplex/image/damage.h"
#include "tools/qsplex/output/text.h"
#include "tools/qsplex/records/salvage.h"

namespace qsplex {

// Who a block belongs to.
enum class BlockOwner {
  kHost,       // blocks 1 and 2, the host's own
  kRecord,     // an element's record
  kList,       // an entry of an element list
  kData,       // a stream's data
  kUnreached,  // allocated, but the walk from the root does not reach it
};
constexpr int kBlockOwners = 5;

// The owner of each of `blocks`, in their order, by what `tree` reached.
std::vector<BlockOwner> BlockOwners(
    const SalvagedTree& tree, const std::vector<qss::AllocatedBlock>& blocks);

// Blocks smaller than this share of all the blocks' bytes are summed per
// owner instead of listed one by one (damaged blocks are always listed):
// at the page's size, a smaller block is below what it can draw.
constexpr uint64_t kListedBlockShare = 4096;
// Damaged blocks listed one by one at most, among the blocks and in the
// damage; the rest are counted.
constexpr size_t kListedDamage = 2000;
// The checker's findings listed at most (a tree cut off early leaves a
// leak per block); the rest are counted.
constexpr size_t kListedFindings = 5000;

struct ReportInput {
  std::string image_name;       // IMAGE's file name, without its folders
  std::vector<WideString> top;  // the subtree shown; empty for the root
  const SalvagedTree* tree = nullptr;
  const std::vector<qss::AllocatedBlock>* blocks = nullptr;
  const ImageDamage* damage = nullptr;
  const std::vector<qss::TreeFinding>* findings = nullptr;
  uint64_t file_bytes = 0;  // the image file's length
  unsigned version = 0;     // of its format; 0 when unknown
};

// The report's data as one JSON object on one line. False, with `*problem`
// set, when no element the walk keeps is at `top`.
bool ReportJson(const ReportInput& in, std::string* json, std::string* problem);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_REPORT_REPORT_DATA_H_
