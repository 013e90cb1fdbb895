// Loading a command's image into the plex: telling what cannot be read
// and why, and whether the file stayed as loaded.
#ifndef QSSTORAGE_TOOLS_QSPLEX_IMAGE_LOAD_H_
#define QSSTORAGE_TOOLS_QSPLEX_IMAGE_LOAD_H_

#include <string>

#include "tools/qsplex/image/damage.h"
#include "tools/qsplex/cli/context.h"

namespace qsplex {

// Loads the image into the plex, telling a file it cannot read from one of
// another kind, a damaged image and one larger than this build's plex.
// With `damage`, also an image whose blocks are damaged or cut short, or
// whose newest changes are, as long as a header and block table say where
// each block of an image it holds is: the damage is listed there. Prints
// the failure.
bool LoadImageFile(const Context& c, ImageDamage* damage = nullptr);
// Loads the image for a command, refusing a missing or damaged file and a
// tree that `check` finds unsafe to walk. With `change`, closes every node
// first (QSStrg_RestoreRefCounts): open modes saved by earlier runs or by
// the host grant nothing to this run. Prints the failure.
bool OpenImage(const Context& c, bool change);
// Whether the image loaded is still as it was before loading; otherwise
// prints that another program changed it (and, when `saving`, that the
// command saves nothing). See image_watch.h.
bool IsAsLoaded(const Context& c, bool saving);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_IMAGE_LOAD_H_
