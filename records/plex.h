// Block access over the host's data-management calls. Ids are stable; an
// address from LocateBlock stays valid until that same block is
// reallocated or freed (other blocks and the plex never move).
#ifndef QSSTORAGE_RECORDS_PLEX_H_
#define QSSTORAGE_RECORDS_PLEX_H_

#include "records/dms.h"

namespace qss {

// Inline: element walks locate two blocks per visited sibling.
inline int* LocateBlock(int block_id) { return ib0 + DMS_LOCATI(&block_id); }

// The block whose id is the word at `id_word`, a word of the plex itself:
// the host reads the id where it lies, so a walk from block to block does
// not copy each id out first. Locating moves nothing, so the word stays put.
inline int* LocateBlockAt(const int* id_word) {
  return ib0 + DMS_LOCATI(id_word);
}

// A new zero-filled block in the simulation bead; 0 when the store is full.
int AllocateBlock(int words);

// Resizes the block, keeping its contents up to the smaller size. Returns
// the block's new address, or null when the store could not hold the new
// size; the block is then unchanged.
int* ResizeBlock(int block_id, int words);

void FreeBlock(int block_id);

}  // namespace qss

#endif  // QSSTORAGE_RECORDS_PLEX_H_
