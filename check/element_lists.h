// A bounded walk over the tree's records in a plex that may hold anything:
// the root anchor, the element lists, the nodes their entries name and the
// streams' data blocks. Every block is read through a view of the store's
// allocated blocks, never past its end, and admitted once at most: a list
// that loops or shares an entry stops at the second arrival, and a node or
// data block of two owners is refused to the second. A block that is not
// allocated (out of range, never made, or freed) or too short for its
// record is refused too. A refusal says why; each caller words it.
//
// The tree checker, the tool's salvage and record dump and the reliability
// driver read the tree through this walk: outside the library's records/
// no other code reads the list words (a storage's first-entry word and an
// entry's next, previous, kind and child words).
#ifndef QSSTORAGE_CHECK_ELEMENT_LISTS_H_
#define QSSTORAGE_CHECK_ELEMENT_LISTS_H_

#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "records/node_records.h"

namespace qss {

// One block of the host's store.
struct AllocatedBlock {
  int id;
  int words;
};

// Bounded access to the allocated blocks.
class PlexView {
 public:
  explicit PlexView(const std::vector<AllocatedBlock>& blocks);
  // The block's word count, or -1 when it is not allocated.
  int Words(int id) const;
  // The block's words, or null when it is not allocated or shorter than
  // `min_words`. Valid until the plex changes.
  const int* Block(int id, int min_words) const;

 private:
  std::unordered_map<int, int> words_;
};

// The root's id (0 when there is none) into `*root`; false when block 2
// cannot hold the root anchor.
bool ReadRootAnchor(const PlexView& view, int* root);

enum class Admission {
  kAdmitted,
  kNotAllocated,  // no such block: out of range, never made, or freed
  kReachedAgain,  // admitted before: a loop, or a block of two owners
  kTooShort,      // fewer words than its record needs
};

// An entry's words as the plex holds them.
struct EntryLinks {
  int next = 0;
  int previous = 0;
  int kind = -1;
  int child = 0;
  bool known_kind() const {
    return kind == kKindStorage || kind == kKindStream;
  }
};

// One step along an element list: the block the list names next, admitted
// or refused.
struct ListStep {
  int entry = 0;
  int words = -1;             // its word count; -1 when not allocated
  int expected_previous = 0;  // the entry stepped before; 0 at the head
  Admission admission = Admission::kNotAllocated;
  EntryLinks links;  // read when admitted (an entry may have more words)
};

// A node record as admitted.
struct NodeRecord {
  Admission admission = Admission::kNotAllocated;
  const int* words = nullptr;  // its header and name; null unless admitted
  int block_words = -1;        // the block's word count; -1: not allocated
  int name_words = 0;          // its name-length word
  int header_words = 0;        // the layout's words before the name
  // Whether the block holds the header and the name's words exactly.
  bool sized_as_named() const {
    return name_words >= 0 &&
           static_cast<long long>(header_words) + name_words == block_words;
  }
};

class RecordWalk;

// A position in one element list, kept by the walk that made it.
class ElementList {
 public:
  // The next entry of the list into `*step`; false at the list's end. The
  // list ends after an entry that is refused, unless GoOnAt says where it
  // goes on.
  bool Next(ListStep* step);
  // Goes on at `entry` (0: ends) after the entry just stepped.
  void GoOnAt(int entry) { at_ = entry; }

 private:
  friend class RecordWalk;
  ElementList(RecordWalk* walk, int first, int previous)
      : walk_(walk), at_(first), previous_(previous) {}
  RecordWalk* walk_;
  int at_;
  int previous_;
};

class RecordWalk {
 public:
  explicit RecordWalk(const std::vector<AllocatedBlock>& blocks)
      : view_(blocks) {}

  const PlexView& view() const { return view_; }

  bool ReadAnchor(int* root) const { return ReadRootAnchor(view_, root); }

  // Marks `id` reached without reading it: the host's own blocks.
  void Reach(int id) { reached_.insert(id); }
  bool Reached(int id) const { return reached_.count(id) != 0; }

  // Admits block `id` when it is allocated, not admitted before and of at
  // least `min_words` words; a block too short is reached all the same.
  // Its words, when admitted, are view().Block(id, min_words).
  Admission AdmitBlock(int id, int min_words);
  // Admits the node record of `layout` in block `id`: at least its header.
  // Whether it is as long as its name says is the caller's to judge.
  NodeRecord AdmitNode(int id, const NodeLayout& layout);

  // The element list of `storage`, an admitted storage node.
  ElementList ListOf(const NodeRecord& storage) {
    return ListFrom(storage.words[kStorageFirstEntryWord], 0);
  }
  // A list going on at `first`, whose entry before it was `previous`.
  ElementList ListFrom(int first, int previous) {
    return ElementList(this, first, previous);
  }

  // The words of `block` read as an entry, without admitting it: false
  // when it is not allocated or shorter than an entry.
  bool PeekEntry(int block, EntryLinks* links) const;
  // The first entry a storage node's words name, without admitting it;
  // `storage` holds at least the node's header.
  static int FirstEntryOf(const int* storage) {
    return storage[kStorageFirstEntryWord];
  }

 private:
  PlexView view_;
  std::unordered_set<int> reached_;
};

}  // namespace qss

#endif  // QSSTORAGE_CHECK_ELEMENT_LISTS_H_
