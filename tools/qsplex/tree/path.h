// Element paths as the command line gives them: UTF-8, escaped names
// split at '/', each name checked against the ANSI code page the library
// keeps names in.
#ifndef QSSTORAGE_TOOLS_QSPLEX_TREE_PATH_H_
#define QSSTORAGE_TOOLS_QSPLEX_TREE_PATH_H_

#include <string>
#include <vector>

#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/text.h"
#include "tools/qsplex/output/tree_node.h"

namespace qsplex {

// Splits `path` into element names, refusing one that is not UTF-8 or
// that the ANSI code page the library keeps names in cannot hold exactly.
// Prints the failure.
bool ParsePath(const Reporter& c, const std::string& path,
               std::vector<WideString>* names);
// Whether the ANSI code page holds `name` exactly; prints the failure about
// `subject` when it does not.
bool NameFits(const Reporter& c, const std::string& subject,
              const WideString& name);
// The elements of a loaded subtree that have no name: the library's copies
// pass them by. Prints one line for each.
void WarnUnnamed(const Reporter& c, const std::vector<TreeNode>& nodes,
                 const std::string& top_path, const char* what);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_TREE_PATH_H_
