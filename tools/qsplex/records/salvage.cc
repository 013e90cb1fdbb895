#include "tools/qsplex/records/salvage.h"

#include "standins/plex_controls.h"
#include "tools/qsplex/image/load.h"

namespace qsplex {

bool LoadDamagedImage(const Context& c, ImageDamage* damage) {
  if (!LoadImageFile(c, damage)) return false;
  // The store tells from the file's length where it ends inside each cut
  // block: a stream's zero bytes could not otherwise be told from the
  // missing ones, which load as zero.
  for (auto& [block, what] : damage->blocks) {
    if (what.kind != QSS_PLEX_BLOCK_CUT) continue;
    const long long held = QssPlex_CutBlockBytes(block);
    what.bytes_read = held > 0 ? static_cast<uint64_t>(held) : 0;
  }
  return true;
}

}  // namespace qsplex
