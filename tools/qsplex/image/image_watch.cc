#include "tools/qsplex/image/image_watch.h"

#include <cstdint>
#include <cstring>

#include "tools/qsplex/image/temporary_file.h"
#include "tools/qsplex/os/files.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#endif

namespace qsplex {

const char kChangedByAnother[] =
    "the image was changed by another program while qsplex read it";

namespace {

// What tells one state of a file from another: on Windows, where nothing
// is mapped and a file's identity needs it opened, its length and last
// write time.
struct Stamp {
  bool exists = false;
  uint64_t device = 0, inode = 0, bytes = 0;
  int64_t modified_s = 0, modified_ns = 0, changed_s = 0, changed_ns = 0;

  bool operator==(const Stamp& other) const {
    return exists == other.exists && device == other.device &&
           inode == other.inode && bytes == other.bytes &&
           modified_s == other.modified_s &&
           modified_ns == other.modified_ns && changed_s == other.changed_s &&
           changed_ns == other.changed_ns;
  }
};

std::string g_path;
bool g_watching = false;
Stamp g_noted;

#if defined(_WIN32)

Stamp StampOf(const std::string& path) {
  Stamp stamp;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(WideName(path).c_str(), GetFileExInfoStandard,
                            &data)) {
    return stamp;
  }
  stamp.exists = true;
  stamp.bytes = uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow;
  // In 100 ns steps, in the one field.
  stamp.modified_ns = static_cast<int64_t>(
      uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32 |
      data.ftLastWriteTime.dwLowDateTime);
  return stamp;
}

void InstallHandler() {}

#else

// A copy of the path and the message the handler can use without
// allocating; the handler reads them only while `g_armed` is set.
char g_fault_path[PATH_MAX];
char g_fault_message[PATH_MAX + 256];
size_t g_fault_message_bytes = 0;
volatile sig_atomic_t g_armed = 0;

// Only async-signal-safe calls: stat, as StampOf makes it.
Stamp StampOf(const char* path) {
  Stamp stamp;
  struct stat status;
  if (stat(path, &status) != 0) return stamp;
  stamp.exists = true;
  stamp.device = static_cast<uint64_t>(status.st_dev);
  stamp.inode = static_cast<uint64_t>(status.st_ino);
  stamp.bytes = static_cast<uint64_t>(status.st_size);
  stamp.modified_s = status.st_mtim.tv_sec;
  stamp.modified_ns = status.st_mtim.tv_nsec;
  stamp.changed_s = status.st_ctim.tv_sec;
  stamp.changed_ns = status.st_ctim.tv_nsec;
  return stamp;
}
Stamp StampOf(const std::string& path) { return StampOf(path.c_str()); }

// A read of a mapped page the file no longer holds. Any other bus error
// is left to the default action: the handler was reset, so returning
// faults again and ends the process as the signal would have.
void OnBusError(int) {
  if (!g_armed || StampOf(g_fault_path) == g_noted) return;
  const ssize_t written =
      write(STDERR_FILENO, g_fault_message, g_fault_message_bytes);
  (void)written;
  RemoveTemporaryInHandler();
  _exit(1);
}

void InstallHandler() {
  struct sigaction action = {};
  action.sa_handler = OnBusError;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, nullptr);
}

void Arm(const std::string& command) {
  g_armed = 0;
  const std::string message = "qsplex: " + command + ": " + g_path + ": " +
                              kChangedByAnother +
                              " (it is shorter now); qsplex stopped without "
                              "changing it: run the command again\n";
  if (g_path.size() >= sizeof g_fault_path ||
      message.size() > sizeof g_fault_message) {
    return;
  }
  std::memcpy(g_fault_path, g_path.c_str(), g_path.size() + 1);
  std::memcpy(g_fault_message, message.data(), message.size());
  g_fault_message_bytes = message.size();
  g_armed = 1;
}

#endif

}  // namespace

void WatchImage(const std::string& command, const std::string& path) {
  static bool installed = false;
  if (!installed) InstallHandler();
  installed = true;
  g_path = path;
  g_noted = StampOf(path);
  g_watching = true;
#if !defined(_WIN32)
  Arm(command);
#else
  (void)command;
#endif
}

const std::string* ChangedImage() {
  if (!g_watching || StampOf(g_path) == g_noted) return nullptr;
  return &g_path;
}

void StopWatching() {
  g_watching = false;
#if !defined(_WIN32)
  g_armed = 0;
#endif
}

}  // namespace qsplex
