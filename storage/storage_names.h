// The storage-name buffer: wide names of storages handed to callers by
// Stat. Valid until the next conversion.
#ifndef QSSTORAGE_STORAGE_STORAGE_NAMES_H_
#define QSSTORAGE_STORAGE_STORAGE_NAMES_H_

#include "platform/com.h"

namespace qss {

OLECHAR* StorageNameBuffer();

// A CoTaskMemAlloc copy of `wide` for a STATSTG, or null when that fails.
LPOLESTR CoTaskMemCopy(const OLECHAR* wide);

}  // namespace qss

#endif  // QSSTORAGE_STORAGE_STORAGE_NAMES_H_
