// The system around the tool: its words for a failure, the terminal, the
// process and the clock.
#ifndef QSSTORAGE_TOOLS_QSPLEX_OS_SYSTEM_H_
#define QSSTORAGE_TOOLS_QSPLEX_OS_SYSTEM_H_

#include <cstdio>
#include <string>

namespace qsplex {

// Clears the last error, so that SystemReason() speaks of the next call.
void ClearSystemError();
// The system's words for the last failure: strerror, or on Windows
// FormatMessageW of GetLastError() when it is set.
std::string SystemReason();

bool IsTerminal(std::FILE* file);

int ProcessId();
void SleepMilliseconds(int milliseconds);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_OS_SYSTEM_H_
