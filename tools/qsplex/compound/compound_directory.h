// The directory of a compound file as readers expect it. Each storage's
// children form a red-black tree ordered as the format compares names
// (shorter first, then upper-cased unit by unit). libgsf writes them as a
// chain of right siblings instead: valid, but readers walk it recursively,
// so olefile fails from about a thousand children in one storage and libgsf
// itself overflows its stack from some tens of thousands.
#ifndef QSSTORAGE_TOOLS_QSPLEX_COMPOUND_COMPOUND_DIRECTORY_H_
#define QSSTORAGE_TOOLS_QSPLEX_COMPOUND_COMPOUND_DIRECTORY_H_

#include <string>

#include "platform/com.h"

namespace qsplex {

// Rewrites, in place, the sibling links and colours of every storage's
// children in the compound file `path` into balanced red-black trees in the
// format's order; nothing else in the file changes. STG_E_DOCFILECORRUPT
// when the file's tables do not hold together (nothing is written then),
// STG_E_ACCESSDENIED or STG_E_MEDIUMFULL when the file cannot be read or
// written.
HRESULT BalanceDirectory(const std::string& path);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_COMPOUND_COMPOUND_DIRECTORY_H_
