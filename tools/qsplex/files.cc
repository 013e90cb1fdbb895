#include "tools/qsplex/files.h"

#include <cerrno>
#include <cstring>

#include "tools/qsplex/text.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qsplex {
namespace {

// The first bytes of every image the host's store writes.
constexpr char kImageMagic[] = "QSSPLEX\x1a";

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
  char head[sizeof kImageMagic - 1];
  const bool image = std::fread(head, 1, sizeof head, file) == sizeof head &&
                     std::memcmp(head, kImageMagic, sizeof head) == 0;
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
  return _wfopen(WideName(path).c_str(), wide_mode.c_str());
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
      return WideToUtf8(text);
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
