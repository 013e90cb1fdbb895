// One element of a subtree as it is listed: what the walk over a storage
// gives and what listings show.
#ifndef QSSTORAGE_TOOLS_QSPLEX_OUTPUT_TREE_NODE_H_
#define QSSTORAGE_TOOLS_QSPLEX_OUTPUT_TREE_NODE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/com.h"
#include "tools/qsplex/output/text.h"

namespace qsplex {

// One element of a loaded subtree; nodes come in depth-first order, each
// storage's children newest first, so a parent precedes its children.
struct TreeNode {
  WideString name;
  int parent;  // index of the parent node; -1 for the top
  DWORD type;
  uint64_t size;  // bytes; for storages, of all streams below once totalled
  DWORD mode;
  CLSID clsid;
  int depth;
  bool last;                         // the last child of its parent
  bool listed = true;                // a storage's elements were listed
  bool timed = false;                // its record holds a time
  size_t storages = 0, streams = 0;  // below a storage, once totalled
};

// The node of an element as its enumerator gives it; a null name is empty.
TreeNode NodeFrom(const STATSTG& stat, int parent, int depth);
// The path of node `index` below `top_path`.
std::string NodePath(const std::vector<TreeNode>& nodes, int index,
                     const std::string& top_path);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_OUTPUT_TREE_NODE_H_
