// Storage class ids across a copy. IStorage::CopyTo of this library carries
// names and bytes but no class id, so a copy into a compound file (or any
// storage) takes the class ids in a second walk.
#ifndef QSSTORAGE_TOOLS_QSPLEX_CLASS_IDS_H_
#define QSSTORAGE_TOOLS_QSPLEX_CLASS_IDS_H_

#include "platform/com.h"

namespace qsplex {

// Sets on `dest` and on every storage below it the class id of the storage
// of the same path in `source`, where that is not null. Each storage of
// `source` must exist in `dest` (as after source->CopyTo(dest)); `source`'s
// storages are opened for reading, `dest`'s with STGM_READWRITE |
// STGM_SHARE_EXCLUSIVE. Depth-first without recursion; stops at the first
// failure and returns its code.
HRESULT CopyClassIds(IStorage* source, IStorage* dest);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_CLASS_IDS_H_
