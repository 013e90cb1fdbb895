// The tree's records as they lie in the plex, for dump, info and check:
// read through the tree checker's bounded walk (check/element_lists.h), so
// a damaged tree prints as far as it goes and never sends the walk out of
// a block or round a loop.
#ifndef QSSTORAGE_TOOLS_QSPLEX_RECORDS_RECORD_DUMP_H_
#define QSSTORAGE_TOOLS_QSPLEX_RECORDS_RECORD_DUMP_H_

#include <cstddef>
#include <string>
#include <vector>

#include "check/element_lists.h"
#include "tools/qsplex/image/damage.h"

namespace qsplex {

// A node record of `kind` in block `id` of `words` words, one line per
// header word, the name words on one line, each line after `indent`.
void PrintNode(const int* node, int id, int words, int kind,
               const std::string& path, const std::string& indent);

// A line under a block that the image holds damaged; nothing for a sound
// block.
void PrintDamage(const DamageMap& damage, const qss::PlexView& view, int block,
                 const std::string& indent);

// The records of the elements at and below `top` (a path whose names are
// as the records hold them, unescaped), from the root storage node `root`:
// parents first, each element list in its order. Returns the number of
// nodes printed.
int DumpRecords(const std::vector<qss::AllocatedBlock>& blocks,
                const DamageMap& damage, int root, const std::string& top);

struct ElementCounts {
  size_t storages = 0, streams = 0, unnamed = 0;
};

// The elements below the root, by their records: also those no name finds.
// For a tree the checker found sound; a damaged one counts as far as the
// walk admits it.
ElementCounts CountElements(const std::vector<qss::AllocatedBlock>& blocks);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_RECORDS_RECORD_DUMP_H_
