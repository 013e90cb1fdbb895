// Whole trees between the image and folders. A storage is a folder, a
// stream a file, each named by its element name escaped for the file system
// (EscapeName with kFileName). A storage's class id, when not null, is the
// text "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and a line end in the file
// kClassIdFile of its folder: a name no escaped element name can be, since
// its '%' starts no escape.
#ifndef QSSTORAGE_TOOLS_QSPLEX_COMMANDS_TREE_FILES_H_
#define QSSTORAGE_TOOLS_QSPLEX_COMMANDS_TREE_FILES_H_

#include <string>

#include "platform/com.h"
#include "tools/qsplex/cli/context.h"

namespace qsplex {

constexpr char kClassIdFile[] = "%classid";

// Writes the class id file of `folder` for `clsid`, or removes one there
// when `clsid` is null. Prints the failure.
bool WriteClassIdFile(const Context& c, const std::string& folder,
                      const CLSID& clsid);
// Reads the class id file `path`. False, with `*problem` set, when it
// cannot be read or holds no class id.
bool ReadClassIdFile(const std::string& path, CLSID* clsid,
                     std::string* problem);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_COMMANDS_TREE_FILES_H_
