// init, reset and clear: the image as a whole.
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "qsstorage/qsstorage.h"
#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/image/plex.h"
#include "tools/qsplex/image/save.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/os/system.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/tree/lookup.h"

namespace qsplex {
namespace {

int RunInit(const Context& c) {
  const FileKind kind = Probe(c.image).kind;
  if (kind == FileKind::kMissing && IsLink(c.image)) {
    return c.Fail(c.image,
                  "is a link to a file that does not exist; give the "
                  "link's target, or remove the link");
  }
  if (kind != FileKind::kMissing && !c.Has('f')) {
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

// Asks `question` on standard error and reads the answer from standard
// input: true for "y" or "yes", in either case.
bool AnswersYes(const std::string& question) {
  std::fprintf(stderr, "%s [y/N] ", question.c_str());
  std::fflush(stderr);
  char line[80];
  if (std::fgets(line, sizeof line, stdin) == nullptr) {
    std::fputc('\n', stderr);  // the end of the input: no
    return false;
  }
  std::string answer;
  for (const char* at = line; *at != 0; ++at) {
    const unsigned char ch = static_cast<unsigned char>(*at);
    if (!std::isspace(ch)) answer += static_cast<char>(std::tolower(ch));
  }
  return answer == "y" || answer == "yes";
}

// "the whole tree of t.img (2 storages, 3 streams, 12 bytes)".
bool DescribeTree(const Context& c, std::string* text) {
  Element root;
  std::vector<TreeNode> nodes;
  if (!Locate(c, "/", kRead, false, &root) ||
      !LoadSubtree(c, root, false, &nodes)) {
    return false;
  }
  *text = "the whole tree of " + c.image + " (" +
          Count(nodes[0].storages, "storage") + ", " +
          Count(nodes[0].streams, "stream") + ", " +
          Count(nodes[0].size, "byte") + ")";
  return true;
}

int RunClear(const Context& c) {
  // Discarding everything wants a yes first: asked on a terminal, given as
  // -f anywhere else, as git clean wants it.
  if (!c.Has('f') && !IsTerminal(stdin)) {
    c.Fail(c.image,
           "would discard the whole tree, and standard input is not a "
           "terminal to ask on: add -f ('qsplex clear -f " +
               c.image + "')");
    return kExitUsage;
  }
  if (!OpenImage(c, true)) return kExitFailure;
  std::string tree;
  if (!c.Has('f')) {
    if (!DescribeTree(c, &tree)) return kExitFailure;
    if (!AnswersYes("qsplex: clear: discard " + tree + "?")) {
      std::fprintf(stderr,
                   "qsplex: clear: nothing discarded; %s is "
                   "unchanged\n",
                   c.image.c_str());
      return 0;
    }
  }
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
    "[-f] IMAGE",
    {Flag('f')},
    0,
    0,
    Access::kChange,
    "discard the tree (QSStrg_ClearRootStorage)",
    "Discards the whole tree; the next change starts a new root. On a\n"
    "terminal it first asks (y/N), saying what the tree holds; from a pipe\n"
    "or a file it refuses without -f, as git clean does.\n"
    "  -f  discard without asking\n",
    "qsplex clear t.img\nqsplex clear -f t.img",
    RunClear,
    {}};

}  // namespace qsplex
