// A destination storage that reports the progress of a copy into it.
#ifndef QSSTORAGE_TOOLS_QSPLEX_TREE_PROGRESS_STORAGE_H_
#define QSSTORAGE_TOOLS_QSPLEX_TREE_PROGRESS_STORAGE_H_

#include <string>

#include "platform/com.h"
#include "tools/qsplex/output/progress.h"

namespace qsplex {

// A storage that forwards every call to `inner` and reports what copies
// create and write in it, and where creating, writing or setting a class id
// failed, to `progress`; `path` names `inner`. Reference count 1.
IStorage* NewProgressStorage(IStorage* inner, Progress* progress,
                             const std::string& path);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_TREE_PROGRESS_STORAGE_H_
