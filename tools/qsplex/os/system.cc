#include "tools/qsplex/os/system.h"

#include <cerrno>
#include <cstring>

#include "support/utf8.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <time.h>
#include <unistd.h>
#endif

namespace qsplex {

void ClearSystemError() {
  errno = 0;
#if defined(_WIN32)
  SetLastError(0);
#endif
}

std::string SystemReason() {
#if defined(_WIN32)
  const DWORD error = GetLastError();
  if (error != 0) {
    wchar_t text[512];
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, text, sizeof text / sizeof text[0], nullptr);
    while (length > 0 &&
           (text[length - 1] == L'\r' || text[length - 1] == L'\n' ||
            text[length - 1] == L' ' || text[length - 1] == L'.')) {
      --length;
    }
    if (length > 0) {
      text[length] = 0;
      return qss_support::WideToUtf8(text);
    }
    return "system error " + std::to_string(error);
  }
#endif
  return errno != 0 ? std::strerror(errno) : "unknown reason";
}

bool IsTerminal(std::FILE* file) {
#if defined(_WIN32)
  return _isatty(_fileno(file)) != 0;
#else
  return isatty(fileno(file)) != 0;
#endif
}

int ProcessId() {
#if defined(_WIN32)
  return static_cast<int>(GetCurrentProcessId());
#else
  return static_cast<int>(getpid());
#endif
}

void SleepMilliseconds(int milliseconds) {
#if defined(_WIN32)
  Sleep(static_cast<DWORD>(milliseconds));
#else
  const timespec pause = {milliseconds / 1000,
                          (milliseconds % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
#endif
}

}  // namespace qsplex
