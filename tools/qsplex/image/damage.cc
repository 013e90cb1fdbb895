#include "tools/qsplex/image/damage.h"

namespace qsplex {

void QSS_HOST_CALL RecordImageDamage(int block, int kind, void* context) {
  auto* damage = static_cast<ImageDamage*>(context);
  if (kind == QSS_PLEX_CHANGES_LOST) {
    damage->changes_lost = static_cast<uint64_t>(block);
  } else if (kind == QSS_PLEX_HEADER_DAMAGED) {
    damage->header_damaged = true;
  } else if (kind == QSS_PLEX_SLOT_DAMAGED) {
    damage->newest_slot_damaged = true;
  } else {
    damage->blocks[block] = BlockDamage{kind, 0};
  }
}

std::string OlderImageText(const ImageDamage& damage) {
  if (damage.header_damaged) {
    return "its header is damaged: read as the newest save the file holds "
           "whole, which may be one that did not finish";
  }
  if (damage.newest_slot_damaged) {
    return "the header slot of its newest save is damaged, but the file "
           "holds that save whole: read from there";
  }
  if (damage.changes_lost == 0) return "";
  const std::string saves =
      damage.changes_lost == 1
          ? "its newest save"
          : "its newest " + std::to_string(damage.changes_lost) + " saves";
  return "the file is cut short before the block table of " + saves +
         " (or that table is damaged): read as it was before " +
         (damage.changes_lost == 1 ? "that save" : "those saves") +
         ", whose changes are lost";
}

}  // namespace qsplex
