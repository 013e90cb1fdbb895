// How a command tells what went wrong: exit codes, the failure line on
// standard error, and what the command was doing when a failure that can
// strike anywhere (memory running out) ends it.
#ifndef QSSTORAGE_TOOLS_QSPLEX_OUTPUT_FAILURE_H_
#define QSSTORAGE_TOOLS_QSPLEX_OUTPUT_FAILURE_H_

#include <string>

#include "platform/com.h"

namespace qsplex {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Prints "qsplex: COMMAND: SUBJECT: MESSAGE" on its own line (ending a
// progress line first) and returns kExitFailure. An empty subject is left
// out.
int TellFailure(const std::string& command, const std::string& subject,
                const std::string& message);

// Tells a command's failures. Made from the command's parsed command line
// (anything with `command`, its name, and `accepted`, the option letters
// it takes), so that the code below the commands reports as the command
// does without knowing the command line. It refers to those strings and
// must not outlive them.
class Reporter {
 public:
  template <typename CommandLine>
  Reporter(const CommandLine& c)  // NOLINT(runtime/explicit): converts
      : command_(c.command), accepted_(c.accepted) {}
  Reporter(const std::string& command, const std::string& accepted)
      : command_(command), accepted_(accepted) {}

  const std::string& command() const { return command_; }
  // Whether the command takes the option letter `option`.
  bool Takes(char option) const {
    return accepted_.find(option) != std::string::npos;
  }
  // TellFailure for this command.
  int Fail(const std::string& subject, const std::string& message) const;
  // The same with the result code in words (DescribeResult).
  int Fail(const std::string& subject, HRESULT hr) const;

 private:
  const std::string& command_;
  const std::string& accepted_;
};

// What the command is doing, for a failure that can strike anywhere (out
// of memory): "loading the image". A string that outlives the call.
void SetActivity(const char* what);
const char* Activity();

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_OUTPUT_FAILURE_H_
