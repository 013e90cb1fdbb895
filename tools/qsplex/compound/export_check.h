// What a compound file can hold of a tree. Its element names are 1 to 31
// UTF-16 units long, without '/', '\\', ':' or '!', and it compares names
// upper-cased, unit by unit: two siblings whose names differ only in case
// are one name there. This library holds any of these, so an export checks
// the whole subtree before it creates the file.
#ifndef QSSTORAGE_TOOLS_QSPLEX_COMPOUND_EXPORT_CHECK_H_
#define QSSTORAGE_TOOLS_QSPLEX_COMPOUND_EXPORT_CHECK_H_

#include <string>
#include <vector>

#include "platform/com.h"
#include "tools/qsplex/output/text.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {

constexpr size_t kMaxCompoundNameUnits = 31;

enum class NameFault { kNone, kEmpty, kTooLong, kForbiddenCharacter };

// Whether a compound file can hold `name` as an element name (sibling
// clashes aside).
NameFault CompoundNameFault(const WideString& name);

// `name` as a compound file compares it: every unit upper-cased (simple case
// mapping; units outside Latin-1, Latin Extended-A, Greek and Cyrillic stay
// as they are). Two siblings clash when their keys are equal.
WideString CompoundNameKey(const WideString& name);

// One element a compound file cannot hold.
struct ExportProblem {
  int node;            // index into the checked nodes
  std::string reason;  // "the name is longer than 31 characters (40)"
};

// Every node below the top of `nodes` (LoadTree's listing) that a compound
// file cannot hold, in node order. The top's own name is not checked: the
// file's root entry takes its place. Of siblings that clash, the first in
// node order passes and each later one is reported, naming the first.
std::vector<ExportProblem> CheckExportable(const std::vector<TreeNode>& nodes);

// A legal, unique name for every node CheckExportable reports, indexed as
// `nodes` ("" for the nodes that keep theirs, and for nodes without a
// name, which are not copied). Each of / \ : ! becomes '_', and a name
// over 31 units is cut to 31. A name that would then clash with a sibling
// (one that keeps its name, or one renamed before it in node order) ends
// in "~N" instead, N the smallest number from 1 that makes it unique, the
// name cut to leave room for it. The same tree gives the same names.
std::vector<WideString> ExportNames(const std::vector<TreeNode>& nodes);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_COMPOUND_EXPORT_CHECK_H_
