// What a salvaging load finds wrong with an image: damaged and cut blocks,
// and an image older than the newest save.
#ifndef QSSTORAGE_TOOLS_QSPLEX_IMAGE_DAMAGE_H_
#define QSSTORAGE_TOOLS_QSPLEX_IMAGE_DAMAGE_H_

#include <cstdint>
#include <map>
#include <string>

#include "standins/plex_controls.h"

namespace qsplex {

// One damaged block, as the store reports it on loading.
struct BlockDamage {
  int kind;  // QSS_PLEX_BLOCK_CHECKSUM or QSS_PLEX_BLOCK_CUT
  // Of a cut block, the bytes the file still holds at its start.
  uint64_t bytes_read = 0;
};
using DamageMap = std::map<int, BlockDamage>;
// What a salvaging load found wrong with an image.
struct ImageDamage {
  DamageMap blocks;
  // Saves whose changes the file no longer holds: it is cut short before
  // their block table, or that table is damaged, so the image loaded is
  // the one as that many saves ago left it.
  uint64_t changes_lost = 0;
  // Neither header slot is sound: the image loaded is the newest the file
  // leads to, which may be a save that did not finish.
  bool header_damaged = false;
  // The header slot of the newest save is damaged: the image loaded is
  // that save, which the file holds whole.
  bool newest_slot_damaged = false;
  // Damage to the image as a whole rather than to blocks.
  bool older_image() const {
    return changes_lost > 0 || header_damaged || newest_slot_damaged;
  }
  // Saves whose changes may be lost: the image loaded is not known to be
  // the newest.
  bool saves_lost() const { return changes_lost > 0 || header_damaged; }
  bool empty() const { return blocks.empty() && !older_image(); }
};
// A QssPlexDamageReport adding to the ImageDamage `context`.
void QSS_HOST_CALL RecordImageDamage(int block, int kind, void* context);
// What `older_image` means for this image ("the file is cut short before
// the block table of its newest save ..."), or "".
std::string OlderImageText(const ImageDamage& damage);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_IMAGE_DAMAGE_H_
