// The root anchor: word 52 of block 2 holds the root StorageNode's id, so
// the tree is saved and restored with the plex.
#ifndef QSSTORAGE_EXPORTS_ROOT_ANCHOR_H_
#define QSSTORAGE_EXPORTS_ROOT_ANCHOR_H_

#include "platform/com.h"

namespace qss {

// A new object over the root, creating and anchoring the root node ("Root",
// root class id) in an empty plex; the root's open mode becomes 0x42 when it
// is closed. Null when the object or node cannot be made.
IStorage* OpenRootStorage();

// Releases the whole tree and empties the anchor.
void ClearRoot();

// Closes every node reachable from the root: open mode -1, open count 0.
void ResetOpenState();

}  // namespace qss

#endif  // QSSTORAGE_EXPORTS_ROOT_ANCHOR_H_
