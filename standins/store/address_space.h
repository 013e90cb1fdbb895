// The plex's address range: reserved once, its pages made usable on
// demand, and large blocks mapped from an image file.
#ifndef QSSTORAGE_STANDINS_STORE_ADDRESS_SPACE_H_
#define QSSTORAGE_STANDINS_STORE_ADDRESS_SPACE_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

namespace qss::standins {

class FilePages;

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;
constexpr uint64_t kGiB = 1024 * kMiB;
constexpr uint64_t kReservationGranule = 64 * kKiB;

// A reserved address range whose pages become usable on demand.
class AddressSpace {
 public:
  AddressSpace();
  AddressSpace(const AddressSpace&) = delete;
  AddressSpace& operator=(const AddressSpace&) = delete;
  ~AddressSpace();

  // Reserves `bytes`, halving down to 16 MiB if the system refuses; returns
  // false if nothing could be reserved.
  bool Reserve(uint64_t bytes);
  // Reserves the largest range the system gives, at most `bytes`.
  bool ReserveLargest(uint64_t bytes);
  void Release();
  // Makes the first `bytes` bytes readable and writable.
  bool Commit(uint64_t bytes);
  // Hands the pages back to the system, mapped ones included; the range
  // reads zero again and committed-on-demand state restarts.
  void Discard();

  // The granularity of MapFile.
  static uint64_t PageBytes();
  // Maps `bytes` of `file` from `file_offset` copy-on-write onto the range
  // from byte `at` (all three multiples of PageBytes): the pages read what
  // the file holds there, and writes to them stay in this process. The file
  // must not shrink below them or change there while they are mapped. False
  // when the system refuses, with the range as it was. On Windows the range
  // must be committed; its pages read the file when first touched.
  bool MapFile(uint64_t at, std::FILE* file, uint64_t file_offset,
               uint64_t bytes);
  bool maps_files() const { return !mapped_.empty(); }
  // Whether any page of `bytes` from `at`, which MapFile mapped, may have
  // been written since: a written page of a copy-on-write mapping is no
  // longer the file's (/proc/self/pagemap tells; on Windows, the pages
  // written fault first). True wherever that cannot be told.
  bool PagesWritten(uint64_t at, uint64_t bytes) const;
  // Reads the mapped pages of `bytes` from `at` in before they are read
  // (on Windows, where a fault for each piece costs; natively nothing).
  // False when the memory cannot be had.
  bool ReadIn(uint64_t at, uint64_t bytes);
  // Whether the file failed to give mapped bytes near `bytes` from `at`,
  // which then read zero (Windows; natively such a read ends the process).
  bool ReadFailed(uint64_t at, uint64_t bytes) const;
  // Whether pages are mapped from the file `path` names.
  bool MapsFile(const char* path) const;
  // Gives the mapped pages memory of their own, holding what they hold now,
  // so that the file may change. False, errno set, when the memory (or on
  // Windows the file's bytes) cannot be had.
  bool Detach();

  int32_t* base() const { return base_; }
  uint64_t bytes() const { return bytes_; }

 private:
  int32_t* base_ = nullptr;
  uint64_t bytes_ = 0;
  uint64_t committed_ = 0;
  // Ranges mapped from a file, as (start, bytes), and which file that is.
  std::vector<std::pair<uint64_t, uint64_t>> mapped_;
#if defined(_WIN32)
  std::unique_ptr<FilePages> file_pages_;
#else
  uint64_t mapped_device_ = 0;
  uint64_t mapped_inode_ = 0;
#endif
};
}  // namespace qss::standins

#endif  // QSSTORAGE_STANDINS_STORE_ADDRESS_SPACE_H_
