#include "tools/qsplex/os/files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "standins/image/format.h"
#include "tools/qsplex/os/system.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qsplex {

using qss_support::Utf8ToWide;
using qss_support::WideToUtf8;

namespace {

#if defined(_WIN32)
// The ANSI form of `wide` when it converts there and back unchanged.
std::string ExactAnsi(const WideString& wide) {
  BOOL lossy = FALSE;
  const int bytes =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1,
                          nullptr, 0, nullptr, &lossy);
  if (bytes <= 0 || lossy) return std::string();
  std::string ansi(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), -1, &ansi[0],
                      bytes, nullptr, &lossy);
  ansi.resize(static_cast<size_t>(bytes) - 1);
  return lossy ? std::string() : ansi;
}
#endif

}  // namespace

#if defined(_WIN32)
namespace {
bool Identify(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  const HANDLE file =
      CreateFileW(WideName(path).c_str(), 0,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(file, info) != 0;
  CloseHandle(file);
  return known;
}
}  // namespace
#endif

bool SameFile(const std::string& a, const std::string& b) {
#if defined(_WIN32)
  BY_HANDLE_FILE_INFORMATION x, y;
  return Identify(a, &x) && Identify(b, &y) &&
         x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
         x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
#else
  struct stat x, y;
  return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 &&
         x.st_dev == y.st_dev && x.st_ino == y.st_ino;
#endif
}

FileStatus Probe(const std::string& path) {
  FileStatus status;
#if defined(_WIN32)
  WIN32_FILE_ATTRIBUTE_DATA data;
  SetLastError(0);
  if (!GetFileAttributesExW(WideName(path).c_str(), GetFileExInfoStandard,
                            &data)) {
    const DWORD error = GetLastError();
    status.kind = error == ERROR_FILE_NOT_FOUND ||
                          error == ERROR_PATH_NOT_FOUND ||
                          error == ERROR_INVALID_NAME
                      ? FileKind::kMissing
                      : FileKind::kUnreadable;
    status.reason = SystemReason();
    return status;
  }
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    status.kind = FileKind::kDirectory;
  } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) {
    status.kind = FileKind::kOther;
  }
  status.bytes = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
#else
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    status.kind = errno == ENOENT || errno == ENOTDIR ? FileKind::kMissing
                                                      : FileKind::kUnreadable;
    status.reason = SystemReason();
    return status;
  }
  if (S_ISDIR(st.st_mode)) {
    status.kind = FileKind::kDirectory;
  } else if (!S_ISREG(st.st_mode)) {
    status.kind = FileKind::kOther;
  }
  status.bytes = static_cast<uint64_t>(st.st_size);
#endif
  return status;
}

bool LooksLikeImage(const std::string& path) {
  if (Probe(path).kind != FileKind::kFile) return false;
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) return false;
  using qss::standins::kMagic;
  unsigned char head[sizeof kMagic];
  const bool image = std::fread(head, 1, sizeof head, file) == sizeof head &&
                     std::memcmp(head, kMagic, sizeof head) == 0;
  std::fclose(file);
  return image;
}

std::string FolderOf(const std::string& path) {
#if defined(_WIN32)
  const size_t slash = path.find_last_of("/\\:");
  if (slash != std::string::npos && path[slash] == ':') {
    return path.substr(0, slash + 1) + ".";
  }
#else
  const size_t slash = path.rfind('/');
#endif
  if (slash == std::string::npos) return ".";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string CreateProblem(const std::string& path, const std::string& reason) {
  const std::string folder = FolderOf(path);
  const FileKind kind = Probe(folder).kind;
  std::string text = "cannot create it: " + reason;
  if (kind == FileKind::kMissing) {
    text += " (there is no folder " + folder + ")";
  } else if (kind != FileKind::kDirectory && kind != FileKind::kUnreadable) {
    text += " (" + folder + " is not a folder)";
  }
  return text;
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  ClearSystemError();
#if defined(_WIN32)
  WideString wide_mode;
  Utf8ToWide(mode, &wide_mode);
  // Replacing a file by rename opens it without sharing for a moment under
  // Wine, and other programs (virus scanners) do too on Windows: a read
  // fails only once the file stays so for a while, so that a file being
  // replaced is never taken for one that cannot be read.
  for (int waited = 0;; waited += 10) {
    std::FILE* file = _wfopen(WideName(path).c_str(), wide_mode.c_str());
    if (file != nullptr || mode[0] != 'r' || waited >= 2000 ||
        GetLastError() != ERROR_SHARING_VIOLATION) {
      return file;
    }
    SleepMilliseconds(10);
  }
#else
  return std::fopen(path.c_str(), mode);
#endif
}

bool RemoveFile(const std::string& path) {
#if defined(_WIN32)
  return DeleteFileW(WideName(path).c_str()) != 0;
#else
  return unlink(path.c_str()) == 0;
#endif
}

std::FILE* CreateNewFile(const std::string& path) {
  ClearSystemError();
#if defined(_WIN32)
  HANDLE handle = CreateFileW(WideName(path).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), 0);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
#else
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
#endif
#if defined(_WIN32)
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) _close(fd);
#else
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) close(fd);
#endif
  return file;
}

bool IsLink(const std::string& path) {
#if defined(_WIN32)
  const DWORD attributes = GetFileAttributesW(WideName(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
#else
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
#endif
}

#if defined(_WIN32)
// The path the system resolves `path` to, links followed; "" when it
// cannot be opened.
std::wstring FinalPath(const std::string& path) {
  const HANDLE file =
      CreateFileW(WideName(path).c_str(), 0,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::wstring();
  std::wstring final_path(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(
      file, &final_path[0], static_cast<DWORD>(final_path.size()), 0);
  if (length >= final_path.size()) {
    final_path.resize(length + 1);
    length = GetFinalPathNameByHandleW(
        file, &final_path[0], static_cast<DWORD>(final_path.size()), 0);
  }
  CloseHandle(file);
  final_path.resize(length < final_path.size() ? length : 0);
  return final_path;
}

// Whether the entry `name` of the folder whose final path is `folder` is a
// link that its attributes do not show: under Wine a Linux link to a file
// looks like a regular file, but opening it resolves to the target's path.
// A hard link keeps its own name.
bool ResolvesElsewhere(const std::wstring& folder, const std::string& path,
                       const std::wstring& name) {
  if (folder.empty()) return false;
  const std::wstring final_path = FinalPath(path);
  if (final_path.empty()) return false;
  // A drive's root ends in its separator already.
  const std::wstring own =
      folder + (folder.back() == L'\\' ? L"" : L"\\") + name;
  return CompareStringOrdinal(final_path.c_str(),
                              static_cast<int>(final_path.size()), own.c_str(),
                              static_cast<int>(own.size()), TRUE) != CSTR_EQUAL;
}
#endif

bool ListFolder(const std::string& path, std::vector<FolderEntry>* entries,
                std::string* reason) {
  entries->clear();
  ClearSystemError();
#if defined(_WIN32)
  const std::wstring folder_path = FinalPath(path);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(WideName(InFolder(path, "*")).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    *reason = SystemReason();
    return false;
  }
  do {
    FolderEntry entry;
    entry.name = WideToUtf8(found.cFileName);
    if (entry.name == "." || entry.name == "..") continue;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        ResolvesElsewhere(folder_path, InFolder(path, entry.name),
                          found.cFileName)) {
      entry.kind = FileKind::kOther;
      entry.link = true;
    } else if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      entry.kind = FileKind::kDirectory;
    } else if ((found.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) {
      entry.kind = FileKind::kOther;
    }
    entry.bytes = (uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow;
    entries->push_back(entry);
  } while (FindNextFileW(search, &found));
  const DWORD error = GetLastError();
  FindClose(search);
  if (error != ERROR_NO_MORE_FILES) {
    SetLastError(error);
    *reason = SystemReason();
    return false;
  }
#else
  DIR* folder = opendir(path.c_str());
  if (folder == nullptr) {
    *reason = SystemReason();
    return false;
  }
  while (const dirent* found = readdir(folder)) {
    FolderEntry entry;
    entry.name = found->d_name;
    if (entry.name == "." || entry.name == "..") continue;
    struct stat st;
    if (lstat(InFolder(path, entry.name).c_str(), &st) != 0) {
      entry.kind = FileKind::kUnreadable;
      errno = 0;
      entries->push_back(entry);
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      entry.kind = FileKind::kOther;
      entry.link = true;
    } else if (S_ISDIR(st.st_mode)) {
      entry.kind = FileKind::kDirectory;
    } else if (!S_ISREG(st.st_mode)) {
      entry.kind = FileKind::kOther;
    }
    entry.bytes = static_cast<uint64_t>(st.st_size);
    entries->push_back(entry);
  }
  const bool failed = errno != 0;
  if (failed) *reason = SystemReason();
  closedir(folder);
  if (failed) return false;
#endif
  std::sort(entries->begin(), entries->end(),
            [](const FolderEntry& a, const FolderEntry& b) {
              return a.name < b.name;
            });
  return true;
}

bool MakeFolder(const std::string& path) {
  ClearSystemError();
#if defined(_WIN32)
  return CreateDirectoryW(WideName(path).c_str(), nullptr) != 0;
#else
  return mkdir(path.c_str(), 0777) == 0;
#endif
}

std::string BaseName(const std::string& path) {
#if defined(_WIN32)
  const size_t slash = path.find_last_of("/\\:");
#else
  const size_t slash = path.rfind('/');
#endif
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string InFolder(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  const char last = folder.back();
#if defined(_WIN32)
  if (last == '\\' || last == ':') return folder + name;
#endif
  return last == '/' ? folder + name : folder + "/" + name;
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

WideString WideName(const std::string& path) {
  WideString wide;
  Utf8ToWide(path, &wide);
  return wide;
}

std::string StorePath(const std::string& path) {
#if defined(_WIN32)
  const WideString wide = WideName(path);
  std::string ansi = ExactAnsi(wide);
  if (!ansi.empty()) return ansi;
  wchar_t short_path[MAX_PATH];
  const DWORD length = GetShortPathNameW(wide.c_str(), short_path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return ExactAnsi(short_path);
#else
  return path;
#endif
}

}  // namespace qsplex
