// The entries of info, check and dump, whose code is in inspect.cc.
#include "tools/qsplex/commands/commands.h"

namespace qsplex {

const Command kInfoCommand = {
    "info",
    "[-v] [--json] IMAGE",
    {Flag('v'), kJsonOption},
    0,
    0,
    Access::kRead,
    "summarize the image: elements, bytes, room, format, last save",
    "Shows the root's status, the storages and streams below it, the bytes\n"
    "in streams, the plex's bytes in use of what this build holds, the\n"
    "file's format version, and how it was last saved: whole, or its\n"
    "changes in place (with the save's generation). 'qsplex IMAGE' shows\n"
    "the same.\n"
    "  -v      also the root anchor, the root's record word by word and\n"
    "          the blocks in use (dump shows any record)\n"
    "  --json  all of it as a JSON object (docs/qsplex-json.md)\n",
    "qsplex info t.img\nqsplex info -v t.img\nqsplex info --json t.img",
    RunInfo,
    {}};

const Command kCheckCommand = {
    "check",
    "[--json] IMAGE",
    {kJsonOption},
    0,
    0,
    Access::kRead,
    "verify the tree's records",
    "Verifies the records of the tree: element lists, names, node sizes,\n"
    "stream sizes and capacities, deleted nodes and leaked blocks. Prints\n"
    "each finding with its location, or the storages and streams counted;\n"
    "exits with 1 when there is a finding.\n"
    "A damaged image is read as far as it goes: each block that fails its\n"
    "checksum or that the file's end cuts off is named with what it holds\n"
    "(the record or the data of which element), then each element that\n"
    "'recover' would keep damaged or lose, and why.\n"
    "  --json  the findings and counts as a JSON object "
    "(docs/qsplex-json.md)\n",
    "qsplex check t.img\nqsplex check --json t.img\n"
    "qsplex check broken.img || qsplex recover broken.img saved.img",
    RunCheck,
    {"verify", "fsck"}};

const Command kDumpCommand = {
    "dump",
    "IMAGE [PATH]",
    {},
    0,
    1,
    Access::kRead,
    "print the records word by word",
    "Prints the records of the subtree at PATH (default /) word by word,\n"
    "read straight from the plex, also when the tree is damaged. Of a\n"
    "damaged image it lists first the blocks that fail their checksum or\n"
    "that the file's end cuts off, marks each such record and data block\n"
    "with '!!', and exits with 1.\n",
    "qsplex dump t.img /docs\nqsplex dump broken.img",
    RunDump,
    {}};

}  // namespace qsplex
