#include "standins/store/address_space.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "standins/store/file_pages.h"

#if defined(_WIN32)
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

constexpr uint64_t kMinFallbackBytes = 16 * kMiB;
#if defined(_WIN32)
constexpr uint64_t kCommitGranule = kMiB;
#endif

#if !defined(_WIN32)
// Fresh private pages over `bytes` from `at`, replacing whatever was mapped
// there; large pages where the system offers them, as a plex filled from an
// image otherwise spends most of its time on a page fault per 4 KiB.
void* FreshPages(void* at, uint64_t bytes) {
  // No swap reserved: untouched pages cost nothing, so the whole range can
  // be readable from the start.
  void* p = mmap(at, bytes, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE |
                     (at != nullptr ? MAP_FIXED : 0),
                 -1, 0);
  if (p == MAP_FAILED) return nullptr;
  madvise(p, bytes, MADV_HUGEPAGE);
  return p;
}

// FreshPages over part of the plex, which cannot go on with a hole in it.
void RemakePages(void* at, uint64_t bytes) {
  if (FreshPages(at, bytes) != nullptr) return;
  std::fprintf(stderr,
               "qsstorage plex stand-in: cannot remake the plex's "
               "pages\n");
  std::abort();
}
#endif

}  // namespace

AddressSpace::AddressSpace() = default;

AddressSpace::~AddressSpace() { Release(); }

bool AddressSpace::Reserve(uint64_t bytes) {
  Release();
  for (;; bytes /= 2) {
#if defined(_WIN32)
    void* p = VirtualAlloc(nullptr, static_cast<SIZE_T>(bytes), MEM_RESERVE,
                           PAGE_NOACCESS);
#else
    void* p = FreshPages(nullptr, bytes);
#endif
    if (p != nullptr) {
      base_ = static_cast<int32_t*>(p);
      bytes_ = bytes;
      committed_ = 0;
      return true;
    }
    if (bytes / 2 < kMinFallbackBytes) return false;
  }
}

bool AddressSpace::ReserveLargest(uint64_t bytes) {
#if defined(_WIN32)
  // A 32-bit process's free space lies in pieces between its modules; try
  // the whole request, then search for the largest piece the system gives.
  if (Reserve(bytes) && bytes_ == bytes) return true;
  uint64_t fits = bytes_;
  uint64_t beyond = bytes;
  Release();
  while (beyond - fits > kReservationGranule) {
    const uint64_t mid = (fits + (beyond - fits) / 2) / kReservationGranule *
                         kReservationGranule;
    void* p = VirtualAlloc(nullptr, static_cast<SIZE_T>(mid), MEM_RESERVE,
                           PAGE_NOACCESS);
    if (p != nullptr) VirtualFree(p, 0, MEM_RELEASE);
    (p != nullptr ? fits : beyond) = mid;
  }
  return Reserve(fits);
#else
  return Reserve(bytes);
#endif
}

void AddressSpace::Release() {
  if (base_ == nullptr) return;
#if defined(_WIN32)
  if (file_pages_ != nullptr) file_pages_->Forget();
  VirtualFree(base_, 0, MEM_RELEASE);
#else
  munmap(base_, bytes_);
#endif
  base_ = nullptr;
  bytes_ = committed_ = 0;
  mapped_.clear();
}

bool AddressSpace::Commit(uint64_t bytes) {
  if (bytes > bytes_) return false;
#if defined(_WIN32)
  if (bytes <= committed_) return true;
  const uint64_t target = std::min(
      bytes_, (bytes + kCommitGranule - 1) / kCommitGranule * kCommitGranule);
  if (VirtualAlloc(reinterpret_cast<char*>(base_) + committed_,
                   static_cast<SIZE_T>(target - committed_), MEM_COMMIT,
                   PAGE_READWRITE) == nullptr) {
    return false;
  }
  committed_ = target;
#endif
  return true;
}

void AddressSpace::Discard() {
#if defined(_WIN32)
  if (committed_ > 0) VirtualFree(base_, committed_, MEM_DECOMMIT);
  committed_ = 0;
  if (file_pages_ != nullptr) file_pages_->Forget();
  mapped_.clear();
#else
  if (mapped_.empty()) {
    madvise(base_, bytes_, MADV_DONTNEED);
    return;
  }
  // Dropping the pages of a file mapping would show the file again.
  RemakePages(base_, bytes_);
  mapped_.clear();
#endif
}

uint64_t AddressSpace::PageBytes() {
#if defined(_WIN32)
  static const uint64_t page = [] {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    return uint64_t{system.dwPageSize};
  }();
  return page;
#else
  static const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return page;
#endif
}

bool AddressSpace::MapFile(uint64_t at, std::FILE* file, uint64_t file_offset,
                           uint64_t bytes) {
#if defined(_WIN32)
  if (at + bytes > committed_) return false;
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (file_pages_ == nullptr) file_pages_ = std::make_unique<FilePages>();
  if (!file_pages_->Add(reinterpret_cast<char*>(base_) + at, bytes, handle,
                        file_offset)) {
    return false;
  }
  mapped_.emplace_back(at, bytes);
  return true;
#else
  struct stat status;
  const int fd = fileno(file);
  if (at + bytes > bytes_ || fstat(fd, &status) != 0) return false;
  if (!mapped_.empty() &&
      (status.st_dev != mapped_device_ || status.st_ino != mapped_inode_)) {
    return false;  // one file at a time, so that MapsFile can tell
  }
  if (mmap(reinterpret_cast<char*>(base_) + at, bytes, PROT_READ | PROT_WRITE,
           MAP_PRIVATE | MAP_FIXED, fd,
           static_cast<off_t>(file_offset)) == MAP_FAILED) {
    // A failed MAP_FIXED may have unmapped the range already; the caller
    // reads the words into fresh pages instead.
    RemakePages(reinterpret_cast<char*>(base_) + at, bytes);
    return false;
  }
  mapped_device_ = status.st_dev;
  mapped_inode_ = status.st_ino;
  mapped_.emplace_back(at, bytes);
  return true;
#endif
}

// A page of a private file mapping that was only read is the file's page
// (or not present yet); one written is an anonymous copy, present or
// swapped out. The flags are readable without privileges.
bool AddressSpace::PagesWritten(uint64_t at, uint64_t bytes) const {
#if defined(_WIN32)
  return file_pages_ == nullptr ||
         file_pages_->Written(reinterpret_cast<const char*>(base_) + at, bytes);
#else
  constexpr uint64_t kPresent = uint64_t{1} << 63;
  constexpr uint64_t kSwapped = uint64_t{1} << 62;
  constexpr uint64_t kFilePage = uint64_t{1} << 61;
  const uint64_t page = PageBytes();
  const int fd = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  uint64_t entries[4096];
  const uint64_t first = (reinterpret_cast<uintptr_t>(base_) + at) / page;
  const uint64_t count = (bytes + page - 1) / page;
  bool written = false;
  for (uint64_t done = 0; !written && done < count;) {
    const uint64_t want = std::min<uint64_t>(std::size(entries), count - done);
    const ssize_t got =
        pread(fd, entries, want * sizeof(entries[0]),
              static_cast<off_t>((first + done) * sizeof(entries[0])));
    if (got != static_cast<ssize_t>(want * sizeof(entries[0]))) {
      written = true;
      break;
    }
    for (uint64_t k = 0; k < want; ++k) {
      const uint64_t e = entries[k];
      if ((e & kSwapped) != 0 ||
          ((e & kPresent) != 0 && (e & kFilePage) == 0)) {
        written = true;
        break;
      }
    }
    done += want;
  }
  close(fd);
  return written;
#endif
}

bool AddressSpace::ReadIn(uint64_t at, uint64_t bytes) {
#if defined(_WIN32)
  return file_pages_ == nullptr ||
         file_pages_->ReadIn(reinterpret_cast<char*>(base_) + at, bytes);
#else
  (void)at;
  (void)bytes;
  return true;
#endif
}

bool AddressSpace::ReadFailed(uint64_t at, uint64_t bytes) const {
#if defined(_WIN32)
  return file_pages_ != nullptr &&
         file_pages_->Failed(reinterpret_cast<const char*>(base_) + at, bytes);
#else
  (void)at;
  (void)bytes;
  return false;
#endif
}

bool AddressSpace::MapsFile(const char* path) const {
#if defined(_WIN32)
  return !mapped_.empty() && file_pages_->Reads(path);
#else
  struct stat status;
  return !mapped_.empty() && path != nullptr && stat(path, &status) == 0 &&
         status.st_dev == mapped_device_ && status.st_ino == mapped_inode_;
#endif
}

bool AddressSpace::Detach() {
#if defined(_WIN32)
  if (mapped_.empty()) return true;
  if (!file_pages_->ReadAll()) return false;
  mapped_.clear();
#else
  while (!mapped_.empty()) {
    const auto [at, bytes] = mapped_.back();
    char* place = reinterpret_cast<char*>(base_) + at;
    void* copy = FreshPages(nullptr, bytes);
    if (copy == nullptr) return false;
    std::memcpy(copy, place, bytes);
    if (mremap(copy, bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, place) ==
        MAP_FAILED) {
      munmap(copy, bytes);
      return false;
    }
    mapped_.pop_back();
  }
#endif
  return true;
}

}  // namespace qss::standins
