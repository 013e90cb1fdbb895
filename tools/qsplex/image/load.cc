#include "tools/qsplex/image/load.h"

#include <cerrno>
#include <cstdio>
#include <vector>

#include "qsstorage/qsstorage.h"
#include "records/node_records.h"
#include "standins/plex_controls.h"
#include "tools/qsplex/image/image_watch.h"
#include "tools/qsplex/image/plex.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/os/system.h"

namespace qsplex {
namespace {

// Where a load found the image damaged.
std::string DamagePlace(const QssPlexLoadOutcome& outcome) {
  const std::string block = std::to_string(outcome.damaged_block);
  switch (outcome.damage) {
    case QSS_PLEX_BLOCK_CHECKSUM:
      return "block " + block + " fails its checksum";
    case QSS_PLEX_BLOCK_CUT:
      return outcome.damaged_block != 0 ? "the file ends inside block " + block
                                        : "the file is cut short";
    case QSS_PLEX_TABLE_DAMAGED:
      return "its block table is wrong";
    case QSS_PLEX_IMAGE_CHECKSUM:
      return "its one checksum is wrong";
    default:
      return "its header is wrong";
  }
}

}  // namespace

bool LoadImageFile(const Context& c, ImageDamage* damage) {
  SetActivity("loading the image");
  ResetPlex();
  const std::string store_path = StorePath(c.image);
  if (store_path.empty()) {
    c.Fail(c.image,
           "this build's plex store takes only names in the ANSI code page, "
           "and this one has no short form in it");
    return false;
  }
  int loaded;
  QssPlexLoadOutcome outcome = {};
  std::string reason;
  WatchImage(c.command, c.image);
  {
    PlexProgress progress("loading the image");
    if (damage != nullptr) *damage = ImageDamage{};
    // The command holds the image's lock, and a change only adds to the
    // file or renames a new one over it: its large blocks can be mapped,
    // so that a command pays for what it reads and writes, not the image.
    QssPlex_SetMapImages(1);
    ClearSystemError();
    loaded = QssPlex_LoadImage(store_path.c_str(), damage != nullptr,
                               RecordImageDamage, damage, &outcome);
    if (loaded == QSS_PLEX_UNREADABLE) reason = SystemReason();
  }
  if (loaded == QSS_PLEX_LOADED) {
    if (QssPlex_BlockWords(1) >= 0 &&
        QssPlex_BlockWords(qss::kAnchorBlock) > qss::kAnchorWord) {
      return true;
    }
    c.Fail(c.image,
           "not a plex image of this host: block 2 cannot hold the root "
           "anchor");
    return false;
  }
  if (loaded == QSS_PLEX_NOT_AN_IMAGE) {
    c.Fail(c.image,
           "not a plex image: a file of another kind" + SwappedHint(c));
  } else if (loaded == QSS_PLEX_NEWER_FORMAT) {
    c.Fail(c.image, "written by a newer qsplex: image format " +
                        std::to_string(outcome.version) + "; this build reads " +
                        std::to_string(outcome.oldest_version) + " to " +
                        std::to_string(outcome.newest_version));
  } else if (loaded == QSS_PLEX_TOO_LARGE) {
    c.Fail(c.image, "holds " + Mebibytes(outcome.plex_bytes) +
                        ", but this build's plex holds at most " +
                        Mebibytes(QssPlex_CapacityBytes()));
  } else if (loaded == QSS_PLEX_NEWER_SAVE) {
    c.Fail(c.image,
           "the header slot of its newest save is damaged, but the file "
           "holds that save whole: not read, as the image would seem to be "
           "the save before, and a change would lose the newer one; "
           "'qsplex recover " +
               c.image + " NEW' brings it back, 'qsplex check " + c.image +
               "' tells more");
  } else if (loaded == QSS_PLEX_UNREADABLE && errno == ENOMEM) {
    c.Fail(c.image, "cannot load it: out of memory");
  } else if (loaded == QSS_PLEX_UNREADABLE) {
    c.Fail(c.image, "cannot read it: " + reason);
  } else if (damage != nullptr) {
    c.Fail(c.image,
           "a damaged plex image: its header or block table is wrong (or, "
           "in an image of the first format, its one checksum), so no block "
           "in it can be placed");
  } else {
    c.Fail(c.image,
           "a damaged plex image: " + DamagePlace(outcome) + "; 'qsplex check " +
               c.image +
               "' tells what is damaged, 'qsplex recover' keeps "
               "what can be read");
  }
  return false;
}

bool OpenImage(const Context& c, bool change) {
  if (!LoadImageFile(c)) return false;
  SetActivity("checking the tree");
  const std::vector<qss::TreeFinding> findings =
      qss::CheckTree(AllocatedBlocks());
  if (!qss::TreeIsWalkable(findings)) {
    c.Fail(c.image, "the storage tree is damaged; 'qsplex check " + c.image +
                        "' lists what is wrong");
    return false;
  }
  if (change) QSStrg_RestoreRefCounts();
  SetActivity("working on the tree");
  return true;
}

bool IsAsLoaded(const Context& c, bool saving) {
  const std::string* changed = ChangedImage();
  if (changed == nullptr) return true;
  const std::string path = *changed;
  StopWatching();  // said once
  c.Fail(path, std::string(kChangedByAnother) +
                       (saving ? "; nothing was saved"
                               : "; what the command showed or wrote of it "
                                 "cannot be trusted") +
                       ": run the command again");
  return false;
}

}  // namespace qsplex
