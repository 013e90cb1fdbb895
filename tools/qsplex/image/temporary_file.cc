#include "tools/qsplex/image/temporary_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/qsplex/os/files.h"
#include "tools/qsplex/os/system.h"
#include "tools/qsplex/output/text.h"
#include "tools/qsplex/output/failure.h"

#if defined(_WIN32)
#include <windows.h>

#include <csignal>
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#endif

namespace qsplex {
namespace {

constexpr const char* kTemporaryInfix = ".qsplex-";
constexpr const char* kTemporarySuffix = ".tmp";

// Whether `name` is a temporary file of `base`: base.qsplex-DIGITS.tmp.
bool IsTemporaryOf(const std::string& name, const std::string& base) {
  const std::string prefix = base + kTemporaryInfix;
  const size_t suffix = std::strlen(kTemporarySuffix);
  if (name.size() <= prefix.size() + suffix ||
      name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - suffix, suffix, kTemporarySuffix) != 0) {
    return false;
  }
  for (size_t i = prefix.size(); i < name.size() - suffix; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

constexpr const char* kMadeMeanwhile =
    "another program made a file of its name meanwhile";

#if defined(_WIN32)

// The console handler runs on a thread of its own. While a temporary file
// exists the main thread holds `g_guard`, so the handler waits until the
// file either replaced the image or is gone, and the main thread checks
// `g_interrupted` before it renames.
CRITICAL_SECTION g_guard;
wchar_t g_temporary[32768];  // the longest path Windows has
volatile LONG g_interrupted = 0;

BOOL WINAPI OnConsoleEvent(DWORD) {
  InterlockedExchange(&g_interrupted, 1);
  EnterCriticalSection(&g_guard);
  if (g_temporary[0] != 0) DeleteFileW(g_temporary);
  // Ends the process as the system's handler does on Windows (Wine's ends
  // it with status 0, which would read as success).
  ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

// The host's stand-in libraries are DLLs with a C++ runtime of their own:
// an exception they cannot handle (memory running out in a 32-bit process)
// ends in abort() there, never reaching main's handlers. The C runtime is
// shared, so its SIGABRT handler is ours to set.
void OnAbort(int) {
  std::fprintf(stderr,
               "qsplex: aborted while %s (out of memory in the host's "
               "store?); the image is as it was\n",
               Activity());
  if (g_temporary[0] != 0) DeleteFileW(g_temporary);
  std::fflush(stderr);
  std::_Exit(1);
}

void Register(const std::string& path) {
  const WideString wide = WideName(path);
  EnterCriticalSection(&g_guard);
  if (wide.size() < sizeof g_temporary / sizeof g_temporary[0]) {
    wide.copy(g_temporary, wide.size());
    g_temporary[wide.size()] = 0;
  }
}

void Unregister() {
  g_temporary[0] = 0;
  LeaveCriticalSection(&g_guard);
}

#else

char g_temporary[PATH_MAX];
volatile sig_atomic_t g_has_temporary = 0;

void OnSignal(int signal_number) {
  if (g_has_temporary) unlink(g_temporary);
  // The handler was reset to the default and the signal is not blocked:
  // raising it again ends the process as the signal would have.
  raise(signal_number);
}

void Register(const std::string& path) {
  g_has_temporary = 0;
  if (path.size() >= sizeof g_temporary) return;
  std::memcpy(g_temporary, path.c_str(), path.size() + 1);
  g_has_temporary = 1;
}

void Unregister() { g_has_temporary = 0; }

// Renames `from` to `to` unless `to` exists: EEXIST then.
bool RenameAsNew(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: a second name, then the first goes.
  if (link(from.c_str(), to.c_str()) != 0) return false;
  unlink(from.c_str());
  return true;
}

#endif

// Flushes what was written under the name `path` to the disk.
bool FlushToDisk(const std::string& path, std::string* problem) {
#if defined(_WIN32)
  HANDLE handle =
      CreateFileW(WideName(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool flushed =
      handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0;
  if (!flushed) *problem = "cannot flush it to the disk: " + SystemReason();
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  return flushed;
#else
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool synced = fd >= 0 && fsync(fd) == 0;
  if (!synced) *problem = "cannot flush it to the disk: " + SystemReason();
  if (fd >= 0) close(fd);
  return synced;
#endif
}

#if defined(_WIN32)

// Renames `from` over `to` (or, unless `over_existing`, to `to` only if no
// file has that name), carrying the attributes of `to` over.
bool MoveOver(const std::string& from, const std::string& to,
              bool over_existing, std::string* problem) {
  const WideString path = WideName(from);
  const WideString final_path = WideName(to);
  // The final file's attributes carry over; read-only ones never get here,
  // since a read-only image is not changed.
  const DWORD attributes = GetFileAttributesW(final_path.c_str());
  constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                          FILE_ATTRIBUTE_ARCHIVE |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kKept) != 0) {
    SetFileAttributesW(path.c_str(), attributes & kKept);
  }
  // Windows refuses to replace a file another program has open without
  // delete sharing (a virus scanner, an indexer, a copy being made); such
  // opens are short, so the replacement is tried again for a few seconds.
  for (int attempt = 0;; ++attempt) {
    if (MoveFileExW(path.c_str(), final_path.c_str(),
                    (over_existing ? MOVEFILE_REPLACE_EXISTING : 0) |
                        MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
      *problem = kMadeMeanwhile;
      return false;
    }
    const bool busy =
        error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
    if (!busy || attempt == 50 || g_interrupted) {
      SetLastError(error);
      *problem = "cannot replace it: " + SystemReason();
      return false;
    }
    SleepMilliseconds(100);
  }
}

#else

// Makes a rename in the folder of `path` durable; a file system that cannot
// sync a folder (EINVAL) has made it durable already.
bool SyncFolderOf(const std::string& path, std::string* problem) {
  const int folder =
      open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return true;
  const bool synced = fsync(folder) == 0 || errno == EINVAL ||
                      errno == ENOTSUP || errno == EOPNOTSUPP;
  if (!synced) {
    *problem = "cannot flush its folder to the disk: " + SystemReason();
  }
  close(folder);
  return synced;
}

#endif

}  // namespace

std::vector<std::string> TemporariesOf(const std::string& target) {
  const std::string folder = FolderOf(target);
  const std::string base = BaseName(target);
  std::vector<std::string> found;
#if defined(_WIN32)
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(
      WideName(target + kTemporaryInfix + "*" + kTemporarySuffix).c_str(),
      &entry);
  if (search == INVALID_HANDLE_VALUE) return found;
  do {
    const std::string name = WideToUtf8(entry.cFileName);
    if (IsTemporaryOf(name, base)) found.push_back(InFolder(folder, name));
  } while (FindNextFileW(search, &entry));
  FindClose(search);
#else
  DIR* entries = opendir(folder.c_str());
  if (entries == nullptr) return found;
  while (const dirent* entry = readdir(entries)) {
    if (IsTemporaryOf(entry->d_name, base)) {
      found.push_back(InFolder(folder, entry->d_name));
    }
  }
  closedir(entries);
#endif
  return found;
}

#if !defined(_WIN32)
void RemoveTemporaryInHandler() {
  if (g_has_temporary) unlink(g_temporary);
}
#endif

void InstallInterruptCleanup() {
#if defined(_WIN32)
  InitializeCriticalSection(&g_guard);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  signal(SIGABRT, OnAbort);
#else
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal_number, &action, nullptr);
  }
  // A limit on the file's size fails the write (EFBIG), which is reported,
  // rather than ending the process in the middle of a save.
  signal(SIGXFSZ, SIG_IGN);
#endif
}

TemporaryFile::TemporaryFile(const std::string& final_path)
    : final_path_(final_path),
      path_(final_path + kTemporaryInfix + std::to_string(ProcessId()) +
            kTemporarySuffix) {}

TemporaryFile::~TemporaryFile() {
  if (!created_) return;
  RemoveFile(path_);
  Unregister();
}

bool TemporaryFile::Create(std::string* problem) {
  Register(path_);
#if defined(_WIN32)
  HANDLE handle =
      CreateFileW(WideName(path_).c_str(), GENERIC_WRITE, 0, nullptr,
                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *problem = SystemReason();
    Unregister();
    return false;
  }
  CloseHandle(handle);
#else
  struct stat final_status;
  const bool replacing = stat(final_path_.c_str(), &final_status) == 0 &&
                         S_ISREG(final_status.st_mode);
  const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                      replacing ? final_status.st_mode & 0777 : 0666);
  if (fd < 0) {
    *problem = SystemReason();
    Unregister();
    return false;
  }
  if (replacing) {
    // Owner and group where this process may set them, the group alone
    // where it may set only that; permissions after, as a change of owner
    // clears the set-id bits.
    if (fchown(fd, final_status.st_uid, final_status.st_gid) != 0 &&
        fchown(fd, static_cast<uid_t>(-1), final_status.st_gid) != 0) {
      errno = 0;
    }
    if (fchmod(fd, final_status.st_mode & 07777) != 0) errno = 0;
  }
  close(fd);
#endif
  created_ = true;
  return true;
}

bool TemporaryFile::Replace(std::string* problem, bool over_existing) {
  ClearSystemError();
  if (!FlushToDisk(path_, problem)) return false;
  bool folder_synced = true;
#if defined(_WIN32)
  if (g_interrupted) {
    *problem = "interrupted";
    return false;
  }
  if (!MoveOver(path_, final_path_, over_existing, problem)) return false;
  renamed_ = true;
#else
  if (!over_existing ? !RenameAsNew(path_, final_path_)
                     : rename(path_.c_str(), final_path_.c_str()) != 0) {
    *problem = errno == EEXIST ? kMadeMeanwhile
                               : "cannot replace it: " + SystemReason();
    return false;
  }
  renamed_ = true;
  folder_synced = SyncFolderOf(final_path_, problem);
#endif
  created_ = false;
  Unregister();
  return folder_synced;
}

}  // namespace qsplex
