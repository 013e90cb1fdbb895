#include "tools/qsplex/image/image_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/qsplex/os/files.h"
#include "tools/qsplex/image/session.h"
#include "tools/qsplex/output/text.h"

#if defined(_WIN32)
#include <windows.h>

#include <csignal>
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
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

std::string BaseName(const std::string& path) {
#if defined(_WIN32)
  const size_t slash = path.find_last_of("/\\:");
#else
  const size_t slash = path.rfind('/');
#endif
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

constexpr const char* kMadeMeanwhile =
    "another program made a file of its name meanwhile";

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

// The lock's bytes: far past the end of any image, where no read or write
// reaches, since Windows locks keep other handles from the bytes they
// cover.
constexpr uint64_t kInByte = uint64_t{1} << 62;  // held for the whole run
constexpr uint64_t kGateByte = kInByte + 1;      // see image_file.h

enum class Attempt { kTaken, kBusy, kFailed };

#if defined(_WIN32)

HANDLE AsHandle(intptr_t file) { return reinterpret_cast<HANDLE>(file); }

// Opens `path` for locking, with every kind of sharing, so that the store
// may open it too and a temporary file may be renamed while open. -1 when
// it cannot.
intptr_t OpenLockFile(const std::string& path, bool write) {
  const HANDLE handle = CreateFileW(
      WideName(path).c_str(), GENERIC_READ | (write ? GENERIC_WRITE : 0),
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return handle == INVALID_HANDLE_VALUE ? -1
                                        : reinterpret_cast<intptr_t>(handle);
}

void CloseLockFile(intptr_t file) { CloseHandle(AsHandle(file)); }

bool IsMissing() {
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

OVERLAPPED At(uint64_t byte) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(byte);
  at.OffsetHigh = static_cast<DWORD>(byte >> 32);
  return at;
}

Attempt TryLock(intptr_t file, uint64_t byte, bool exclusive) {
  OVERLAPPED at = At(byte);
  const DWORD flags =
      (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | LOCKFILE_FAIL_IMMEDIATELY;
  if (LockFileEx(AsHandle(file), flags, 0, 1, 0, &at)) return Attempt::kTaken;
  const DWORD error = GetLastError();
  return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING
             ? Attempt::kBusy
             : Attempt::kFailed;
}

void Unlock(intptr_t file, uint64_t byte) {
  OVERLAPPED at = At(byte);
  UnlockFileEx(AsHandle(file), 0, 1, 0, &at);
}

bool FileIdentity(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileInformationByHandle(handle, info) != 0;
}

// Whether `path` names the file open as `file`.
bool IsSameFile(intptr_t file, const std::string& path) {
  BY_HANDLE_FILE_INFORMATION held, named;
  const HANDLE other = CreateFileW(
      WideName(path).c_str(), 0,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  const bool same = FileIdentity(AsHandle(file), &held) &&
                    FileIdentity(other, &named) &&
                    held.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
                    held.nFileIndexHigh == named.nFileIndexHigh &&
                    held.nFileIndexLow == named.nFileIndexLow;
  CloseHandle(other);
  return same;
}

// The file `image` names, with links resolved, as the system's final path
// of it; for an image still to be made, its name in the resolved folder.
std::string ResolvedPath(const std::string& image, bool folder = false) {
  const HANDLE handle = CreateFileW(
      WideName(image).c_str(), 0,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (folder) return image;
    const std::string resolved = ResolvedPath(FolderOf(image), true);
    return resolved == FolderOf(image) ? image
                                       : resolved + "\\" + BaseName(image);
  }
  std::vector<wchar_t> path(32768);
  const DWORD length =
      GetFinalPathNameByHandleW(handle, path.data(), 32768, FILE_NAME_NORMALIZED);
  CloseHandle(handle);
  if (length == 0 || length >= 32768) return image;
  WideString final(path.data(), length);
  if (final.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    final = L"\\\\" + final.substr(8);
  } else if (final.compare(0, 4, L"\\\\?\\") == 0) {
    final = final.substr(4);
  }
  return WideToUtf8(final.c_str());
}

#else

#if !defined(F_OFD_SETLK)
#error "qsplex locks images with open file description locks (Linux 3.15)"
#endif

intptr_t OpenLockFile(const std::string& path, bool write) {
  // Not blocking: a FIFO put in the image's place must not hang the open.
  return open(path.c_str(),
              (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK);
}

void CloseLockFile(intptr_t file) { close(static_cast<int>(file)); }

bool IsMissing() { return errno == ENOENT || errno == ENOTDIR; }

struct flock Range(short type, uint64_t byte) {
  struct flock range = {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(byte);
  range.l_len = 1;
  return range;
}

// Open file description locks, unlike the process's fcntl locks, stay
// while the store opens and closes the same file.
Attempt TryLock(intptr_t file, uint64_t byte, bool exclusive) {
  struct flock range = Range(exclusive ? F_WRLCK : F_RDLCK, byte);
  if (fcntl(static_cast<int>(file), F_OFD_SETLK, &range) == 0) {
    return Attempt::kTaken;
  }
  return errno == EAGAIN || errno == EACCES || errno == EINTR
             ? Attempt::kBusy
             : Attempt::kFailed;
}

void Unlock(intptr_t file, uint64_t byte) {
  struct flock range = Range(F_UNLCK, byte);
  fcntl(static_cast<int>(file), F_OFD_SETLK, &range);
}

bool IsSameFile(intptr_t file, const std::string& path) {
  struct stat held, named;
  return fstat(static_cast<int>(file), &held) == 0 &&
         stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}

std::string ResolvedPath(const std::string& image) {
  char* real = realpath(image.c_str(), nullptr);
  if (real == nullptr) {
    const std::string folder = FolderOf(image);
    real = realpath(folder.c_str(), nullptr);
    if (real == nullptr) return image;
    std::string path = std::string(real) + "/" + BaseName(image);
    std::free(real);
    return path;
  }
  std::string path = real;
  std::free(real);
  return path;
}

#endif

// Whether some process holds the lock of the file at `path`.
bool IsLockHeld(const std::string& path) {
  const intptr_t file = OpenLockFile(path, false);
  if (file == -1) return false;
#if defined(_WIN32)
  // Wine takes this as a shared fcntl lock (the handle only reads), which
  // a native writer's lock still refuses.
  const Attempt attempt = TryLock(file, kInByte, true);
  if (attempt == Attempt::kTaken) Unlock(file, kInByte);
  const bool held = attempt == Attempt::kBusy;
#else
  struct flock range = Range(F_WRLCK, kInByte);
  const bool held = fcntl(static_cast<int>(file), F_OFD_GETLK, &range) == 0 &&
                    range.l_type != F_UNLCK;
#endif
  CloseLockFile(file);
  return held;
}

// The paths of the temporary files beside `target` that are its own.
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

// Whether a writer is replacing `target` by a temporary file it locked.
bool ReplacementUnderway(const std::string& target) {
  for (const std::string& temporary : TemporariesOf(target)) {
    if (IsLockHeld(temporary)) return true;
  }
  return false;
}

}  // namespace

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

ImageLock::~ImageLock() {
  Release();
  if (replacement_ != -1) CloseLockFile(replacement_);
}

void ImageLock::Release() {
  if (file_ != -1) CloseLockFile(file_);
  file_ = -1;
}

bool ImageLock::Acquire(const std::string& image, bool exclusive,
                        bool may_be_new, int wait_seconds,
                        std::string* problem, bool* in_use) {
  *in_use = false;
  target_ = ResolvedPath(image);
  bool gate = false;  // a writer's, held while it waits
  int waited = 0;
  int pause = 5;
  bool told = false;
  for (;;) {
    if (file_ == -1) {
      ClearSystemError();
      file_ = OpenLockFile(target_, exclusive);
      if (file_ == -1) {
        if (IsMissing()) {
          if (may_be_new) return true;
          *problem = "no such image";
        } else {
          *problem = "cannot open it: " + SystemReason();
        }
        return false;
      }
    }
    Attempt in;
    if (exclusive) {
      const Attempt at_gate =
          gate ? Attempt::kTaken : TryLock(file_, kGateByte, true);
      gate = at_gate == Attempt::kTaken;
      in = gate ? TryLock(file_, kInByte, true) : at_gate;
      if (in == Attempt::kTaken) Unlock(file_, kGateByte);
    } else {
      in = TryLock(file_, kGateByte, false);
      if (in == Attempt::kTaken) {
        in = TryLock(file_, kInByte, false);
        Unlock(file_, kGateByte);
      }
    }
    if (in == Attempt::kFailed) {
      *problem = "cannot lock it: " + SystemReason();
      return false;
    }
    bool busy = in == Attempt::kBusy;
    if (!busy) {
      // Looked for before the name is checked: a replacement that ends
      // between the two is then seen by the second.
      busy = ReplacementUnderway(target_);
      if (!busy && IsSameFile(file_, target_)) return true;
      gate = false;
      Release();
      if (!busy) continue;  // replaced: the name's new file is locked next
    }
    // Only a writer at the gate keeps the image open while it waits: in the
    // Win32 build an open file cannot be renamed over.
    if (!gate) Release();
    if (waited >= wait_seconds * 1000) {
      Release();
      *in_use = true;
      return false;
    }
    if (!told && waited >= 1000 && IsTerminal(stderr)) {
      std::fprintf(stderr, "qsplex: waiting for another qsplex using %s\n",
                   image.c_str());
      told = true;
    }
    SleepMilliseconds(pause);
    waited += pause;
    pause = pause < 100 ? pause * 2 : 100;
  }
}

bool ImageLock::HandOver(const std::string& temporary, std::string* problem) {
  ClearSystemError();
#if defined(_WIN32)
  // Read access only, which the flush before the rename shares; Wine then
  // takes a shared fcntl lock, which IsLockHeld still sees.
  replacement_ = OpenLockFile(temporary, false);
#else
  replacement_ = OpenLockFile(temporary, true);
#endif
  if (replacement_ == -1 ||
      TryLock(replacement_, kInByte, true) != Attempt::kTaken) {
    *problem = "cannot lock " + temporary + ": " + SystemReason();
    return false;
  }
#if defined(_WIN32)
  Release();
#endif
  return true;
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
  bool folder_synced = true;
#if defined(_WIN32)
  const WideString path = WideName(path_);
  const WideString final_path = WideName(final_path_);
  HANDLE handle =
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool flushed =
      handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0;
  if (!flushed) *problem = "cannot flush it to the disk: " + SystemReason();
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  if (!flushed) return false;
  if (g_interrupted) {
    *problem = "interrupted";
    return false;
  }
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
      break;
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
  renamed_ = true;
#else
  const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  const bool synced = fd >= 0 && fsync(fd) == 0;
  if (!synced) *problem = "cannot flush it to the disk: " + SystemReason();
  if (fd >= 0) close(fd);
  if (!synced) return false;
  if (!over_existing ? !RenameAsNew(path_, final_path_)
                     : rename(path_.c_str(), final_path_.c_str()) != 0) {
    *problem = errno == EEXIST ? kMadeMeanwhile
                               : "cannot replace it: " + SystemReason();
    return false;
  }
  renamed_ = true;
  // The rename is durable once the folder is; a file system that cannot
  // sync a folder (EINVAL) has made it durable already.
  const int folder =
      open(FolderOf(final_path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    folder_synced = fsync(folder) == 0 || errno == EINVAL || errno == ENOTSUP ||
                    errno == EOPNOTSUPP;
    if (!folder_synced) {
      *problem = "cannot flush its folder to the disk: " + SystemReason();
    }
    close(folder);
  }
#endif
  created_ = false;
  Unregister();
  return folder_synced;
}

bool IsWritable(const std::string& path, std::string* problem) {
#if defined(_WIN32)
  const DWORD attributes = GetFileAttributesW(WideName(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return true;
  }
  *problem = "the file is read-only";
  return false;
#else
  if (access(path.c_str(), W_OK) == 0 || errno == ENOENT) return true;
  *problem = SystemReason();
  return false;
#endif
}

void RemoveStaleTemporaries(const std::string& target) {
  for (const std::string& temporary : TemporariesOf(target)) {
    if (!IsLockHeld(temporary)) RemoveFile(temporary);
  }
  // Earlier builds locked the image through this file and kept it.
  const FileStatus old_lock = Probe(target + ".lock");
  if (old_lock.kind == FileKind::kFile && old_lock.bytes == 0) {
    RemoveFile(target + ".lock");
  }
}

}  // namespace qsplex
