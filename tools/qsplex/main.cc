// qsplex: the command-line host over a saved plex image. Every command
// loads the image into the host's plex, works on the storage tree through
// the library's exports and interfaces, and saves the image when it changed
// it and everything succeeded.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/qsplex/commands.h"

#if defined(_WIN32)
#include <shellapi.h>
#endif

#ifndef QSPLEX_VERSION
#define QSPLEX_VERSION "unknown"
#endif

namespace qsplex {
namespace {

struct Command {
  const char* name;
  const char* usage;          // after "qsplex NAME "
  const char* options;        // accepted option letters
  size_t min_args, max_args;  // operands after IMAGE
  const char* summary;
  const char* details;
  int (*run)(const Context&);
};

const Command kCommands[] = {
    {"init", "[-f] IMAGE", "f", 0, 0, "make a fresh image with an empty root",
     "Writes a new plex holding only an empty root storage.\n"
     "  -f  replace IMAGE if it exists\n",
     RunInit},
    {"info", "IMAGE", "", 0, 0, "show the root storage and its record",
     "Shows the root's status, the root anchor and the root's record, and "
     "the\nblocks in use. Makes IMAGE, with an empty root, when it is "
     "missing.\n",
     RunInfo},
    {"ls", "[-l] [-R] IMAGE [PATH]", "lR", 0, 1, "list a storage's elements",
     "Lists the elements of the storage at PATH (default /), newest first.\n"
     "Storages end in '/'.\n"
     "  -l  type, size, open mode and class id (the open mode as the image\n"
     "      holds it; '-' for closed)\n"
     "  -R  every storage below too\n",
     RunLs},
    {"tree", "IMAGE [PATH]", "", 0, 1, "draw a subtree with sizes",
     "Draws the subtree at PATH (default /) with the bytes of every stream "
     "and\nthe total below every storage.\n",
     RunTree},
    {"stat", "IMAGE PATH", "", 1, 1, "show an element's status",
     "Shows the type, size, open mode and class id of the element at PATH.\n",
     RunStat},
    {"cat", "IMAGE PATH", "", 1, 1, "write a stream's bytes to standard output",
     "Writes the bytes of the stream at PATH to standard output.\n", RunCat},
    {"put", "[-p] IMAGE PATH [FILE]", "p", 1, 2,
     "store a file or standard input in a stream",
     "Stores FILE (or standard input, or '-') as the stream at PATH, "
     "replacing\nthe bytes of an existing stream.\n"
     "  -p  create the missing storages on the way\n",
     RunPut},
    {"mkdir", "[-p] IMAGE PATH", "p", 1, 1, "create a storage",
     "Creates a storage at PATH.\n"
     "  -p  create the missing storages on the way; no error if it exists\n",
     RunMkdir},
    {"rm", "[-r] IMAGE PATH", "r", 1, 1, "remove an element",
     "Removes the element at PATH.\n"
     "  -r  remove a storage with everything in it\n",
     RunRm},
    {"mv", "IMAGE FROM TO", "", 2, 2, "move or rename an element",
     "Moves the element at FROM to TO (MoveElementTo). When TO is a storage,\n"
     "the element goes into it under its own name.\n",
     RunMv},
    {"cp", "[-r] IMAGE FROM TO", "r", 2, 2, "copy an element",
     "Copies the element at FROM to TO, as mv does but keeping FROM.\n"
     "  -r  copy a storage with everything in it\n",
     RunCp},
    {"setclass", "IMAGE PATH CLSID", "", 2, 2, "set a storage's class id",
     "Sets the class id of the storage at PATH; CLSID is\n"
     "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, braces optional.\n",
     RunSetClass},
    {"check", "IMAGE", "", 0, 0, "verify the tree's records",
     "Verifies the records of the tree: element lists, names, node sizes,\n"
     "stream sizes and capacities, deleted nodes and leaked blocks. Prints\n"
     "each finding with its location; exits with 1 when there is one.\n",
     RunCheck},
    {"dump", "IMAGE [PATH]", "", 0, 1, "print the records word by word",
     "Prints the records of the subtree at PATH (default /) word by word,\n"
     "read straight from the plex, also when the tree is damaged.\n",
     RunDump},
    {"reset", "IMAGE", "", 0, 0,
     "close every element (QSStrg_RestoreRefCounts)",
     "Sets every open mode back to closed and every open count to 0.\n",
     RunReset},
    {"clear", "IMAGE", "", 0, 0, "discard the tree (QSStrg_ClearRootStorage)",
     "Discards the whole tree; the next use of the image starts a new root.\n",
     RunClear},
    {"export", "IMAGE [PATH] FILE", "", 1, 2,
     "copy a subtree to a compound file",
     "Copies the storage at PATH (default /) into a new compound file FILE\n"
     "(StgCreateDocfile; Win32 build only).\n",
     RunExport},
    {"import", "IMAGE FILE [PATH]", "", 1, 2,
     "copy a compound file into a storage",
     "Copies the content of the compound file FILE into the storage at PATH\n"
     "(default /) (StgOpenStorage; Win32 build only).\n",
     RunImport},
};

void PrintHelp() {
  std::printf(
      "usage: qsplex COMMAND [OPTIONS] IMAGE [ARGUMENTS]\n"
      "       qsplex IMAGE   (the same as 'qsplex info IMAGE')\n\n"
      "Shows, changes and checks the storage tree inside a saved plex "
      "image.\n\n"
      "Commands:\n");
  for (const Command& command : kCommands) {
    std::printf("  %-9s %s\n", command.name, command.summary);
  }
  std::printf(
      "\n'qsplex COMMAND --help' describes a command.\n\n"
      "PATH is a '/'-separated list of element names in UTF-8; '/' is the "
      "root.\n"
      "Commands that change the tree first close every element, so that open\n"
      "modes saved by earlier runs or by the host grant them nothing, and "
      "save\n"
      "the image, closed, only when everything succeeded.\n"
      "Exit status: 0 success, 1 failure, 2 usage error.\n");
}

int Usage(const Command& command, const std::string& problem) {
  std::fprintf(stderr, "qsplex: %s: %s\nusage: qsplex %s %s\n", command.name,
               problem.c_str(), command.name, command.usage);
  return kExitUsage;
}

int RunCommand(const Command& command, int argc, char** argv) {
  Context c;
  c.command = command.name;
  std::vector<std::string> operands;
  bool options_done = false;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!options_done && arg == "--help") {
      std::printf("usage: qsplex %s %s\n\n%s", command.name, command.usage,
                  command.details);
      return 0;
    }
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
      for (char letter : arg.substr(1)) {
        if (std::strchr(command.options, letter) == nullptr) {
          return Usage(command, std::string("unknown option -") + letter);
        }
        c.options += letter;
      }
    } else {
      operands.push_back(arg);
    }
  }
  if (operands.empty()) return Usage(command, "no IMAGE given");
  if (operands.size() - 1 < command.min_args ||
      operands.size() - 1 > command.max_args) {
    return Usage(command, "wrong number of arguments");
  }
  c.image = operands[0];
  c.args.assign(operands.begin() + 1, operands.end());
  return command.run(c);
}

}  // namespace
}  // namespace qsplex

int main(int argc, char** argv) {
  using qsplex::kCommands;
#if defined(_WIN32)
  // Windows hands main its arguments in the ANSI code page; paths are UTF-8
  // here, so take them from the wide command line.
  int wide_count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &wide_count);
  std::vector<std::string> utf8;
  std::vector<char*> converted;
  for (int i = 0; wide != nullptr && i < wide_count; ++i) {
    utf8.push_back(qsplex::WideToUtf8(wide[i]));
  }
  for (std::string& arg : utf8) converted.push_back(&arg[0]);
  converted.push_back(nullptr);
  if (wide != nullptr) {
    LocalFree(wide);
    argc = wide_count;
    argv = converted.data();
  }
#endif
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: qsplex COMMAND [OPTIONS] IMAGE [ARGUMENTS]\n"
                 "'qsplex --help' lists the commands.\n");
    return qsplex::kExitUsage;
  }
  const std::string first = argv[1];
  if (first == "--help" || first == "-h") {
    qsplex::PrintHelp();
    return 0;
  }
  if (first == "--version") {
    std::printf("qsplex %s\n", QSPLEX_VERSION);
    return 0;
  }
  for (const qsplex::Command& command : kCommands) {
    if (first == command.name) {
      return qsplex::RunCommand(command, argc - 2, argv + 2);
    }
  }
  // A lone image is what the host program always did: show its root.
  if (argc == 2 && first[0] != '-') {
    for (const qsplex::Command& command : kCommands) {
      if (std::strcmp(command.name, "info") == 0) {
        return qsplex::RunCommand(command, 1, argv + 1);
      }
    }
  }
  std::fprintf(stderr,
               "qsplex: unknown command '%s'; 'qsplex --help' lists them\n",
               first.c_str());
  return qsplex::kExitUsage;
}
