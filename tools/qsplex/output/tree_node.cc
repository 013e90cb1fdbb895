#include "tools/qsplex/output/tree_node.h"

namespace qsplex {

TreeNode NodeFrom(const STATSTG& stat, int parent, int depth) {
  TreeNode node;
  node.name = stat.pwcsName != nullptr ? stat.pwcsName : WideString();
  node.parent = parent;
  node.type = stat.type;
  node.size = stat.type == STGTY_STREAM ? stat.cbSize.QuadPart : 0;
  node.mode = stat.grfMode;
  node.clsid = stat.clsid;
  node.depth = depth;
  node.last = false;
  for (const FILETIME& time : {stat.ctime, stat.mtime}) {
    node.timed |= time.dwLowDateTime != 0 || time.dwHighDateTime != 0;
  }
  return node;
}

std::string NodePath(const std::vector<TreeNode>& nodes, int index,
                     const std::string& top_path) {
  std::string tail;
  for (int at = index; at > 0; at = nodes[at].parent) {
    tail = "/" + ShownName(nodes[at].name.c_str()) + tail;
  }
  if (tail.empty()) return top_path;
  return top_path == "/" ? tail : top_path + tail;
}

}  // namespace qsplex
