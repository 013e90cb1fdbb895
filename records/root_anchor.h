// The host's anchor of the root storage: word kAnchorWord of block
// kAnchorBlock holds the root StorageNode's id, 0 while there is none.
// Read and written here only.
#ifndef QSSTORAGE_RECORDS_ROOT_ANCHOR_H_
#define QSSTORAGE_RECORDS_ROOT_ANCHOR_H_

#include "records/node_records.h"
#include "records/plex.h"

namespace qss {

inline int& RootAnchor() { return LocateBlock(kAnchorBlock)[kAnchorWord]; }

// Empties the anchor without reading the tree it held, whose blocks stay
// allocated: the next GetRootIStorage makes a fresh root. For a caller that
// frees the old blocks itself, as the tool's salvage does with a damaged
// tree that QSStrg_ClearRootStorage would walk.
inline void DetachRoot() { RootAnchor() = 0; }

}  // namespace qss

#endif  // QSSTORAGE_RECORDS_ROOT_ANCHOR_H_
