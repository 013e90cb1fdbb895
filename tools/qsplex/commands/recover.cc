// qsplex recover: what can be read of a damaged image, into a fresh one.
// The damaged tree is loaded as far as the image allows, walked by its
// records and made anew beside them (see salvage.h); the plex, then holding
// only the new tree, is saved as NEW.
#include <cstdio>
#include <string>
#include <vector>

#include "check/tree_check.h"
#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/image/damage.h"
#include "tools/qsplex/image/image_file.h"
#include "tools/qsplex/image/plex.h"
#include "tools/qsplex/image/prepare.h"
#include "tools/qsplex/image/save.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/records/salvage.h"

namespace qsplex {
namespace {

void PrintFates(const SalvagedTree& tree) {
  for (const SalvagedElement& element : tree.elements) {
    const std::string bytes = element.kind == qss::kKindStream
                                  ? " (" + Count(element.kept, "byte") + ")"
                                  : "";
    std::printf("%-8s %s%s\n", FateName(element.fate),
                ShownPath(element.path).c_str(), bytes.c_str());
    for (const std::string& problem : element.problems) {
      std::printf("         %s\n", problem.c_str());
    }
  }
}

}  // namespace

int RunRecover(const Context& c) {
  Context out = c;
  out.image = c.args[0];
  out.args.clear();
  if (out.image == c.image || out.image == c.target) {
    return c.Fail(out.image,
                  "is the damaged image itself; recover writes a "
                  "new one beside it");
  }
  ImageLock lock;
  if (!PrepareImage(&out, Access::kCreate, &lock)) return kExitFailure;
  ImageDamage damage;
  if (!LoadDamagedImage(c, &damage)) return kExitFailure;
  SetActivity("recovering the tree");
  const std::vector<qss::AllocatedBlock> old_blocks = AllocatedBlocks();
  SalvagedTree tree = SalvageTree(old_blocks, damage.blocks);
  RebuildTree(&tree, old_blocks);
  const std::vector<qss::TreeFinding> findings =
      qss::CheckTree(AllocatedBlocks());
  if (!findings.empty()) {
    return c.Fail(out.image,
                  "the recovered tree does not check: " + findings[0].location +
                      ": " + findings[0].message);
  }
  if (damage.older_image()) {
    std::printf("%s: %s\n", c.image.c_str(), OlderImageText(damage).c_str());
  }
  PrintFates(tree);
  size_t counts[3] = {};
  for (const SalvagedElement& element : tree.elements) {
    ++counts[static_cast<int>(element.fate)];
  }
  const int saved = SaveImage(out);
  if (saved != 0) return saved;
  const std::string as_of =
      damage.header_damaged ? " (as the newest save the file holds left it)"
      : damage.newest_slot_damaged
          ? " (as its newest save left it, past its damaged header slot)"
      : damage.changes_lost == 0 ? ""
      : damage.changes_lost == 1
          ? " (as it was before its newest save)"
          : " (as it was before its newest " +
                std::to_string(damage.changes_lost) + " saves)";
  std::printf(
      "%s: %s kept, %s damaged, %s lost%s; written to %s\n", c.image.c_str(),
      std::to_string(counts[0]).c_str(), std::to_string(counts[1]).c_str(),
      std::to_string(counts[2]).c_str(), as_of.c_str(), out.image.c_str());
  // A damaged element holds bytes known to be wrong or missing, now under
  // a checksum that verifies: a failure as much as a lost one.
  return counts[1] == 0 && counts[2] == 0 && !damage.saves_lost()
             ? 0
             : kExitFailure;
}

const Command kRecoverCommand = {
    "recover",
    "[-f] DAMAGED NEW",
    {Flag('f')},
    1,
    1,
    Access::kRead,
    "copy what a damaged image still holds into a new image",
    "Reads DAMAGED as far as it can: an image whose blocks fail their\n"
    "checksum, that is cut short, or whose records are damaged. Writes\n"
    "every storage and stream it can reach and verify into the new image\n"
    "NEW, and prints each element as\n"
    "  kept     read and verified\n"
    "  damaged  kept with the bytes that could be read; the lines below it\n"
    "           say what is wrong and which bytes are lost\n"
    "  lost     not in NEW; the lines below say why\n"
    "Names, order and class ids are kept. Exits with 0 when every element\n"
    "was kept whole, 1 when one is damaged or lost, or when DAMAGED is read\n"
    "as an older save than its newest. NEW is saved as every change is\n"
    "('qsplex help'), synced to the disk.\n"
    "  -f  replace NEW if it exists\n",
    "qsplex recover broken.img saved.img\nqsplex cat saved.img /docs/a.txt",
    RunRecover,
    {"salvage", "repair", "rescue"}};

}  // namespace qsplex
