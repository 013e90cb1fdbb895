// init, reset and clear: the image as a whole.
#include "qsstorage/qsstorage.h"
#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/image/plex.h"
#include "tools/qsplex/image/save.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/output/failure.h"

namespace qsplex {
namespace {

int RunInit(const Context& c) {
  if (Probe(c.image).kind != FileKind::kMissing && !c.Has('f')) {
    return c.Fail(c.image, "exists already (-f replaces it)");
  }
  ResetPlex();
  Ref<IStorage> root(GetRootIStorage());
  if (!root) return c.Fail("/", E_OUTOFMEMORY);
  root.Reset();
  return SaveImage(c);
}

int RunReset(const Context& c) {
  if (!OpenImage(c, true)) return kExitFailure;
  return SaveImage(c);
}

int RunClear(const Context& c) {
  if (!OpenImage(c, true)) return kExitFailure;
  QSStrg_ClearRootStorage();
  return SaveImage(c);
}

}  // namespace

const Command kInitCommand = {
    "init",
    "[-f] IMAGE",
    {Flag('f')},
    0,
    0,
    Access::kCreate,
    "make a fresh image with an empty root",
    "Writes a new plex holding only an empty root storage. The only "
    "command\nthat makes an image.\n"
    "  -f  replace IMAGE if it exists\n",
    "qsplex init t.img\nqsplex init -f t.img",
    RunInit,
    {"new", "create"}};

const Command kResetCommand = {
    "reset",
    "IMAGE",
    {},
    0,
    0,
    Access::kChange,
    "close every element (QSStrg_RestoreRefCounts)",
    "Sets every open mode back to closed and every open count to 0.\n",
    "qsplex reset t.img",
    RunReset,
    {}};

const Command kClearCommand = {
    "clear",
    "IMAGE",
    {},
    0,
    0,
    Access::kChange,
    "discard the tree (QSStrg_ClearRootStorage)",
    "Discards the whole tree; the next change starts a new root.\n",
    "qsplex clear t.img",
    RunClear,
    {}};

}  // namespace qsplex
