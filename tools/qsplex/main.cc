// qsplex: the command-line host over a saved plex image. Every command
// locks the image, loads it into the host's plex, works on the storage tree
// through the library's exports and interfaces, and saves the image when it
// changed it and everything succeeded.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/image/image_file.h"

#if defined(_WIN32)
#include <shellapi.h>
#endif

#ifndef QSPLEX_VERSION
#define QSPLEX_VERSION "unknown"
#endif

namespace qsplex {
namespace {

constexpr int kLongestWait = 24 * 60 * 60;

struct Command {
  const char* name;
  const char* usage;          // after "qsplex NAME "
  const char* options;        // accepted option letters
  size_t min_args, max_args;  // operands after IMAGE
  Access access;
  const char* summary;
  const char* details;
  const char* examples;
  int (*run)(const Context&);
  int failure = kExitFailure;  // the exit status when IMAGE cannot be read
};

const Command kCommands[] = {
    {"init", "[-f] IMAGE", "f", 0, 0, Access::kCreate,
     "make a fresh image with an empty root",
     "Writes a new plex holding only an empty root storage. The only "
     "command\nthat makes an image.\n"
     "  -f  replace IMAGE if it exists\n",
     "qsplex init t.img\nqsplex init -f t.img", RunInit},
    {"info", "[--json] IMAGE", "", 0, 0, Access::kRead,
     "show the root storage and its record",
     "Shows the root's status, the root anchor and the root's record, and "
     "the\nblocks in use.\n"
     "  --json  as a JSON object (docs/qsplex-json.md)\n",
     "qsplex info t.img\nqsplex info --json t.img", RunInfo},
    {"ls", "[-l] [-R] [-H] [--sort ORDER] [--json] IMAGE [PATH]", "lRH", 0, 1,
     Access::kRead, "list a storage's elements",
     "Lists the elements of the storage at PATH (default /), newest first.\n"
     "Storages end in '/'; an element without a name shows as '(no name)'.\n"
     "  -l            type, size, open mode and class id under a header line\n"
     "                (the open mode as the image holds it; '-' for closed)\n"
     "  -R            every storage below too\n"
     "  -H, --human   sizes in KiB, MiB and GiB, rounded up\n"
     "  --sort ORDER  name, size (largest first; a storage counts as 0) or\n"
     "                none (the library's order, the default)\n"
     "  --json        everything -l shows as one JSON document, exact names\n"
     "                (described in docs/qsplex-json.md)\n",
     "qsplex ls t.img\nqsplex ls -lRH --sort size t.img /docs\n"
     "qsplex ls --json t.img /docs",
     RunLs},
    {"tree", "[-H] [--sort ORDER] [--json] IMAGE [PATH]", "H", 0, 1,
     Access::kRead, "draw a subtree with sizes",
     "Draws the subtree at PATH (default /) with the bytes of every stream "
     "and\nthe total below every storage.\n"
     "  -H, --human   sizes in KiB, MiB and GiB, rounded up\n"
     "  --sort ORDER  name, size (largest first, storages by their total) or\n"
     "                none (the library's order, the default)\n"
     "  --json        the subtree as nested JSON objects "
     "(docs/qsplex-json.md)\n",
     "qsplex tree t.img /docs\nqsplex tree -H --sort size t.img\n"
     "qsplex tree --json t.img /docs",
     RunTree},
    {"find", "IMAGE [PATH] [-name GLOB] [-type s|f] [--json]", "", 0, 1,
     Access::kRead, "list the paths below a storage that match",
     "Prints the path of every element of the subtree at PATH (default /),\n"
     "PATH itself included, as find(1) does: depth first, each storage's\n"
     "elements by name as ls lists them, escaped as ls shows names. Given\n"
     "more than once, a test must hold each time.\n"
     "  -name GLOB  only elements whose name (as ls shows it) matches GLOB:\n"
     "              * any characters, ? one, [a-z] or [!a-z] one of a set or\n"
     "              not; \\ makes the next character itself. Quote it\n"
     "  -type s|f   only storages (s; d as find(1) says it) or streams (f)\n"
     "  --json      the elements as a JSON array of objects, each as an\n"
     "              entry of 'ls --json' (docs/qsplex-json.md)\n",
     "qsplex find t.img -name '*.txt'\nqsplex find t.img /docs -type s\n"
     "qsplex find --json t.img -name 'run-[0-9]*' -type f",
     RunFind},
    {"diff", "[--json] IMAGE1 IMAGE2 [PATH]", "", 1, 2, Access::kRead,
     "show what differs between two images",
     "Compares the subtree at PATH (default /) of IMAGE1 with the one of\n"
     "IMAGE2 and prints a line for each difference, depth first and by name:\n"
     "  + PATH (KIND, ...)           only in IMAGE2: a stream and its bytes,\n"
     "                               or a storage with everything in it\n"
     "  - PATH (KIND, ...)           only in IMAGE1\n"
     "  M PATH (size 10 -> 12)       a stream of another length\n"
     "  M PATH (bytes differ)        a stream of the same length\n"
     "  M PATH (class id A -> B)     a storage's class id\n"
     "  M PATH (stream -> storage)   an element of the other kind\n"
     "Streams are compared by their bytes (each read once, as a 128-bit\n"
     "XXH3 hash); open modes are not compared. Both images are locked,\n"
     "shared, for the whole run. Exits with 0 when the subtrees are equal,\n"
     "1 when they differ and 2 on trouble, as diff(1) does.\n"
     "  --json  the differences as a JSON object (docs/qsplex-json.md)\n",
     "qsplex diff before.img after.img\nqsplex diff a.img b.img /results\n"
     "qsplex diff --json a.img b.img",
     RunDiff, kExitUsage},
    {"stat", "[-H] [--json] IMAGE PATH", "H", 1, 1, Access::kRead,
     "show an element's status",
     "Shows the type, size, open mode and class id of the element at PATH.\n"
     "  -H, --human   the size in KiB, MiB or GiB too\n"
     "  --json        as a JSON object (docs/qsplex-json.md)\n",
     "qsplex stat t.img /docs/a.txt\nqsplex stat --json t.img /docs", RunStat},
    {"cat", "IMAGE PATH", "", 1, 1, Access::kRead,
     "write a stream's bytes to standard output",
     "Writes the bytes of the stream at PATH to standard output.\n",
     "qsplex cat t.img /docs/a.txt > a.txt", RunCat},
    {"put", "[-p] [-r [-f]] IMAGE PATH [FILE | DIR]", "prf", 1, 2,
     Access::kChange, "store a file or standard input in a stream",
     "Stores FILE as the stream at PATH, replacing the bytes of an existing\n"
     "stream. FILE '-' is standard input; without FILE, standard input too,\n"
     "unless it is a terminal (then give '-' to type the bytes).\n"
     "  -p  create the missing storages on the way\n"
     "  -r  store the folder DIR and everything in it as the storage PATH,\n"
     "      folders as storages and files as streams, names in the form\n"
     "      'get -r' writes (%XX escapes; a name not in that form is\n"
     "      refused), class ids from '%classid' files; links are not\n"
     "      followed. PATH is made; an existing PATH, or an element DIR's\n"
     "      files would replace, is refused\n"
     "  -f  with -r: store into an existing PATH, replacing elements of the\n"
     "      same names (storages take in the folder's elements)\n",
     "qsplex put t.img /docs/a.txt a.txt\n"
     "qsplex put -r t.img /docs docs",
     RunPut},
    {"get", "[-r] [-f] IMAGE PATH DEST", "rf", 2, 2, Access::kRead,
     "copy a stream into a file, or a subtree into a folder",
     "Copies the stream at PATH into the file DEST ('-': standard output;\n"
     "an existing folder: a file of the stream's name in it).\n"
     "File names are element names with the characters a file system\n"
     "cannot hold as %XX (hex of the byte in code page 1252): control\n"
     "characters, '%' and '/', in the Win32 build also < > : \" \\ | ? *\n"
     "and a trailing dot or space; \"\\x05SummaryInformation\" becomes\n"
     "'%05SummaryInformation', \"100%\" '100%25'.\n"
     "  -r  copy the storage at PATH with everything in it into the folder\n"
     "      DEST (made): storages as folders, streams as files, a class\n"
     "      id in a file '%classid' of its folder. Elements without a name\n"
     "      are not copied (each is named on standard error)\n"
     "  -f  replace an existing file; with -r write into an existing\n"
     "      folder, replacing files of the same names\n",
     "qsplex get t.img /docs/a.txt a.txt\nqsplex get -r t.img /docs docs",
     RunGet},
    {"hexdump", "[-v] IMAGE PATH [--offset N] [--length N]", "v", 1, 1,
     Access::kRead, "show a stream's bytes in hex",
     "Shows the bytes of the stream at PATH as 'hexdump -C' does: the\n"
     "offset, 16 bytes in hex and the same as text ('.' for bytes that\n"
     "are not printable ASCII), and the offset after the last byte. Lines\n"
     "the same as the one before show as one '*'.\n"
     "  --offset N  start at byte N (decimal, or hex after 0x)\n"
     "  --length N  show at most N bytes\n"
     "  -v          show every line, also repeated ones\n",
     "qsplex hexdump t.img /docs/a.txt\n"
     "qsplex hexdump t.img /docs/a.txt --offset 0x100 --length 64",
     RunHexdump},
    {"mkdir", "[-p] IMAGE PATH", "p", 1, 1, Access::kChange, "create a storage",
     "Creates a storage at PATH.\n"
     "  -p  create the missing storages on the way; no error if it exists\n",
     "qsplex mkdir t.img /docs\nqsplex mkdir -p t.img /docs/old/2024",
     RunMkdir},
    {"rm", "[-r] IMAGE PATH", "r", 1, 1, Access::kChange, "remove an element",
     "Removes the element at PATH.\n"
     "  -r  remove a storage with everything in it, elements without a name\n"
     "      included\n",
     "qsplex rm t.img /docs/a.txt\nqsplex rm -r t.img /docs", RunRm},
    {"mv", "IMAGE FROM TO", "", 2, 2, Access::kChange,
     "move or rename an element",
     "Moves the element at FROM to TO. When TO is a storage, the element\n"
     "goes into it under its own name. Within one storage this is a rename\n"
     "(RenameElement), which copies nothing; into another storage the\n"
     "library copies it and removes FROM (MoveElementTo). Every storage\n"
     "keeps its class id.\n",
     "qsplex mv t.img /docs/a.txt /docs/b.txt\nqsplex mv t.img /docs /old",
     RunMv},
    {"cp", "[-r] IMAGE FROM TO", "r", 2, 2, Access::kChange, "copy an element",
     "Copies the element at FROM to TO, as mv does but keeping FROM, with\n"
     "the class id of every storage. Elements without a name are not copied\n"
     "(each is named on standard error).\n"
     "  -r  copy a storage with everything in it\n",
     "qsplex cp t.img /docs/a.txt /a.txt\nqsplex cp -r t.img /docs /backup",
     RunCp},
    {"setclass", "IMAGE PATH CLSID", "", 2, 2, Access::kChange,
     "set a storage's class id",
     "Sets the class id of the storage at PATH; CLSID is\n"
     "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, braces optional.\n",
     "qsplex setclass t.img /docs {01234567-89AB-CDEF-0123-456789ABCDEF}",
     RunSetClass},
    {"check", "[--json] IMAGE", "", 0, 0, Access::kRead,
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
     RunCheck},
    {"dump", "IMAGE [PATH]", "", 0, 1, Access::kRead,
     "print the records word by word",
     "Prints the records of the subtree at PATH (default /) word by word,\n"
     "read straight from the plex, also when the tree is damaged. Of a\n"
     "damaged image it lists first the blocks that fail their checksum or\n"
     "that the file's end cuts off, marks each such record and data block\n"
     "with '!!', and exits with 1.\n",
     "qsplex dump t.img /docs\nqsplex dump broken.img", RunDump},
    {"recover", "[-f] DAMAGED NEW", "f", 1, 1, Access::kRead,
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
     RunRecover},
    {"reset", "IMAGE", "", 0, 0, Access::kChange,
     "close every element (QSStrg_RestoreRefCounts)",
     "Sets every open mode back to closed and every open count to 0.\n",
     "qsplex reset t.img", RunReset},
    {"clear", "IMAGE", "", 0, 0, Access::kChange,
     "discard the tree (QSStrg_ClearRootStorage)",
     "Discards the whole tree; the next change starts a new root.\n",
     "qsplex clear t.img", RunClear},
    {"export", "[-f] IMAGE [PATH] FILE", "f", 1, 2, Access::kRead,
     "copy a subtree to a compound file",
     "Copies the storage at PATH (default /) into a new compound file FILE\n"
     "(the platform's in the Win32 build, libgsf's natively), class ids\n"
     "included. When the subtree holds elements a compound file cannot hold\n"
     "(names over 31 characters, with / \\ : or !, or differing only in case\n"
     "from a sibling), lists each one and writes nothing.\n"
     "Elements without a name are not copied (each is named on standard\n"
     "error).\n"
     "  -f  replace FILE if it exists\n",
     "qsplex export t.img /docs docs.cfb", RunExport},
    {"import", "IMAGE FILE [PATH]", "", 1, 2, Access::kChange,
     "copy a compound file into a storage",
     "Copies the content of the compound file FILE into the storage at PATH\n"
     "(default /), class ids included. Refuses names that\n"
     "exist at PATH already, and names the ANSI code page cannot hold.\n",
     "qsplex import t.img docs.cfb /docs", RunImport},
};

// Words people try for a command, with the command they mean.
const char* const kSynonyms[][2] = {
    {"list", "ls"},         {"dir", "ls"},         {"remove", "rm"},
    {"delete", "rm"},       {"del", "rm"},         {"copy", "cp"},
    {"move", "mv"},         {"rename", "mv"},      {"show", "cat"},
    {"salvage", "recover"}, {"repair", "recover"}, {"rescue", "recover"},
    {"type", "cat"},        {"new", "init"},       {"create", "init"},
    {"md", "mkdir"},        {"verify", "check"},   {"fsck", "check"},
    {"write", "put"},       {"status", "stat"},    {"extract", "get"},
    {"hd", "hexdump"},      {"xxd", "hexdump"},    {"od", "hexdump"},
};

const char* const kCommonOptions =
    "  --wait SECONDS  wait up to SECONDS for another qsplex using IMAGE\n"
    "                  (default 30; 0 fails at once)\n"
    "  -q              show no progress (shown on a terminal for work\n"
    "                  that takes longer than about a second)\n"
    "  -h, --help      describe the command\n";

// The long options of output that some commands take (-H and --human go
// with the letter H among a command's options).
constexpr unsigned kJsonOption = 1;
constexpr unsigned kSortOption = 2;

const struct {
  const char* command;
  unsigned options;
} kOutputOptions[] = {
    {"ls", kJsonOption | kSortOption},
    {"tree", kJsonOption | kSortOption},
    {"stat", kJsonOption},
    {"check", kJsonOption},
    {"info", kJsonOption},
    {"find", kJsonOption},
    {"diff", kJsonOption},
};

bool TakesOption(const Command& command, unsigned option) {
  for (const auto& entry : kOutputOptions) {
    if (std::strcmp(entry.command, command.name) == 0) {
      return (entry.options & option) != 0;
    }
  }
  return false;
}

// The long options that take a value, by command.
const char* const kValueOptions[][2] = {
    {"hexdump", "offset"},
    {"hexdump", "length"},
    {"find", "name"},
    {"find", "type"},
};

// Whether `arg` ("--NAME" or "--NAME=VALUE") is a long option `command`
// takes with a value.
bool TakesValue(const Command& command, const std::string& arg) {
  const std::string name = arg.substr(2, arg.find('=') - 2);
  for (const auto& option : kValueOptions) {
    if (name == option[1] && std::strcmp(command.name, option[0]) == 0) {
      return true;
    }
  }
  return false;
}

const Command* FindCommand(const std::string& name) {
  for (const Command& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

// Edit distance, a swap of two neighbours counting as one edit.
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1,
                                     std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] =
          std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// " did you mean 'ls'?" for the commands nearest to `word`, or "".
std::string Suggestions(const std::string& word) {
  const size_t allowed = word.size() <= 4 ? 1 : 2;
  std::vector<std::string> nearest;
  auto consider = [&](const std::string& candidate, const char* command) {
    const bool close = Distance(word, candidate) <= allowed ||
                       (word.size() >= 2 && candidate.rfind(word, 0) == 0);
    for (const std::string& known : nearest) {
      if (known == command) return;
    }
    if (close) nearest.push_back(command);
  };
  for (const Command& command : kCommands) consider(command.name, command.name);
  for (const auto& synonym : kSynonyms) consider(synonym[0], synonym[1]);
  if (nearest.empty()) return std::string();
  std::string text = " did you mean ";
  for (size_t i = 0; i < nearest.size(); ++i) {
    if (i > 0) text += i + 1 == nearest.size() ? " or " : ", ";
    text += "'" + nearest[i] + "'";
  }
  return text + "?";
}

void PrintExamples(const char* examples) {
  std::printf("\nExamples:\n");
  for (const char* line = examples; *line != 0;) {
    const char* end = std::strchr(line, '\n');
    const size_t length = end != nullptr ? end - line : std::strlen(line);
    std::printf("  %.*s\n", static_cast<int>(length), line);
    line += length + (end != nullptr ? 1 : 0);
  }
}

void PrintHelp() {
  std::printf(
      "usage: qsplex COMMAND [OPTIONS] IMAGE [ARGUMENTS]\n"
      "       qsplex help [COMMAND]\n"
      "       qsplex IMAGE   (an existing image: 'qsplex info IMAGE')\n\n"
      "Shows, changes and checks the storage tree inside a saved plex "
      "image.\n\n"
      "Commands:\n");
  for (const Command& command : kCommands) {
    std::printf("  %-9s %s\n", command.name, command.summary);
  }
  std::printf(
      "\n'qsplex help COMMAND' (or 'qsplex COMMAND --help') describes one.\n"
      "\nOptions of every command:\n%s"
      "Options of qsplex itself: -h, --help; -V, --version.\n"
      "ls, tree, stat, check and info take --json: one JSON document for\n"
      "scripts, names exact (docs/qsplex-json.md).\n\n"
      "PATH is a '/'-separated list of element names in UTF-8; '/' is the "
      "root.\nNames hold only characters of the ANSI code page the library "
      "keeps\nthem in (1252 under Wine and natively); others are refused.\n"
      "Control characters, '%%' and '/' in a name show, and are given, as "
      "%%XX\n(hex of the byte): '%%05SummaryInformation', '100%%25'.\n\n"
      "Only 'init' makes an image. Every command locks the file IMAGE "
      "names\nwhile it runs (nothing is made beside it): commands that read "
      "share\nthe lock, a command that changes IMAGE holds it alone, and "
      "the others\nwait, new readers behind a waiting writer.\nA change first closes every element, so that "
      "open modes\nsaved by earlier runs or by the host grant it nothing, "
      "and saves IMAGE,\nclosed, only when everything succeeded: in place "
      "where it can (what\nchanged goes after the image's end in the file, "
      "synced to the disk,\nand then its header switches to it), else whole "
      "through\nIMAGE.qsplex-PID.tmp renamed over it (an image of an earlier "
      "format, or\na file mostly of dead bytes). Either way IMAGE is the old "
      "image or the\nnew one at any moment. A file outside the image that a "
      "command would\nreplace (init, export, get) is kept unless -f is "
      "given.\n\n"
      "The plex holds at most what 'qsplex info' states as its capacity "
      "in\nthis build. For tests, the environment variable "
      "QSPLEX_PLEX_BYTES=N\ngives it N bytes instead, so that a small "
      "plex fills up with small data.\n\n"
      "Exit status: 0 success, 1 failure, 2 usage error.\n",
      kCommonOptions);
  PrintExamples(
      "qsplex init t.img\nqsplex put -p t.img /docs/a.txt a.txt\n"
      "qsplex tree t.img");
}

void PrintCommandHelp(const Command& command) {
  std::printf("usage: qsplex %s %s\n\n%s\n%s", command.name, command.usage,
              command.details, kCommonOptions);
  PrintExamples(command.examples);
}

int Usage(const Command& command, const std::string& problem) {
  std::fprintf(stderr,
               "qsplex: %s: %s\nusage: qsplex %s %s\n"
               "'qsplex help %s' describes it.\n",
               command.name, problem.c_str(), command.name, command.usage,
               command.name);
  return kExitUsage;
}

int UnknownCommand(const std::string& word, const std::string& more) {
  const std::string suggestions = Suggestions(word);
  std::fprintf(stderr,
               "qsplex: unknown command '%s'%s%s%s\n"
               "'qsplex help' lists the commands.\n",
               word.c_str(), more.c_str(), suggestions.empty() ? "" : ";",
               suggestions.c_str());
  return kExitUsage;
}

// Seconds of --wait; false when `text` is not a whole number of them.
bool ParseWait(const std::string& text, int* seconds) {
  if (text.empty() || text.size() > 6 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *seconds = std::atoi(text.c_str());
  return *seconds <= kLongestWait;
}

// Whether `arg` is the long option `name`, alone or as "NAME=VALUE"; sets
// `*value` from after the '=' or from the next argument.
bool LongOption(const std::vector<std::string>& args, size_t* i,
                const std::string& name, std::string* value) {
  const std::string& arg = args[*i];
  if (arg.rfind(name + "=", 0) == 0) {
    *value = arg.substr(name.size() + 1);
    return true;
  }
  if (arg != name) return false;
  if (*i + 1 < args.size()) *value = args[++*i];
  return true;
}

// Takes the long option at `args[*i]` into `c`. Returns -1 when it is
// one, else the exit code of the usage error, printed.
int TakeLongOption(const Command& command, const std::vector<std::string>& args,
                   size_t* i, Context* c) {
  const std::string& arg = args[*i];
  std::string value;
  if (LongOption(args, i, "--wait", &value)) {
    if (!ParseWait(value, &c->wait_seconds)) {
      return Usage(command, "--wait takes a whole number of seconds, up to " +
                                std::to_string(kLongestWait) + ", not '" +
                                value + "'");
    }
  } else if (TakesValue(command, arg)) {
    const std::string name = arg.substr(2, arg.find('=') - 2);
    const size_t before = *i;
    LongOption(args, i, "--" + name, &value);
    if (*i == before && arg.find('=') == std::string::npos) {
      return Usage(command, "--" + name + " takes a value");
    }
    c->values.emplace_back(name, value);
  } else if (arg == "--json" && TakesOption(command, kJsonOption)) {
    c->json = true;
  } else if (arg == "--human" && std::strchr(command.options, 'H')) {
    c->options += 'H';
  } else if (TakesOption(command, kSortOption) &&
             LongOption(args, i, "--sort", &value)) {
    if (!ParseSortOrder(value, &c->sort)) {
      return Usage(command,
                   "--sort takes name, size or none, not '" + value + "'");
    }
  } else {
    return Usage(command, "unknown option " + arg.substr(0, arg.find('=')));
  }
  return -1;
}

int RunCommand(const Command& command, std::vector<std::string> args) {
  SetActivity("reading the command line");
  // find's tests take one dash, as find(1) spells them: -name GLOB.
  for (std::string& arg : args) {
    if (arg.size() > 2 && arg[0] == '-' && arg[1] != '-' &&
        TakesValue(command, "-" + arg)) {
      arg.insert(0, "-");
    }
  }
  Context c;
  c.command = command.name;
  c.accepted = command.options;
  std::vector<std::string> operands;
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg == "-" || arg.empty() || arg[0] != '-') {
      operands.push_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "-h" || arg == "--help") {
      PrintCommandHelp(command);
      return 0;
    } else if (arg[1] == '-') {
      const int status = TakeLongOption(command, args, &i, &c);
      if (status >= 0) return status;
    } else {
      for (char letter : arg.substr(1)) {
        if (letter == 'h') {
          PrintCommandHelp(command);
          return 0;
        }
        if (letter == 'q') {
          SetQuiet(true);
          continue;
        }
        if (std::strchr(command.options, letter) == nullptr) {
          std::string problem = std::string("unknown option -") + letter;
          if (arg.size() > 2) problem += " (in " + arg + ")";
          return Usage(command, problem);
        }
        c.options += letter;
      }
    }
  }
  if (operands.empty()) return Usage(command, "no IMAGE given");
  if (operands.size() - 1 < command.min_args ||
      operands.size() - 1 > command.max_args) {
    return Usage(command, "wrong number of arguments");
  }
  c.image = operands[0];
  c.args.assign(operands.begin() + 1, operands.end());
  ImageLock lock;
  if (!PrepareImage(&c, command.access, &lock)) return command.failure;
  SetActivity("working on the tree");
  const int status = command.run(c);
  return IsAsLoaded(c, false) ? status : command.failure;
}

int Main(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::fprintf(stderr,
                 "usage: qsplex COMMAND [OPTIONS] IMAGE [ARGUMENTS]\n"
                 "'qsplex help' lists the commands.\n");
    return kExitUsage;
  }
  const std::string& first = args[0];
  if (first == "-h" || first == "--help" || first == "help") {
    if (args.size() == 1) {
      PrintHelp();
      return 0;
    }
    if (const Command* command = FindCommand(args[1])) {
      PrintCommandHelp(*command);
      return 0;
    }
    return UnknownCommand(args[1], "");
  }
  if (first == "-V" || first == "--version") {
    std::printf("qsplex %s\n", QSPLEX_VERSION);
    return 0;
  }
  // Options of every command may come before the command word too.
  std::vector<std::string> leading;
  size_t at = 0;
  while (at < args.size() &&
         (args[at] == "--wait" || args[at].rfind("--wait=", 0) == 0 ||
          args[at] == "-q")) {
    leading.push_back(args[at]);
    if (args[at] == "--wait" && at + 1 < args.size()) {
      leading.push_back(args[++at]);
    }
    ++at;
  }
  if (at < args.size()) {
    if (const Command* command = FindCommand(args[at])) {
      std::vector<std::string> rest(leading);
      rest.insert(rest.end(), args.begin() + at + 1, args.end());
      return RunCommand(*command, rest);
    }
  }
  if (at == args.size()) {
    std::fprintf(stderr,
                 "qsplex: no command given\n"
                 "'qsplex help' lists the commands.\n");
    return kExitUsage;
  }
  const std::string& word = args[at];
  if (word.size() > 1 && word[0] == '-') {
    std::fprintf(stderr,
                 "qsplex: unknown option %s; options go after the command\n"
                 "'qsplex help' lists the commands.\n",
                 word.substr(0, word.find('=')).c_str());
    return kExitUsage;
  }
  const FileKind kind = Probe(word).kind;
  // A lone image is what the host program always did: show its root.
  if (kind == FileKind::kFile && at + 1 == args.size() && leading.empty()) {
    return RunCommand(*FindCommand("info"), args);
  }
  if (kind == FileKind::kFile) {
    for (size_t i = at + 1; i < args.size(); ++i) {
      if (FindCommand(args[i]) != nullptr) {
        return UnknownCommand(word,
                              ", a file: the command comes first, as "
                              "in 'qsplex " +
                                  args[i] + " " + word + " ...'");
      }
    }
  }
  return UnknownCommand(
      word, kind == FileKind::kMissing ? ", and no image of that name" : "");
}

}  // namespace
}  // namespace qsplex

int main(int argc, char** argv) {
  qsplex::InstallInterruptCleanup();
  try {
    std::vector<std::string> args;
#if defined(_WIN32)
    (void)argc;
    (void)argv;
    // Windows hands main its arguments in the ANSI code page; paths are
    // UTF-8 here, so take them from the wide command line.
    int wide_count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &wide_count);
    for (int i = 1; wide != nullptr && i < wide_count; ++i) {
      args.push_back(qsplex::WideToUtf8(wide[i]));
    }
    if (wide != nullptr) LocalFree(wide);
#else
    args.assign(argv + 1, argv + argc);
#endif
    return qsplex::Main(args);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "qsplex: out of memory while %s\n",
                 qsplex::Activity());
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "qsplex: failed while %s: %s\n", qsplex::Activity(),
                 failure.what());
  } catch (...) {
    std::fprintf(stderr, "qsplex: failed while %s\n", qsplex::Activity());
  }
  return qsplex::kExitFailure;
}
