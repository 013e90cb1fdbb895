// Before a command touches its image: refusing what it cannot work on,
// and locking the image for the command's run.
#ifndef QSSTORAGE_TOOLS_QSPLEX_IMAGE_PREPARE_H_
#define QSSTORAGE_TOOLS_QSPLEX_IMAGE_PREPARE_H_

#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/image/image_file.h"

namespace qsplex {

// Makes the command's image ready for `access`: refuses a missing image
// (but for kCreate; naming an operand that is an image, when the two look
// swapped), a folder, and a read-only image for a change; locks it in
// `lock` for the command's run, shared for kRead, and before a change
// removes the temporary files killed runs left. Sets `c->target`. Prints
// the failure.
bool PrepareImage(Context* c, Access access, ImageLock* lock);
// Whether `file`, where a command is to write, is the command's image
// itself, which writing would destroy (-f or not); prints the refusal.
bool IsTheImage(const Context& c, const std::string& file);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_IMAGE_PREPARE_H_
