#include "standins/image/file_io.h"

#include <algorithm>
#include <cerrno>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qss::standins {
namespace {

// A large block verified without being read into the plex is summed
// through views of the file this large: no copy of it is made, and the
// memory it holds stays bounded.
#if !defined(_WIN32)
constexpr uint64_t kViewBytes = 16 << 20;
#endif

#if defined(_WIN32)
// A system error as the C library's fopen would give it in errno.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return EINVAL;
  }
}
#endif

}  // namespace

// On Windows the file may be renamed over or deleted while it is open, as
// elsewhere: a loaded plex keeps reading it, and a writer may replace it.
std::FILE* OpenToRead(const char* path) {
#if defined(_WIN32)
  const HANDLE handle =
      CreateFileA(path, GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = ErrnoOf(GetLastError());
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle),
                                 _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "rb");
  if (file == nullptr) _close(fd);
  return file;
#else
  return std::fopen(path, "rbe");  // not handed to programs run meanwhile
#endif
}

int64_t FileLength(std::FILE* file) {
#if defined(_WIN32)
  return _filelengthi64(_fileno(file));
#else
  struct stat status;
  return fstat(fileno(file), &status) == 0 ? status.st_size : -1;
#endif
}

bool Seek(std::FILE* file, uint64_t offset) {
#if defined(_WIN32)
  return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

bool SyncToDevice(std::FILE* file) {
#if defined(_WIN32)
  return _commit(_fileno(file)) == 0;
#else
  return fsync(fileno(file)) == 0;
#endif
}

void StartWriteBack(std::FILE* file, uint64_t offset, uint64_t bytes) {
#if defined(__linux__)
  sync_file_range(fileno(file), static_cast<off_t>(offset),
                  static_cast<off_t>(bytes), SYNC_FILE_RANGE_WRITE);
#else
  (void)file;
  (void)offset;
  (void)bytes;
#endif
}

bool Truncate(std::FILE* file, uint64_t bytes) {
  if (std::fflush(file) != 0) return false;
#if defined(_WIN32)
  return _chsize_s(_fileno(file), static_cast<__int64>(bytes)) == 0;
#else
  return ftruncate(fileno(file), static_cast<off_t>(bytes)) == 0;
#endif
}

uint64_t SumThroughViews(std::FILE* file, uint64_t offset, uint64_t bytes,
                         XXH3_state_t* state, ProgressCounter* progress) {
#if defined(_WIN32)
  (void)file;
  (void)progress;
  (void)offset;
  (void)bytes;
  (void)state;
  return 0;
#else
  static const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  uint64_t done = 0;
  while (done < bytes) {
    const uint64_t start = (offset + done) / page * page;
    const uint64_t skip = offset + done - start;
    const uint64_t piece = std::min(kViewBytes, bytes - done);
    void* view =
        mmap(nullptr, skip + piece, PROT_READ, MAP_PRIVATE | MAP_POPULATE,
             fileno(file), static_cast<off_t>(start));
    if (view == MAP_FAILED) break;
    XXH3_64bits_update(state, static_cast<unsigned char*>(view) + skip,
                       static_cast<size_t>(piece));
    munmap(view, skip + piece);
    done += piece;
    progress->Advance(piece);
  }
  return done;
#endif
}

}  // namespace qss::standins
