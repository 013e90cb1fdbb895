// Walks over elements through the standard interfaces: a storage's
// elements one by one, and a whole subtree's listing.
#ifndef QSSTORAGE_TOOLS_QSPLEX_TREE_WALK_H_
#define QSSTORAGE_TOOLS_QSPLEX_TREE_WALK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com.h"
#include "support/com_ref.h"
#include "tools/qsplex/output/text.h"
#include "tools/qsplex/output/tree_node.h"

namespace qsplex {

using qss_support::Ref;

constexpr DWORD kRead = STGM_READ | STGM_SHARE_EXCLUSIVE;            // 0x10
constexpr DWORD kReadWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;  // 0x12

// The next element's record, every member not filled by the enumerator
// zero (a stream's Stat leaves its class id and times as they were). False
// at the end.
bool NextElement(IEnumSTATSTG* elements, STATSTG* stat);

// Lists the subtree of `top` (its own node named `top_name`) into `nodes`,
// with each storage's size and counts totalled over its subtree.
// With `open_streams`, opens every stream for reading on the way, since
// copying reads only streams whose open mode allows it. Elements without a
// name are listed but not opened (no name finds them): such a storage's
// own elements are not listed. On failure returns
// the code and sets `*failed` to the index of the node being read.
HRESULT LoadTree(IStorage* top, const WideString& top_name, bool open_streams,
                 std::vector<TreeNode>* nodes, int* failed);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_TREE_WALK_H_
