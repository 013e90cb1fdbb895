// The options several commands share, and the registry's lookup.
#include <string>

#include "tools/qsplex/cli/command.h"
#include "tools/qsplex/cli/context.h"

namespace qsplex {

bool TakeJson(const std::string&, Context* c, std::string*) {
  c->json = true;
  return true;
}

bool TakeSort(const std::string& value, Context* c, std::string* problem) {
  if (ParseSortOrder(value, &c->sort)) return true;
  *problem = "takes name, size or none, not '" + value + "'";
  return false;
}

bool TakeWait(const std::string& value, Context* c, std::string* problem) {
  const bool digits =
      !value.empty() && value.size() <= 6 &&
      value.find_first_not_of("0123456789") == std::string::npos;
  const int seconds = digits ? std::stoi(value) : 0;
  if (digits && seconds <= kLongestWait) {
    c->wait_seconds = seconds;
    return true;
  }
  *problem = "takes a whole number of seconds, up to " +
             std::to_string(kLongestWait) + ", not '" + value + "'";
  return false;
}

bool TakeQuiet(const std::string&, Context* c, std::string*) {
  c->quiet = true;
  return true;
}

const Command* FindCommand(const CommandList& commands,
                           const std::string& name) {
  for (const Command* command : commands) {
    if (name == command->name) return command;
  }
  return nullptr;
}

}  // namespace qsplex
