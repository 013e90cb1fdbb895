// The tree checker: reads the storage tree's records straight from the plex,
// starting at the root anchor (word 52 of block 2), and reports every
// inconsistency it finds. It makes no library objects, never changes the
// plex, and reads through a RecordWalk (element_lists.h), which never reads
// a block that is not in the list of allocated blocks it is given, nor past
// a block's end, so it is safe on any plex contents.
#ifndef QSSTORAGE_CHECK_TREE_CHECK_H_
#define QSSTORAGE_CHECK_TREE_CHECK_H_

#include <string>
#include <vector>

#include "check/element_lists.h"
#include "records/node_records.h"

namespace qss {

enum class FindingKind {
  kAnchor,   // block 2 cannot hold the root anchor
  kLink,     // element list: missing, shared or looping entries, bad links
  kNode,     // node record too short, or sized unlike its name length
  kName,     // duplicate names in one storage, badly padded names
  kStream,   // size and capacity words, data block
  kDeleted,  // a node marked deleted that the tree still reaches
  kLeak,     // an allocated block the tree does not reach
};

struct TreeFinding {
  FindingKind kind;
  std::string location;  // the element's path ("/a/b"), or "block N"
  std::string message;
};

// The ANSI bytes of a node record's name up to the first zero, read from at
// most `node_words` words.
std::string RawRecordName(const int* node, int node_words,
                          const NodeLayout& layout);

// The name a node record holds, in UTF-8: its ANSI bytes (code page 1252) up
// to the first zero, read from at most `node_words` words, control
// characters included (a caller showing it escapes them). Empty for a name
// of 0 words.
std::string RecordName(const int* node, int node_words,
                       const NodeLayout& layout);

// Checks the tree against `blocks`, the store's complete list of allocated
// blocks. Blocks 1 and 2 are the host's own; every other block must be a
// record that the tree reaches exactly once. Findings come in walk order
// (parents before children, newest element first), leaks last.
std::vector<TreeFinding> CheckTree(const std::vector<AllocatedBlock>& blocks);

// Whether the library can walk and change the tree without reading past its
// records: true when every finding is a leak, a name finding or a reachable
// deleted node.
bool TreeIsWalkable(const std::vector<TreeFinding>& findings);

}  // namespace qss

#endif  // QSSTORAGE_CHECK_TREE_CHECK_H_
