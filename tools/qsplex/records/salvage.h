// Reading a damaged image: which blocks fail their checksum or were cut off
// by the file's end, and which elements of the tree can still be reached
// and trusted. The walk reads records straight from the plex through the
// tree checker's bounded walk (check/element_lists.h), so no damaged record
// can send it out of a block, round a loop or into another element's
// record.
#ifndef QSSTORAGE_TOOLS_QSPLEX_RECORDS_SALVAGE_H_
#define QSSTORAGE_TOOLS_QSPLEX_RECORDS_SALVAGE_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "check/tree_check.h"
#include "platform/com.h"
#include "tools/qsplex/image/damage.h"
#include "tools/qsplex/cli/context.h"

namespace qsplex {

// LoadImageFile with `damage`, and of a cut block, `bytes_read` is the bytes
// the file holds at its start, as the store measures them by the file's
// length.
bool LoadDamagedImage(const Context& c, ImageDamage* damage);

enum class Fate {
  kKept,     // read and verified
  kDamaged,  // kept with what could be read; `problems` says what is wrong
  kLost,     // cannot be reached or trusted
};

// One element of the salvaged tree, or one that is lost. A lost element
// may be an entry whose child is unknown (kind -1), or the rest of an
// element list that cannot be followed.
struct SalvagedElement {
  int parent = -1;   // index of the parent element; -1 for the root
  int kind = -1;     // qss::kKindStorage or kKindStream
  std::string name;  // ANSI bytes as the record holds them
  std::string path;  // for people
  int node = 0;      // the record's block
  int data = 0;      // a stream's data block, 0 when none is kept
  CLSID clsid = {};
  uint64_t size = 0;  // bytes the record claims
  uint64_t kept = 0;  // of those, bytes read from the data block
  Fate fate = Fate::kKept;
  std::vector<std::string> problems;
};

struct SalvagedTree {
  // Parents before their children; each element list in its order.
  std::vector<SalvagedElement> elements;
  // What each block reached holds: "the record of /a/b".
  std::map<int, std::string> roles;
};

// Walks the tree in `blocks`, the store's allocated blocks, from the root
// anchor, keeping every element whose record verifies and reading every
// block once at most. An element list that runs into a block that is not a
// sound entry goes on at the one entry not reached otherwise that links
// back to that block, if there is one.
SalvagedTree SalvageTree(const std::vector<qss::AllocatedBlock>& blocks,
                         const DamageMap& damage);

// Makes the kept elements of `tree` under a fresh root in the plex that
// holds it, marking those that cannot be made lost (with why), and frees
// every block of the old tree but the host's own: `old_blocks` are the
// store's blocks as `tree` was walked. Then the plex holds the new tree
// alone.
void RebuildTree(SalvagedTree* tree,
                 const std::vector<qss::AllocatedBlock>& old_blocks);

// What is wrong with a damaged block of `words` words: "fails its
// checksum", "cut off by the image's end after N of its M bytes".
std::string DamageText(const BlockDamage& damage, int words);

// "kept", "damaged" or "lost".
const char* FateName(Fate fate);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_RECORDS_SALVAGE_H_
