// libFuzzer target: an image file recovered as 'qsplex recover' recovers
// it (see image_fuzz.h for the input). A salvaging load that fails leaves
// the plex as it was. Otherwise the checker and the salvaging walk read
// only live blocks; the tree rebuilt from what the walk keeps checks
// clean and walks through the library with every element the rebuild
// made and every byte it kept; saved and loaded again, the blocks and the
// walk are the same.
#include <algorithm>

#include "fuzz/image_fuzz.h"
#include "qsstorage/qsstorage.h"
#include "standins/plex_controls.h"
#include "tools/qsplex/records/salvage.h"

namespace qss_fuzz {
std::string CheckSalvage(const uint8_t* data, size_t size) {
  const FuzzInput input = Prepare(data, size);
  const std::string in = ScratchPath("in");
  const std::string out = ScratchPath("out");
  // Before the file changes: the plex may map it.
  FreshPlex(input.control);
  if (!WriteFile(in, input.image)) return "cannot write " + in;
  const PlexSnapshot before = Snapshot();
  DamageLog damage;
  const int loaded = LoadSalvage(in, &damage);
  if (loaded != QSS_PLEX_LOADED) {
    const std::string changed = Difference(before, Snapshot());
    if (changed.empty()) return "";
    return "a salvaging load answering " + std::to_string(loaded) +
           " changed the plex: " + changed;
  }
  // recover refuses a plex without the host's blocks.
  if (!HoldsHostBlocks()) return "";
  qsplex::DamageMap damage_map;
  for (const auto& [block, kind] : damage.blocks) {
    damage_map[block] = qsplex::BlockDamage{
        kind, kind == QSS_PLEX_BLOCK_CUT
                  ? static_cast<uint64_t>(
                        std::max<long long>(QssPlex_CutBlockBytes(block), 0))
                  : 0};
  }
  const std::vector<qss::AllocatedBlock> old_blocks = Blocks();
  qsplex::SalvagedTree tree;
  {
    PoisonOutsideBlocks poison;
    qss::CheckTree(old_blocks);
    tree = qsplex::SalvageTree(old_blocks, damage_map);
  }
  qsplex::RebuildTree(&tree, old_blocks);
  const std::vector<qss::TreeFinding> findings = CheckPoisoned();
  if (!findings.empty()) {
    return "the rebuilt tree does not check:\n" + Describe(findings);
  }
  QSStrg_RestoreRefCounts();

  // Every element the rebuild made, with the bytes it kept.
  size_t made = 0;
  uint64_t kept = 0;
  for (size_t i = 1; i < tree.elements.size(); ++i) {
    const qsplex::SalvagedElement& element = tree.elements[i];
    if (element.fate == qsplex::Fate::kLost) continue;
    ++made;
    if (element.kind == qss::kKindStream) kept += element.kept;
  }
  const PlexSnapshot saved = Snapshot();
  const Walk walk = WalkTree();
  if (!walk.problem.empty()) return "walking the rebuilt tree: " + walk.problem;
  QSStrg_RestoreRefCounts();
  const std::string closed = Difference(saved, Snapshot());
  if (!closed.empty()) {
    return "walking the rebuilt tree and closing it changed it: " + closed;
  }
  if (walk.elements != made || walk.bytes != kept) {
    return "the rebuild made " + std::to_string(made) + " elements keeping " +
           std::to_string(kept) + " bytes, but the rebuilt tree walks as\n" +
           walk.text;
  }

  const std::string reloaded = SaveAndReload(out, input.control, saved);
  if (!reloaded.empty()) return reloaded;
  const Walk again = WalkTree();
  if (again.text != walk.text) {
    return "the saved image walks as\n" + again.text +
           "but the rebuilt tree as\n" + walk.text;
  }
  return "";
}

}  // namespace qss_fuzz

QSS_IMAGE_FUZZ_TARGET(qss_fuzz::CheckSalvage)
