// Reading a command's arguments by its entry's options.
#ifndef QSSTORAGE_TOOLS_QSPLEX_CLI_PARSE_H_
#define QSSTORAGE_TOOLS_QSPLEX_CLI_PARSE_H_

#include <string>
#include <vector>

#include "tools/qsplex/cli/command.h"
#include "tools/qsplex/cli/context.h"

namespace qsplex {

enum class Parsed {
  kRun,    // `c` holds the command line
  kHelp,   // -h or --help: describe the command
  kUsage,  // a usage error, said in `problem`
};

// Reads `args`, what follows the command word, into `c`: options anywhere
// before "--" (letters grouped, long options with their values), the rest
// operands, IMAGE first. Checks the number of operands against the
// command's.
Parsed ParseArguments(const Command& command,
                      const std::vector<std::string>& args, Context* c,
                      std::string* problem);

// How many words at the front of `args` are options of every command that
// take no part in choosing it ("--wait 5", "-q"): they may come before the
// command word.
size_t LeadingOptions(const std::vector<std::string>& args);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_CLI_PARSE_H_
