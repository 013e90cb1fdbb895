#include "tools/qsplex/output/progress.h"

#include <chrono>
#include <cstdio>
#include <new>

#include "tools/qsplex/os/system.h"

namespace qsplex {
namespace {

bool g_quiet = false;
Progress* g_showing = nullptr;  // the progress whose line is on screen

constexpr uint64_t kQuietMilliseconds = 1000;

uint64_t NowMilliseconds() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

}  // namespace

void SetQuiet(bool quiet) { g_quiet = quiet; }

void EndProgressLine() {
  if (g_showing != nullptr) g_showing->Done();
}

Progress::Progress(const char* verb, uint64_t total_bytes, size_t total_streams)
    : verb_(verb),
      total_bytes_(total_bytes),
      total_streams_(total_streams),
      terminal_(!g_quiet && IsTerminal(stderr)),
      started_ms_(terminal_ ? NowMilliseconds() : 0) {}

Progress::~Progress() { Done(); }

void Progress::Done() noexcept {
  if (shown_step_ >= 0) std::fputc('\n', stderr);
  if (g_showing == this) g_showing = nullptr;
  terminal_ = false;
  shown_step_ = -1;
}

void Progress::Created(const std::string& path, bool stream) {
  last_created_ = path;
  if (stream) ++streams_;
  Show();
}

void Progress::Failed(const std::string& path) noexcept {
  if (!failed_at_.empty()) return;
  try {
    failed_at_ = path;
  } catch (const std::bad_alloc&) {
    // Unnamed, the failure is still told by its code.
  }
}

void Progress::Wrote(uint64_t bytes) noexcept {
  bytes_ += bytes;
  Show();
}

void Progress::Reached(uint64_t done, uint64_t total) noexcept {
  bytes_ = done;
  total_bytes_ = total;
  Show();
}

void Progress::Show() noexcept {
  if (!terminal_) return;
  // A percent step, or without a total a MiB step, is drawn once.
  constexpr uint64_t kMebibyte = 1024 * 1024;
  const int64_t step = total_bytes_ == 0
                           ? static_cast<int64_t>(bytes_ / kMebibyte)
                           : static_cast<int64_t>(bytes_ * 100 / total_bytes_);
  if (step == shown_step_) return;
  if (shown_step_ < 0 && NowMilliseconds() - started_ms_ < kQuietMilliseconds) {
    return;
  }
  shown_step_ = step;
  g_showing = this;
  const unsigned long long done_mib = bytes_ / kMebibyte;
  const unsigned long long total_mib =
      (total_bytes_ + kMebibyte - 1) / kMebibyte;
  char line[160];
  if (total_streams_ > 0) {
    std::snprintf(line, sizeof line,
                  "\r%s: %zu of %zu streams, %llu of %llu MiB (%d%%)", verb_,
                  streams_, total_streams_, done_mib, total_mib,
                  static_cast<int>(step));
  } else if (total_bytes_ > 0) {
    std::snprintf(line, sizeof line, "\r%s: %llu of %llu MiB (%d%%)", verb_,
                  done_mib, total_mib, static_cast<int>(step));
  } else {
    std::snprintf(line, sizeof line, "\r%s: %llu MiB", verb_, done_mib);
  }
  std::fputs(line, stderr);
  std::fflush(stderr);
}

}  // namespace qsplex
