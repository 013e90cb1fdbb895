#include "tools/qsplex/output/output.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace qsplex {

bool ParseSortOrder(const std::string& text, SortOrder* order) {
  if (text == "none") {
    *order = SortOrder::kNone;
  } else if (text == "name") {
    *order = SortOrder::kName;
  } else if (text == "size") {
    *order = SortOrder::kSize;
  } else {
    return false;
  }
  return true;
}

std::string HumanSize(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB",
                                       "TiB", "PiB", "EiB"};
  uint64_t scale = 1024;  // at most 2^60, so the products below fit
  for (int unit = 0;; ++unit, scale *= 1024) {
    const uint64_t whole = bytes / scale;
    const uint64_t rest = bytes % scale;
    const uint64_t tenths = whole * 10 + (rest * 10 + scale - 1) / scale;
    const uint64_t rounded = whole + (rest != 0 ? 1 : 0);
    char text[32];
    if (tenths < 100) {
      std::snprintf(text, sizeof text, "%u.%u %s",
                    static_cast<unsigned>(tenths / 10),
                    static_cast<unsigned>(tenths % 10), kUnits[unit]);
      return text;
    }
    if (rounded < 1024 || unit == 5) {
      std::snprintf(text, sizeof text, "%llu %s",
                    static_cast<unsigned long long>(rounded), kUnits[unit]);
      return text;
    }
  }
}

std::string SizeText(uint64_t bytes, bool human) {
  return human ? HumanSize(bytes) : std::to_string(bytes);
}

namespace {

// UTF-16 units in code point order: the units of surrogate pairs (the
// characters past U+FFFF) after those of U+E000 to U+FFFF.
uint32_t CodePointRank(OLECHAR unit) {
  const uint32_t u = static_cast<char16_t>(unit);
  if (u >= 0xE000) return u - 0x800;
  if (u >= 0xD800) return u + 0x2000;
  return u;
}

}  // namespace

bool NameBefore(const WideString& a, const WideString& b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    if (a[i] != b[i]) return CodePointRank(a[i]) < CodePointRank(b[i]);
  }
  return a.size() < b.size();
}

void SortSiblings(std::vector<TreeNode>* siblings, SortOrder order) {
  if (order == SortOrder::kNone) return;
  std::stable_sort(siblings->begin(), siblings->end(),
                   [order](const TreeNode& a, const TreeNode& b) {
                     if (order == SortOrder::kSize && a.size != b.size) {
                       return a.size > b.size;
                     }
                     return NameBefore(a.name, b.name);
                   });
}

void SortTree(std::vector<TreeNode>* nodes, SortOrder order,
              bool storage_totals) {
  if (order == SortOrder::kNone || nodes->size() < 3) return;
  // Each storage's children as nodes, with their old index in `parent`
  // while sorted, then the tree written out again depth-first.
  std::vector<std::vector<TreeNode>> children(nodes->size());
  for (size_t i = 1; i < nodes->size(); ++i) {
    TreeNode child = (*nodes)[i];
    const int parent = child.parent;
    child.parent = static_cast<int>(i);
    if (!storage_totals && child.type == STGTY_STORAGE) child.size = 0;
    children[parent].push_back(std::move(child));
  }
  for (std::vector<TreeNode>& siblings : children) {
    SortSiblings(&siblings, order);
  }
  std::vector<TreeNode> sorted;
  sorted.reserve(nodes->size());
  sorted.push_back((*nodes)[0]);
  struct Pending {
    int old_index, new_parent;
    bool last;
  };
  std::vector<Pending> pending;
  auto push_children = [&](int old_index, int new_index) {
    const std::vector<TreeNode>& siblings = children[old_index];
    for (size_t k = siblings.size(); k-- > 0;) {
      pending.push_back(
          {siblings[k].parent, new_index, k + 1 == siblings.size()});
    }
  };
  push_children(0, 0);
  while (!pending.empty()) {
    const Pending next = pending.back();
    pending.pop_back();
    TreeNode node = (*nodes)[next.old_index];
    node.parent = next.new_parent;
    node.last = next.last;
    sorted.push_back(std::move(node));
    push_children(next.old_index, static_cast<int>(sorted.size() - 1));
  }
  nodes->swap(sorted);
}

WideString WidePath(const std::vector<WideString>& names) {
  WideString path;
  for (const WideString& name : names) path += OLECHAR('/') + name;
  return path.empty() ? WideString(1, OLECHAR('/')) : path;
}

WideString NodeWidePath(const std::vector<TreeNode>& nodes, int index,
                        const WideString& top) {
  WideString tail;
  for (int at = index; at > 0; at = nodes[at].parent) {
    tail = OLECHAR('/') + nodes[at].name + tail;
  }
  if (tail.empty()) return top;
  return top.size() == 1 ? tail : top + tail;
}

void WriteElement(JsonWriter* json, const TreeNode& node,
                  const WideString& path) {
  const bool storage = node.type == STGTY_STORAGE;
  json->Key("name").String(node.name.c_str());
  json->Key("path").String(path.c_str());
  json->Key("type").String(storage ? "storage" : "stream");
  json->Key("size");
  if (storage) {
    json->Null();
  } else {
    json->Number(node.size);
  }
  json->Key("mode").Number(node.mode);
  json->Key("class_id");
  if (storage) {
    json->String(FormatClassId(node.clsid));
  } else {
    json->Null();
  }
}

}  // namespace qsplex
