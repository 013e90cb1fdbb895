#include "records/lifetime.h"

#include "records/claims.h"
#include "records/element_list.h"
#include "records/plex.h"

namespace qss {
namespace {

// Frees a node marked deleted (a stream with its data block) unless its
// open count holds it, detaching the objects over it first.
void FreeNodeIfUnused(int block_id, int kind) {
  const NodeLayout& layout = LayoutOf(kind);
  const int* node = LocateBlock(block_id);
  if (!IsDeleted(node, layout) || node[layout.open_count_word] != 0) return;
  DetachClaims(block_id);
  if (kind == kKindStream && node[kStreamDataBlockWord] != 0) {
    FreeBlock(node[kStreamDataBlockWord]);
  }
  FreeBlock(block_id);
}

void DeleteStream(int block_id) {
  LocateBlock(block_id)[kStreamDeletedWord] = 1;
  FreeNodeIfUnused(block_id, kKindStream);
}

// Depth first without recursion: entries are taken off the head of each
// list as they are released, and a sub-storage being released keeps the
// way back (its parent and its own entry) in its class id words, which
// mean nothing once the node is deleted.
void DeleteStorage(int block_id) {
  constexpr int kReturnParentWord = kStorageClassIdWord;
  constexpr int kReturnEntryWord = kStorageClassIdWord + 1;
  int current = block_id;
  for (;;) {
    const Element head = TakeFirstEntry(current);
    if (head.entry != 0) {
      if (head.child != 0 && head.kind == kKindStorage) {
        int* child_node = LocateBlock(head.child);
        child_node[kReturnParentWord] = current;
        child_node[kReturnEntryWord] = head.entry;
        current = head.child;
        continue;
      }
      if (head.child != 0 && head.kind == kKindStream) DeleteStream(head.child);
      FreeEntry(head.entry);
      continue;
    }
    int* node = LocateBlock(current);
    node[kStorageDeletedWord] = 1;
    if (current == block_id) {
      FreeNodeIfUnused(current, kKindStorage);
      return;
    }
    const int parent = node[kReturnParentWord];
    const int own_entry = node[kReturnEntryWord];
    FreeNodeIfUnused(current, kKindStorage);
    FreeEntry(own_entry);
    current = parent;
  }
}

void Close(int* node, const NodeLayout& layout, int mode_word) {
  node[layout.open_count_word] = 0;
  node[mode_word] = kNotOpen;
}

}  // namespace

void DeleteNode(int block_id, int kind) {
  if (block_id == 0) return;
  if (kind == kKindStorage) {
    DeleteStorage(block_id);
  } else {
    DeleteStream(block_id);
  }
}

void DestroyChild(int storage, int child, int kind, int entry) {
  if (entry != 0) {
    UnlinkEntry(storage, entry);
  } else {
    UnlinkChild(storage, child);
  }
  DeleteNode(child, kind);
}

void CloseSubtree(int root) {
  if (root == 0) return;
  // While a sub-storage is walked, its open-count word holds its parent
  // and its open-mode word the entry it hangs from; both get their closed
  // values when it is left.
  int current = root;
  int entry_id = FirstEntry(root);
  for (;;) {
    while (entry_id != 0) {
      const Element element = ReadEntry(entry_id);
      if (element.child != 0 && element.kind == kKindStorage) {
        int* node = LocateBlock(element.child);
        node[kStorageOpenCountWord] = current;
        node[kStorageOpenModeWord] = entry_id;
        current = element.child;
        entry_id = node[kStorageFirstEntryWord];
        continue;
      }
      if (element.child != 0 && element.kind == kKindStream) {
        Close(LocateBlock(element.child), kStreamLayout, kStreamOpenModeWord);
      }
      entry_id = element.next;
    }
    int* node = LocateBlock(current);
    const int parent = node[kStorageOpenCountWord];
    const int own_entry = node[kStorageOpenModeWord];
    Close(node, kStorageLayout, kStorageOpenModeWord);
    if (current == root) return;
    current = parent;
    entry_id = ReadEntry(own_entry).next;
  }
}

}  // namespace qss
