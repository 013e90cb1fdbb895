// A qsplex command as the command line knows it: its name, usage, options,
// help and the function that runs it. Each command's entry sits beside its
// code in commands/; the command line (cli/) is driven by the entries.
#ifndef QSSTORAGE_TOOLS_QSPLEX_CLI_COMMAND_H_
#define QSSTORAGE_TOOLS_QSPLEX_CLI_COMMAND_H_

#include <cstddef>
#include <string>
#include <vector>

#include "tools/qsplex/cli/context.h"

namespace qsplex {

// Takes an option's value ("" for a flag) into the command line. False,
// with `*problem` saying why ("takes name, size or none, not 'date'"),
// when it is not a value the option takes.
using TakeOption = bool (*)(const std::string& value, Context* c,
                            std::string* problem);

// One option. A letter is a flag ("-f", grouped as in "-lR"); a long name
// may take a value, given as "--NAME VALUE" or "--NAME=VALUE", and so may a
// letter that has one ("-d 2", "-d2").
struct Option {
  char letter;       // 'f' for -f; 0 for an option with a long name only
  const char* name;  // "human" for --human; nullptr for a letter only
  bool takes_value;  // only options with a long name take one
  // What the option sets. Null: a flag is recorded among Context::options
  // by its letter (so it needs one), a value among Context::values under
  // its name.
  TakeOption take;
  // Spelled with one dash, as find(1) spells its tests: "-name GLOB".
  bool one_dash = false;
};

// A flag of one command, read back with Context::Has(letter).
constexpr Option Flag(char letter) { return {letter, nullptr, false, nullptr}; }
// A long option with a value, read back from Context::values.
constexpr Option ValueOption(const char* name) {
  return {0, name, true, nullptr};
}

bool TakeJson(const std::string& value, Context* c, std::string* problem);
bool TakeSort(const std::string& value, Context* c, std::string* problem);
bool TakeWait(const std::string& value, Context* c, std::string* problem);
bool TakeQuiet(const std::string& value, Context* c, std::string* problem);

// Options of output that several commands take.
inline constexpr Option kJsonOption = {0, "json", false, TakeJson};
inline constexpr Option kHumanOption = {'H', "human", false, nullptr};
inline constexpr Option kSortOption = {0, "sort", true, TakeSort};

// Options of every command; --wait and -q may come before the command word.
inline constexpr Option kWaitOption = {0, "wait", true, TakeWait};
inline constexpr Option kQuietOption = {'q', nullptr, false, TakeQuiet};
inline constexpr Option kHelpOption = {'h', "help", false, nullptr};

// The longest --wait, in seconds: a day.
constexpr int kLongestWait = 24 * 60 * 60;

struct Command {
  const char* name;
  const char* usage;            // after "qsplex NAME "
  std::vector<Option> options;  // its own, beyond those of every command
  size_t min_args, max_args;    // operands after IMAGE
  Access access;
  const char* summary;   // its line in 'qsplex help'
  const char* details;   // its help, its option lines included
  const char* examples;  // lines of examples, '\n' between them
  int (*run)(const Context&);
  // Words people try for this command ("list" for ls), for suggestions.
  std::vector<const char*> synonyms;
  // The exit status of a failure before the command runs (IMAGE missing,
  // damaged or in use): 1, but 2 for diff, whose 1 says "they differ".
  int failure = kExitFailure;
};

// The commands in the order 'qsplex help' lists them.
using CommandList = std::vector<const Command*>;

// The command named `name` exactly, or null.
const Command* FindCommand(const CommandList& commands,
                           const std::string& name);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_CLI_COMMAND_H_
