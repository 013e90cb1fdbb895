#include "standins/store/file_pages.h"

#if defined(_WIN32)

#include <algorithm>
#include <cerrno>

namespace qss::standins {
namespace {

// What one fault reads: large enough that reading a block through costs
// few faults, small enough that touching one word reads little.
constexpr uint64_t kPieceBytes = 1024 * 1024;

// Every FilePages with ranges, for the one exception handler. The handler
// runs on the faulting thread; the lock keeps ranges from changing under it.
struct Registry {
  CRITICAL_SECTION lock;
  std::vector<FilePages*> all;
  PVOID handler = nullptr;
  Registry() { InitializeCriticalSection(&lock); }
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;  // lives as long as the process
  return *registry;
}

class Locked {
 public:
  Locked() { EnterCriticalSection(&TheRegistry().lock); }
  ~Locked() { LeaveCriticalSection(&TheRegistry().lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION x, y;
  return GetFileInformationByHandle(a, &x) != 0 &&
         GetFileInformationByHandle(b, &y) != 0 &&
         x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
         x.nFileIndexHigh == y.nFileIndexHigh &&
         x.nFileIndexLow == y.nFileIndexLow;
}

// A handle of its own on `file`, with its own position, that lets the file
// be renamed over or deleted meanwhile, as a mapped file may be. Where the
// system cannot reopen it, a duplicate shares the caller's position: the
// fills read at explicit offsets, and no fill happens inside a read of the
// caller's, which never reads into the plex's lazy pages.
HANDLE OwnHandle(HANDLE file) {
  HANDLE own =
      ReOpenFile(file, GENERIC_READ,
                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
  if (own != INVALID_HANDLE_VALUE) return own;
  if (DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &own,
                      GENERIC_READ, FALSE, 0) != 0) {
    return own;
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

LONG CALLBACK FilePages::OnAccessViolation(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION ||
      record->NumberParameters < 2 || record->ExceptionInformation[0] > 1) {
    return EXCEPTION_CONTINUE_SEARCH;  // not a read or a write
  }
  char* address = reinterpret_cast<char*>(record->ExceptionInformation[1]);
  const bool write = record->ExceptionInformation[0] == 1;
  Locked locked;
  for (FilePages* pages : TheRegistry().all) {
    if (pages->Resolve(address, write)) return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

bool FilePages::Resolve(char* address, bool write) {
  for (Range& range : ranges_) {
    if (address < range.start || address >= range.start + range.bytes) {
      continue;
    }
    const size_t k = static_cast<size_t>(
        static_cast<uint64_t>(address - range.start) / kPieceBytes);
    if (range.pieces[k] == kUnread) {
      // A read fault or a write one: the piece is read first either way,
      // and a write faults again on the read-only piece. Without memory
      // for it the access cannot go on: the fault is left to the process.
      return Fill(&range, k, 1);
    }
    if (range.pieces[k] == kRead && write) {
      char* piece = range.start + k * kPieceBytes;
      const uint64_t bytes =
          std::min(kPieceBytes, range.bytes - k * kPieceBytes);
      DWORD old;
      if (VirtualProtect(piece, static_cast<SIZE_T>(bytes), PAGE_READWRITE,
                         &old) == 0) {
        return false;
      }
      range.pieces[k] = kWritten;
      return true;
    }
    // The piece allows the access: another thread filled it meanwhile.
    return range.pieces[k] == kWritten || !write;
  }
  return false;
}

// Bytes past the file's end read zero, as in a mapped page. Bytes the file
// fails to give read zero too, and their range is marked failed: it counts
// as written and its block as unreadable, so that no zeros pass for the
// file's bytes. False only without memory.
bool FilePages::Fill(Range* range, size_t k, size_t count) {
  char* piece = range->start + k * kPieceBytes;
  const uint64_t bytes =
      std::min(count * kPieceBytes, range->bytes - k * kPieceBytes);
  if (VirtualAlloc(piece, static_cast<SIZE_T>(bytes), MEM_COMMIT,
                   PAGE_READWRITE) == nullptr) {
    return false;
  }
  bool ok = true;
  for (uint64_t done = 0; done < bytes;) {
    const uint64_t at = range->offset + k * kPieceBytes + done;
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    if (ReadFile(file_, piece + done, static_cast<DWORD>(bytes - done), &got,
                 &where) == 0) {
      ok = GetLastError() == ERROR_HANDLE_EOF;
      break;
    }
    if (got == 0) break;
    done += got;
  }
  if (!ok) range->failed = true;
  // Pieces that cannot be made read-only would take writes unseen.
  DWORD old;
  const uint8_t state = VirtualProtect(piece, static_cast<SIZE_T>(bytes),
                                       PAGE_READONLY, &old) != 0
                            ? kRead
                            : kWritten;
  std::fill_n(range->pieces.begin() + k, count, state);
  return true;
}

bool FilePages::Add(char* at, uint64_t bytes, HANDLE file, uint64_t offset) {
  if (file == INVALID_HANDLE_VALUE || bytes == 0) return false;
  Locked locked;
  if (file_ != INVALID_HANDLE_VALUE && !SameFile(file, file_)) return false;
  const HANDLE own = file_ != INVALID_HANDLE_VALUE ? file_ : OwnHandle(file);
  if (own == INVALID_HANDLE_VALUE) return false;
  Registry& registry = TheRegistry();
  if (registry.handler == nullptr) {
    registry.handler = AddVectoredExceptionHandler(1, OnAccessViolation);
  }
  if (registry.handler == nullptr ||
      VirtualFree(at, static_cast<SIZE_T>(bytes), MEM_DECOMMIT) == 0) {
    if (own != file_) CloseHandle(own);
    return false;
  }
  file_ = own;
  ranges_.push_back(Range{at, bytes, offset,
                          std::vector<uint8_t>(static_cast<size_t>(
                              (bytes + kPieceBytes - 1) / kPieceBytes))});
  if (std::find(registry.all.begin(), registry.all.end(), this) ==
      registry.all.end()) {
    registry.all.push_back(this);
  }
  return true;
}

bool FilePages::Written(const char* at, uint64_t bytes) const {
  Locked locked;
  for (const Range& range : ranges_) {
    if (at < range.start || at + bytes > range.start + range.bytes) continue;
    if (range.failed) return true;
    const uint64_t from = static_cast<uint64_t>(at - range.start);
    const size_t first = static_cast<size_t>(from / kPieceBytes);
    const size_t last = static_cast<size_t>((from + bytes - 1) / kPieceBytes);
    return std::any_of(range.pieces.begin() + first,
                       range.pieces.begin() + last + 1,
                       [](uint8_t state) { return state == kWritten; });
  }
  return true;
}

bool FilePages::Failed(const char* at, uint64_t bytes) const {
  Locked locked;
  return std::any_of(ranges_.begin(), ranges_.end(), [&](const Range& range) {
    return range.failed && at < range.start + range.bytes &&
           range.start < at + bytes;
  });
}

bool FilePages::ReadIn(const char* at, uint64_t bytes) {
  Locked locked;
  for (Range& range : ranges_) {
    const char* from = std::max<const char*>(at, range.start);
    const char* to =
        std::min<const char*>(at + bytes, range.start + range.bytes);
    if (from >= to) continue;
    const size_t first = static_cast<size_t>(
        static_cast<uint64_t>(from - range.start) / kPieceBytes);
    const size_t last = static_cast<size_t>(
        static_cast<uint64_t>(to - 1 - range.start) / kPieceBytes);
    // Each run of pieces not read is read at once.
    for (size_t k = first; k <= last; ++k) {
      if (range.pieces[k] != kUnread) continue;
      size_t end = k + 1;
      while (end <= last && range.pieces[end] == kUnread) ++end;
      if (!Fill(&range, k, end - k)) return false;
      k = end - 1;
    }
  }
  return true;
}

bool FilePages::ReadAll() {
  {
    Locked locked;
    for (Range& range : ranges_) {
      if (!ReadIn(range.start, range.bytes)) {
        errno = ENOMEM;
        return false;
      }
      if (range.failed) {
        errno = EIO;
        return false;
      }
      DWORD old;
      if (VirtualProtect(range.start, static_cast<SIZE_T>(range.bytes),
                         PAGE_READWRITE, &old) == 0) {
        errno = ENOMEM;
        return false;
      }
      std::fill(range.pieces.begin(), range.pieces.end(), kWritten);
    }
  }
  Forget();
  return true;
}

void FilePages::Forget() {
  Locked locked;
  Registry& registry = TheRegistry();
  auto& all = registry.all;
  all.erase(std::remove(all.begin(), all.end(), this), all.end());
  // No handler stays behind code that may be unloaded.
  if (all.empty() && registry.handler != nullptr) {
    RemoveVectoredExceptionHandler(registry.handler);
    registry.handler = nullptr;
  }
  ranges_.clear();
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
}

bool FilePages::Reads(const char* path) const {
  if (path == nullptr || file_ == INVALID_HANDLE_VALUE) return false;
  const HANDLE other = CreateFileA(
      path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  const bool same = SameFile(other, file_);
  CloseHandle(other);
  return same;
}

}  // namespace qss::standins

#endif  // _WIN32
