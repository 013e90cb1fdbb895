#include "tools/qsplex/output/failure.h"

#include <cstdio>

#include "tools/qsplex/output/progress.h"
#include "tools/qsplex/output/text.h"

namespace qsplex {
namespace {

const char* g_activity = "starting";

}  // namespace

int TellFailure(const std::string& command, const std::string& subject,
                const std::string& message) {
  EndProgressLine();
  std::fflush(stdout);  // what was printed before the failure shows first
  std::fprintf(stderr, "qsplex: %s: %s%s%s\n", command.c_str(), subject.c_str(),
               subject.empty() ? "" : ": ", message.c_str());
  return kExitFailure;
}

int Reporter::Fail(const std::string& subject,
                   const std::string& message) const {
  return TellFailure(command_, subject, message);
}

int Reporter::Fail(const std::string& subject, HRESULT hr) const {
  return TellFailure(command_, subject, DescribeResult(hr));
}

void SetActivity(const char* what) { g_activity = what; }

const char* Activity() { return g_activity; }

}  // namespace qsplex
