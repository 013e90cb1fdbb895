// One command line, parsed: what a command works on and how. Its failures
// are told through it (see output/failure.h).
#ifndef QSSTORAGE_TOOLS_QSPLEX_IMAGE_SESSION_H_
#define QSSTORAGE_TOOLS_QSPLEX_IMAGE_SESSION_H_

#include <string>
#include <utility>
#include <vector>

#include "platform/com.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/output.h"

namespace qsplex {

class ImageLock;

// One command line, parsed.
struct Context {
  std::string command;
  std::string options;            // the option letters given
  std::string accepted;           // the option letters the command takes
  std::string image;              // the first operand
  std::vector<std::string> args;  // the operands after it
  int wait_seconds = 30;          // for another qsplex using the image
  std::string target;             // the file IMAGE names, once locked
  ImageLock* lock = nullptr;      // its lock, once locked
  bool json = false;              // --json: one JSON document on stdout
  SortOrder sort = SortOrder::kNone;

  // -H or --human: sizes in KiB, MiB and GiB.
  bool human() const { return Has('H'); }
  // The long options given with a value ("offset", "10"), in order.
  std::vector<std::pair<std::string, std::string>> values;

  bool Has(char option) const {
    return options.find(option) != std::string::npos;
  }
  // Prints "qsplex: COMMAND: SUBJECT: MESSAGE" and returns kExitFailure.
  int Fail(const std::string& subject, const std::string& message) const;
  int Fail(const std::string& subject, HRESULT hr) const;
};

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_IMAGE_SESSION_H_
