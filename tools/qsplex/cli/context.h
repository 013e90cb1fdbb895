// One qsplex command line, parsed: what every command reads of it, and how
// a command reports a failure.
#ifndef QSSTORAGE_TOOLS_QSPLEX_CLI_CONTEXT_H_
#define QSSTORAGE_TOOLS_QSPLEX_CLI_CONTEXT_H_

#include <string>
#include <utility>
#include <vector>

#include "platform/com.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/output.h"

namespace qsplex {

class ImageLock;

// How a command uses its image: reads it, changes it, or makes it.
enum class Access { kRead, kChange, kCreate };

// One command line, parsed (cli/parse.h fills it in by the command's
// options).
struct Context {
  std::string command;
  std::string options;            // the option letters given
  std::string accepted;           // the option letters the command takes
  std::string image;              // the first operand
  std::vector<std::string> args;  // the operands after it
  int wait_seconds = 30;          // for another qsplex using the image
  bool quiet = false;             // -q: no progress
  std::string target;             // the file IMAGE names, once locked
  ImageLock* lock = nullptr;      // its lock, once locked
  bool json = false;              // --json: one JSON document on stdout
  // ls and tree: by name, as ls(1) lists
  SortOrder sort = SortOrder::kName;
  // The command's own options as they would be typed again ("-lR --json
  // --sort size"), the common ones left out; for hints that show a
  // corrected command line.
  std::string retyped;

  // -H or --human: sizes in KiB, MiB and GiB.
  bool human() const { return Has('H'); }
  // The long options given with a value that no field above takes
  // ("offset", "10"), in order.
  std::vector<std::pair<std::string, std::string>> values;

  bool Has(char option) const {
    return options.find(option) != std::string::npos;
  }
  // Prints "qsplex: COMMAND: SUBJECT: MESSAGE" and returns kExitFailure.
  int Fail(const std::string& subject, const std::string& message) const;
  int Fail(const std::string& subject, HRESULT hr) const;
};

// "; X is one: IMAGE comes first, as in 'qsplex ls X /docs'" when an
// operand after IMAGE is an image and IMAGE is not; "" otherwise, and for
// diff, which takes two images.
std::string SwappedHint(const Context& c);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_CLI_CONTEXT_H_
