// Saving a command's change to its image, durably.
#ifndef QSSTORAGE_TOOLS_QSPLEX_IMAGE_SAVE_H_
#define QSSTORAGE_TOOLS_QSPLEX_IMAGE_SAVE_H_

#include "tools/qsplex/cli/context.h"

namespace qsplex {

// Closes every node, so that the saved image grants no access rights, and
// saves the image durably: in place where only what changed is written
// (QssPlex_SaveChanges), else whole by replacing the file (see
// image_file.h), or in place after all when there is no room for the
// whole image. Returns the exit code; a failure says whether the image is
// unchanged or whether the change may or may not have reached the disk.
int SaveImage(const Context& c);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_IMAGE_SAVE_H_
