// Pages of the plex that read an image file's bytes when first touched:
// the Win32 build's copy-on-write file mapping. A view of a file cannot be
// placed inside a range already reserved there, so the range's pages are
// released instead, and the first access to one faults: a process-wide
// exception handler commits the piece around it, reads the file's bytes
// into it and lets the access go on. Pieces read stay read-only until
// written, so that a change can tell which blocks are still the file's.
#ifndef QSSTORAGE_STANDINS_STORE_FILE_PAGES_H_
#define QSSTORAGE_STANDINS_STORE_FILE_PAGES_H_

#if defined(_WIN32)

#include <windows.h>

#include <cstdint>
#include <vector>

namespace qss::standins {

class FilePages {
 public:
  FilePages() = default;
  FilePages(const FilePages&) = delete;
  FilePages& operator=(const FilePages&) = delete;
  ~FilePages() { Forget(); }

  // Releases the committed pages of `bytes` from `at` (both multiples of
  // the page size) and has them read `file` from `offset` when touched.
  // The ranges of one FilePages read one file; false for another, or when
  // the system refuses, with the pages as they were.
  bool Add(char* at, uint64_t bytes, HANDLE file, uint64_t offset);
  // Whether any page of `bytes` from `at` may have been written since Add,
  // or could not be read; true outside the ranges.
  bool Written(const char* at, uint64_t bytes) const;
  // Reads the pieces of `bytes` from `at` not read yet, as touching them
  // would, without a fault for each; false without memory for them.
  bool ReadIn(const char* at, uint64_t bytes);
  // Whether the file failed to give bytes of a range overlapping `bytes`
  // from `at`: those read zero, and do until the ranges are forgotten.
  bool Failed(const char* at, uint64_t bytes) const;
  // Reads every piece not read yet and makes all of them writable, then
  // forgets the ranges, so that the file may change. False when memory or
  // the file fails, with the ranges kept.
  bool ReadAll();
  // Forgets the ranges and closes the file; their pages stay as they are.
  void Forget();
  bool empty() const { return ranges_.empty(); }
  // Whether the ranges read the file `path` names.
  bool Reads(const char* path) const;

 private:
  enum PieceState : uint8_t { kUnread, kRead, kWritten };
  struct Range {
    char* start;
    uint64_t bytes;
    uint64_t offset;              // in the file
    std::vector<uint8_t> pieces;  // PieceState
    bool failed = false;          // the file failed to give bytes of it
  };

  static LONG CALLBACK OnAccessViolation(EXCEPTION_POINTERS* info);
  // Serves a fault at `address`; false when it is not one of ours.
  bool Resolve(char* address, bool write);
  // Commits `count` pieces of `range` from piece `k` and reads the file's
  // bytes into them.
  bool Fill(Range* range, size_t k, size_t count);

  std::vector<Range> ranges_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

}  // namespace qss::standins

#endif  // _WIN32
#endif  // QSSTORAGE_STANDINS_STORE_FILE_PAGES_H_
