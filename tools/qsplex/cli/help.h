// qsplex's help, and the usage errors that point to it.
#ifndef QSSTORAGE_TOOLS_QSPLEX_CLI_HELP_H_
#define QSSTORAGE_TOOLS_QSPLEX_CLI_HELP_H_

#include <string>

#include "tools/qsplex/cli/command.h"

namespace qsplex {

// 'qsplex help': every command with its summary, and what they share.
void PrintHelp(const CommandList& commands);
// 'qsplex help COMMAND': its usage, details, common options and examples.
void PrintCommandHelp(const Command& command);
// Prints the usage error `problem` of `command` with its usage line and
// returns kExitUsage.
int Usage(const Command& command, const std::string& problem);
// Prints that `word` is no command (`more` adding why), with the commands
// near it, and returns kExitUsage.
int UnknownCommand(const CommandList& commands, const std::string& word,
                   const std::string& more);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_CLI_HELP_H_
