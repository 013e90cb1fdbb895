#include "tools/qsplex/image/image_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tools/qsplex/image/temporary_file.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/os/system.h"
#include "tools/qsplex/output/text.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qsplex {
namespace {

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

// Whether the open failed as another process holds the file open without
// sharing it, as a rename over it does for a moment under Wine.
bool IsOpenedExclusively() {
  return GetLastError() == ERROR_SHARING_VIOLATION;
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

bool IsOpenedExclusively() { return false; }

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

// Takes the lock of the open `file`: a writer through the gate, which it
// keeps (`*gate`) while it waits for the lock; a reader just past it.
Attempt TakeLock(intptr_t file, bool exclusive, bool* gate) {
  if (exclusive) {
    const Attempt at_gate =
        *gate ? Attempt::kTaken : TryLock(file, kGateByte, true);
    *gate = at_gate == Attempt::kTaken;
    const Attempt in = *gate ? TryLock(file, kInByte, true) : at_gate;
    if (in == Attempt::kTaken) Unlock(file, kGateByte);
    return in;
  }
  Attempt in = TryLock(file, kGateByte, false);
  if (in == Attempt::kTaken) {
    in = TryLock(file, kInByte, false);
    Unlock(file, kGateByte);
  }
  return in;
}

// Whether some process holds the lock of the file at `path`.
bool IsLockHeld(const std::string& path) {
  ClearSystemError();
  const intptr_t file = OpenLockFile(path, false);
  // A file being renamed may be open without sharing for a moment: in use.
  if (file == -1) return IsOpenedExclusively();
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

// Whether a writer is replacing `target` by a temporary file it locked.
bool ReplacementUnderway(const std::string& target) {
  for (const std::string& temporary : TemporariesOf(target)) {
    if (IsLockHeld(temporary)) return true;
  }
  return false;
}

}  // namespace

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
    Attempt in = Attempt::kBusy;
    // While a writer replaces the image, its file is left alone: in the
    // Win32 build the rename fails while any process has it open. (An image
    // still to be made is looked for at once: another's is not this one.)
    if (file_ == -1 && (may_be_new || !ReplacementUnderway(target_))) {
      ClearSystemError();
      file_ = OpenLockFile(target_, exclusive);
      if (file_ == -1 && !IsOpenedExclusively()) {
        if (IsMissing()) {
          if (may_be_new) return true;
          *problem = "no such image";
        } else {
          *problem = "cannot open it: " + SystemReason();
        }
        return false;
      }
    }
    if (file_ != -1) in = TakeLock(file_, exclusive, &gate);
    if (in == Attempt::kFailed) {
      *problem = "cannot lock it: " + SystemReason();
      return false;
    }
    if (in == Attempt::kTaken) {
      // Looked for before the name is checked: a replacement that ends
      // between the two is then seen by the second.
      const bool replacing = ReplacementUnderway(target_);
      if (!replacing && IsSameFile(file_, target_)) return true;
      gate = false;
      Release();
      if (!replacing) continue;  // replaced: the name's new file is next
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
  Attempt locked = replacement_ == -1 ? Attempt::kFailed : Attempt::kBusy;
  // In the Win32 build a command looking for replacements under way takes
  // this lock for a moment (see IsLockHeld): the lock is tried again for a
  // while. No command holds it longer, as the file is this process's own.
  for (int waited = 0; locked == Attempt::kBusy; waited += 5) {
    locked = TryLock(replacement_, kInByte, true);
    if (locked != Attempt::kBusy || waited >= 2000) break;
    SleepMilliseconds(5);
  }
  if (locked != Attempt::kTaken) {
    *problem = "cannot lock " + temporary + ": " + SystemReason();
    return false;
  }
#if defined(_WIN32)
  Release();
#endif
  return true;
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
