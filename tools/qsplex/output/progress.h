// The progress of a long copy, load or save, drawn on standard error
// while that is a terminal.
#ifndef QSSTORAGE_TOOLS_QSPLEX_OUTPUT_PROGRESS_H_
#define QSSTORAGE_TOOLS_QSPLEX_OUTPUT_PROGRESS_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace qsplex {

// Whether progress is shown at all (-q turns it off).
void SetQuiet(bool quiet);
// Ends the progress line on the terminal, if one is shown, so that a
// message starts on a line of its own.
void EndProgressLine();

// The progress of a copy, a load or a save, on standard error while that is
// a terminal, from about a second after the start. With `total_streams` 0
// it counts bytes alone; with `total_bytes` 0 too, bytes without a total.
class Progress {
 public:
  Progress(const char* verb, uint64_t total_bytes, size_t total_streams);
  ~Progress();
  void Created(const std::string& path, bool stream);
  void Wrote(uint64_t bytes) noexcept;
  // `done` of `total` bytes moved so far.
  void Reached(uint64_t done, uint64_t total) noexcept;
  // Ends the line shown, if any; the destructor does too.
  void Done() noexcept;
  uint64_t bytes() const { return bytes_; }
  // The element the copy created last: where a failure happened.
  const std::string& last_created() const { return last_created_; }
  // Where the first call on the destination's side failed (the destination
  // storage reports it); "" when none did, so that the copy failed reading.
  void Failed(const std::string& path) noexcept;
  const std::string& failed_at() const { return failed_at_; }

 private:
  void Show() noexcept;
  const char* verb_;
  uint64_t total_bytes_, bytes_ = 0;
  size_t total_streams_, streams_ = 0;
  bool terminal_;
  uint64_t started_ms_;
  int64_t shown_step_ = -1;
  std::string last_created_;
  std::string failed_at_;
};

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_OUTPUT_PROGRESS_H_
