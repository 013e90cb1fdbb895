#include "tools/qsplex/image/load.h"

#include <cerrno>
#include <cstdio>
#include <utility>
#include <vector>

#include "qsstorage/qsstorage.h"
#include "records/node_records.h"
#include "standins/plex_controls.h"
#include "tools/qsplex/image/image_watch.h"
#include "tools/qsplex/image/plex.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/os/system.h"
#include "tools/qsplex/records/salvage.h"
#include "tools/qsplex/records/stream_data.h"

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

// Where the last quiet load found the image damaged.
std::string g_damage_place;

enum class Loaded {
  kLoaded,
  kFailed,   // said why
  kDamaged,  // a damaged image, with nothing said yet
};

// LoadImageFile, which with `quiet_damage` leaves a damaged image's failure
// to the caller to tell.
Loaded Load(const Context& c, ImageDamage* damage, bool quiet_damage) {
  SetActivity("loading the image");
  ResetPlex();
  const std::string store_path = StorePath(c.image);
  if (store_path.empty()) {
    c.Fail(c.image,
           "this build's plex store takes only names in the ANSI code page, "
           "and this one has no short form in it");
    return Loaded::kFailed;
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
      return Loaded::kLoaded;
    }
    c.Fail(c.image,
           "not a plex image of this host: block 2 cannot hold the root "
           "anchor");
    return Loaded::kFailed;
  }
  if (loaded == QSS_PLEX_NOT_AN_IMAGE) {
    c.Fail(c.image,
           "not a plex image: a file of another kind" + SwappedHint(c));
  } else if (loaded == QSS_PLEX_NEWER_FORMAT) {
    c.Fail(c.image, "written by a newer qsplex: image format " +
                        std::to_string(outcome.version) +
                        "; this build reads " +
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
  } else if (quiet_damage) {
    g_damage_place = DamagePlace(outcome);
    return Loaded::kDamaged;
  } else {
    FailDamaged(c, DamagePlace(outcome));
  }
  return Loaded::kFailed;
}

// The blocks of streams' data that the load found damaged, by block: the
// commands that read them refuse, everything else reads as usual.
DamageMap g_damaged_data;

// Loads an image that a plain load found damaged, salvaging, when the
// damage lies in streams' data alone (see g_damaged_data); otherwise says
// that the image is damaged.
bool LoadAroundDamagedData(const Context& c) {
  ImageDamage damage;
  const Loaded loaded = Load(c, &damage, true);
  if (loaded == Loaded::kFailed) return false;
  if (loaded == Loaded::kLoaded && !damage.older_image()) {
    MeasureCutBlocks(&damage);
    if (DamageInDataOnly(AllocatedBlocks(), damage.blocks)) {
      g_damaged_data = std::move(damage.blocks);
      return true;
    }
  }
  FailDamaged(c, loaded == Loaded::kLoaded && !damage.older_image()
                     ? g_damage_place +
                           ", and the damage reaches its tree's records or "
                           "element lists, not only streams' data"
                     : g_damage_place);
  return false;
}

}  // namespace

void FailDamaged(const Context& c, const std::string& what) {
  c.Fail(c.image, "a damaged plex image: " + what + "; 'qsplex check " +
                      c.image + "' tells what is damaged, 'qsplex recover " +
                      c.image + " NEW' keeps what can be read");
}

bool LoadImageFile(const Context& c, ImageDamage* damage) {
  return Load(c, damage, false) == Loaded::kLoaded;
}

bool OpenImage(const Context& c, bool change) {
  // A read goes on around damage to streams' data; a change is refused, as
  // its save would stamp damaged bytes with fresh checksums.
  g_damaged_data.clear();
  const Loaded loaded = Load(c, nullptr, !change);
  if (loaded == Loaded::kFailed ||
      (loaded == Loaded::kDamaged && !LoadAroundDamagedData(c))) {
    return false;
  }
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

const DamageMap& DamagedData() { return g_damaged_data; }

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
