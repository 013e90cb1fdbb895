// A subtree copied into another storage element by element, under other
// names where given: what export --rename writes, as the library's CopyTo
// cannot rename.
#ifndef QSSTORAGE_TOOLS_QSPLEX_COMPOUND_RENAMED_COPY_H_
#define QSSTORAGE_TOOLS_QSPLEX_COMPOUND_RENAMED_COPY_H_

#include <vector>

#include "platform/com.h"
#include "tools/qsplex/output/progress.h"
#include "tools/qsplex/output/text.h"
#include "tools/qsplex/output/tree_node.h"

namespace qsplex {

// Copies the subtree `nodes` (LoadTree's listing of `source`) into `dest`,
// node i named `names[i]` where that is not empty. Elements without a name
// are left out, as the library's copy leaves them. On failure, `*failed` is
// the node being copied and `*in_dest` whether a call on `dest`'s side
// failed.
HRESULT CopyRenamed(IStorage* source, IStorage* dest,
                    const std::vector<TreeNode>& nodes,
                    const std::vector<WideString>& names, Progress* progress,
                    int* failed, bool* in_dest);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_COMPOUND_RENAMED_COPY_H_
