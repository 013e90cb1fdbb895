// qsplex's command line: from the program's arguments to the command that
// runs, help, or a usage error with what to do instead.
#ifndef QSSTORAGE_TOOLS_QSPLEX_CLI_CLI_H_
#define QSSTORAGE_TOOLS_QSPLEX_CLI_CLI_H_

#include <string>
#include <vector>

#include "tools/qsplex/cli/command.h"

namespace qsplex {

// Runs the command line `args` (the program's name left out) over
// `commands`; returns the exit code.
int Main(const std::vector<std::string>& args, const CommandList& commands);

// The program: its arguments as UTF-8 (from the wide command line on
// Windows), Main, and a failure anywhere (out of memory) told with what the
// command was doing.
int RunProgram(int argc, char** argv, const CommandList& commands);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_CLI_CLI_H_
