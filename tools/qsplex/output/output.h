// What ls, tree and stat show of elements, for people and for scripts:
// sizes, orders, and an element's members in JSON.
#ifndef QSSTORAGE_TOOLS_QSPLEX_OUTPUT_OUTPUT_H_
#define QSSTORAGE_TOOLS_QSPLEX_OUTPUT_OUTPUT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/qsplex/output/json.h"
#include "tools/qsplex/output/tree_node.h"

namespace qsplex {

enum class SortOrder {
  kNone,  // the library's order: newest first
  kName,  // by the names' characters, code point by code point (the
          // byte order of their UTF-8, as ls sorts in the C locale)
  kSize,  // largest first; equal sizes by name
};

// "name", "size" or "none"; false for anything else.
bool ParseSortOrder(const std::string& text, SortOrder* order);

// "512 B", "1.5 KiB", "12 MiB": one decimal below 10 of a unit, rounded
// up as ls -h does, so that a size never shows smaller than it is.
std::string HumanSize(uint64_t bytes);
// The bytes as digits, or with `human` as HumanSize.
std::string SizeText(uint64_t bytes, bool human);

// Whether name `a` comes before name `b` in code point order: the byte
// order of their UTF-8, whatever code page keeps them.
bool NameBefore(const WideString& a, const WideString& b);

// Orders `siblings` by `order`, stably. A storage counts its `size`, so a
// caller that has no total for it leaves that 0.
void SortSiblings(std::vector<TreeNode>* siblings, SortOrder order);
// Orders every storage's children in a loaded subtree (see LoadTree),
// keeping the nodes depth-first, parents before children, with `parent`
// and `last` to match. With `storage_totals`, storages sort by the bytes
// below them; without, as size 0.
void SortTree(std::vector<TreeNode>* nodes, SortOrder order,
              bool storage_totals);

// "/" and the names joined by "/", as they are: no name is replaced.
WideString WidePath(const std::vector<WideString>& names);
// The exact path of node `index` of a loaded subtree below `top`.
WideString NodeWidePath(const std::vector<TreeNode>& nodes, int index,
                        const WideString& top);

// The members every element has in JSON: name, path, type, size (null for
// a storage), open mode and class id (null for a stream).
void WriteElement(JsonWriter* json, const TreeNode& node,
                  const WideString& path);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_OUTPUT_OUTPUT_H_
