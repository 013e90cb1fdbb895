#include "tools/qsplex/cli/help.h"

#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "tools/qsplex/cli/suggest.h"
#include "tools/qsplex/output/failure.h"

namespace qsplex {
namespace {

const char* const kCommonOptions =
    "  --wait SECONDS  wait up to SECONDS for another qsplex using IMAGE\n"
    "                  (default 30; 0 fails at once)\n"
    "  -q              show no progress (shown on a terminal for work\n"
    "                  that takes longer than about a second)\n"
    "  -h, --help      describe the command\n";

void PrintExamples(const char* examples) {
  std::printf("\nExamples:\n");
  for (const char* line = examples; *line != 0;) {
    const char* end = std::strchr(line, '\n');
    const size_t length = end != nullptr ? end - line : std::strlen(line);
    std::printf("  %.*s\n", static_cast<int>(length), line);
    line += length + (end != nullptr ? 1 : 0);
  }
}

// " did you mean 'ls'?" for the commands nearest to `word`, or "": their
// names first, then the words people try for them.
std::string Suggestions(const CommandList& commands, const std::string& word) {
  std::vector<std::pair<std::string, std::string>> candidates;
  for (const Command* command : commands) {
    candidates.emplace_back(command->name, command->name);
  }
  for (const Command* command : commands) {
    for (const char* synonym : command->synonyms) {
      candidates.emplace_back(synonym, command->name);
    }
  }
  const std::vector<std::string> nearest = Near(word, candidates);
  if (nearest.empty()) return std::string();
  std::string text = " did you mean ";
  for (size_t i = 0; i < nearest.size(); ++i) {
    if (i > 0) text += i + 1 == nearest.size() ? " or " : ", ";
    text += "'" + nearest[i] + "'";
  }
  return text + "?";
}

}  // namespace

void PrintHelp(const CommandList& commands) {
  std::printf(
      "usage: qsplex COMMAND [OPTIONS] IMAGE [ARGUMENTS]\n"
      "       qsplex help [COMMAND]\n"
      "       qsplex IMAGE   (an existing image: 'qsplex info IMAGE')\n\n"
      "Shows, changes and checks the storage tree inside a saved plex "
      "image.\n\n"
      "Commands:\n");
  for (const Command* command : commands) {
    std::printf("  %-9s %s\n", command->name, command->summary);
  }
  std::printf(
      "\n'qsplex help COMMAND' (or 'qsplex COMMAND --help') describes one.\n"
      "\nOptions of every command:\n%s"
      "Options of qsplex itself: -h, --help; -V, --version.\n"
      "ls, tree, find, stat, du, diff, check and info take --json: one JSON\n"
      "document for scripts, names exact (docs/qsplex-json.md).\n\n"
      "PATH is a '/'-separated list of element names in UTF-8; '/' is the "
      "root.\nNames hold only characters of the ANSI code page the library "
      "keeps\nthem in (1252 under Wine and natively); others are refused.\n"
      "Control characters, '%%' and '/' in a name show, and are given, as "
      "%%XX\n(hex of the byte): '%%05SummaryInformation', '100%%25'.\n\n"
      "Only 'init' makes an image. Every command locks the file IMAGE names\n"
      "while it runs (nothing is made beside it): commands that read share\n"
      "the lock, a command that changes IMAGE holds it alone, and the others\n"
      "wait, new readers behind a waiting writer.\n"
      "A change first closes every element, so that open modes\n"
      "saved by earlier runs or by the host grant it nothing, and saves "
      "IMAGE,\n"
      "closed, only when everything succeeded: in place where it can (what\n"
      "changed goes after the image's end in the file, synced to the disk,\n"
      "and then its header switches to it), else whole through\n"
      "IMAGE.qsplex-PID.tmp renamed over it (an image of an earlier format, "
      "or\n"
      "a file mostly of dead bytes; when the disk has no room for the image\n"
      "whole, in place after all). Either way IMAGE is the old image or the\n"
      "new one at any moment. A file outside the image that a command would\n"
      "replace (init, export, get) is kept unless -f is given.\n\n"
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

int UnknownCommand(const CommandList& commands, const std::string& word,
                   const std::string& more) {
  const std::string suggestions = Suggestions(commands, word);
  std::fprintf(stderr,
               "qsplex: unknown command '%s'%s%s%s\n"
               "'qsplex help' lists the commands.\n",
               word.c_str(), more.c_str(), suggestions.empty() ? "" : ";",
               suggestions.c_str());
  return kExitUsage;
}

}  // namespace qsplex
