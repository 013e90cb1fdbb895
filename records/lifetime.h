// Node lifetime: deleting a node marks it deleted, detaches the objects over
// it and frees it (a stream with its data block, a storage with its subtree)
// unless its open count holds it. This file and records/element_list.h are
// the only code that writes the deleted flag, the open count or the list
// words.
//
// The open count is only ever reset (to 0, by CloseSubtree) and read (here):
// the library never raises it. A plex saved by the host may hold a count
// above 0, and a node so held stays allocated, marked deleted and unlinked,
// until the host lets it go.
#ifndef QSSTORAGE_RECORDS_LIFETIME_H_
#define QSSTORAGE_RECORDS_LIFETIME_H_

#include "records/node_records.h"

namespace qss {

inline bool IsDeleted(const int* node, const NodeLayout& layout) {
  return node[layout.deleted_word] != 0;
}

// Deletes an unlinked node: a stream, or a storage with everything below it.
// Its own entry in a parent list, if any, is the caller's to unlink. Walks
// a subtree without recursion.
void DeleteNode(int block_id, int kind);

// Unlinks the child from the list of `storage` and deletes it. `entry` is
// the child's entry when the caller has just found it, saving a second walk
// of the list; 0 looks it up.
void DestroyChild(int storage, int child, int kind, int entry = 0);

// Closes every node from the storage `root` down: open mode -1, open count
// 0. Walks without recursion and without memory of its own.
void CloseSubtree(int root);

}  // namespace qss

#endif  // QSSTORAGE_RECORDS_LIFETIME_H_
