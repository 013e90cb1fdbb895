// libFuzzer target: an image file loaded as qsplex loads it (see
// image_fuzz.h for the input). A load that fails leaves the plex as it was
// and the image information agrees. A load that succeeds agrees with the
// image information and with a salvaging load, which reports no damage;
// the tree checker reads only live blocks; a walkable tree walks through
// the library reading only live blocks, and a walk of the closed tree,
// closed again (QSStrg_RestoreRefCounts), leaves it as it was; saved and
// loaded again, the blocks, the checker's findings and the walk are the
// same.

#include <cstring>

#include "fuzz/image_fuzz.h"
#include "qsstorage/qsstorage.h"
#include "standins/plex_controls.h"
#include "support/com_ref.h"

namespace qss_fuzz {

std::string CheckPlainLoad(const uint8_t* data, size_t size) {
  const FuzzInput input = Prepare(data, size);
  const std::string in = ScratchPath("in");
  const std::string out = ScratchPath("out");
  // Before the file changes: the plex may map it.
  FreshPlex(input.control);
  if (!WriteFile(in, input.image)) return "cannot write " + in;
  const PlexSnapshot before = Snapshot();
  DamageLog damage;
  const int salvaged = LoadSalvage(in, &damage);
  const PlexSnapshot salvaged_plex = Snapshot();
  if (salvaged != QSS_PLEX_LOADED && !Difference(before, salvaged_plex).empty()) {
    return "a salvaging load answering " + std::to_string(salvaged) +
           " changed the plex: " + Difference(before, salvaged_plex);
  }

  FreshPlex(input.control);
  const int loaded = QssPlex_Load(in.c_str());
  QssPlexImageInfo info;
  const int described = QssPlex_ImageInfo(in.c_str(), &info);
  if (loaded != QSS_PLEX_LOADED) {
    const std::string changed = Difference(before, Snapshot());
    if (!changed.empty()) {
      return "a load answering " + std::to_string(loaded) +
             " changed the plex: " + changed;
    }
    if (loaded == QSS_PLEX_TOO_LARGE &&
        (described != QSS_PLEX_LOADED ||
         info.plex_bytes <= QssPlex_CapacityBytes())) {
      return "too large to load, but the image information answers " +
             std::to_string(described) + " and needs " +
             std::to_string(info.plex_bytes) + " bytes";
    }
    return "";
  }
  uint32_t version = 0;
  std::memcpy(&version, input.image.data() + 8, 4);
  if (described != QSS_PLEX_LOADED || info.version != version ||
      info.blocks != QssPlex_LiveBlocks() || info.words != QssPlex_LiveWords() ||
      info.file_bytes != input.image.size() ||
      info.plex_bytes > QssPlex_CapacityBytes()) {
    return "the image information (" + std::to_string(described) +
           ": version " + std::to_string(info.version) + ", " +
           std::to_string(info.blocks) + " blocks of " +
           std::to_string(info.words) + " words, " +
           std::to_string(info.plex_bytes) +
           " bytes of plex) disagrees with the loaded plex (" +
           std::to_string(QssPlex_LiveBlocks()) + " blocks of " +
           std::to_string(QssPlex_LiveWords()) + " words)";
  }
  if (salvaged != QSS_PLEX_LOADED || damage.reports != 0) {
    return "a salvaging load of a sound image answers " +
           std::to_string(salvaged) + " with " +
           std::to_string(damage.reports) + " damage reports";
  }
  const std::string salvaged_otherwise = Difference(salvaged_plex, Snapshot());
  if (!salvaged_otherwise.empty()) {
    return "a salvaging load gives another plex: " + salvaged_otherwise;
  }

  // As qsplex opens an image: the library makes a root where none is
  // anchored, and walks the tree only when the checker finds it walkable.
  const bool host_blocks = HoldsHostBlocks();
  if (host_blocks && AnchoredRoot() == 0) {
    qss_support::Ref<IStorage> root(GetRootIStorage());
  }
  const std::vector<qss::TreeFinding> findings = CheckPoisoned();
  const bool walkable = host_blocks && qss::TreeIsWalkable(findings);
  if (walkable) {
    const Walk as_loaded = WalkTree();
    if (!as_loaded.problem.empty()) {
      return "walking the tree as loaded: " + as_loaded.problem;
    }
    QSStrg_RestoreRefCounts();
  }
  const PlexSnapshot saved = Snapshot();
  Walk walk;
  if (walkable) {
    walk = WalkTree();
    if (!walk.problem.empty()) return "walking the closed tree: " + walk.problem;
    QSStrg_RestoreRefCounts();
    const std::string changed = Difference(saved, Snapshot());
    if (!changed.empty()) {
      return "walking the closed tree and closing it changed it: " + changed;
    }
  }

  const std::string reloaded = SaveAndReload(out, input.control, saved);
  if (!reloaded.empty()) return reloaded;
  const std::vector<qss::TreeFinding> again = CheckPoisoned();
  if (Describe(again) != Describe(findings)) {
    return "the checker finds in the saved image\n" + Describe(again) +
           "but in the loaded one\n" + Describe(findings);
  }
  if (walkable) {
    const Walk again_walked = WalkTree();
    if (again_walked.text != walk.text) {
      return "the saved image walks as\n" + again_walked.text +
             "but the loaded one as\n" + walk.text;
    }
  }
  return "";
}

}  // namespace qss_fuzz

QSS_IMAGE_FUZZ_TARGET(qss_fuzz::CheckPlainLoad)
