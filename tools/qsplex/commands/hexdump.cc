// hexdump: a stream's bytes as offset, hex and text, as `hexdump -C` shows
// them.
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/os/system.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/records/stream_data.h"
#include "tools/qsplex/tree/lookup.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {
namespace {

constexpr size_t kLineBytes = 16;

// A whole number in decimal or, after "0x", in hex; false when `text` is
// not one.
bool ParseCount(const std::string& text, uint64_t* value) {
  const bool hex =
      text.size() > 2 && (text[1] == 'x' || text[1] == 'X') && text[0] == '0';
  const std::string digits = hex ? text.substr(2) : text;
  const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
  if (digits.empty() || digits.size() > (hex ? 16u : 19u) ||
      digits.find_first_not_of(allowed) != std::string::npos) {
    return false;
  }
  *value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
  return true;
}

// Prints one line of up to 16 bytes at `offset`.
void PrintLine(uint64_t offset, const unsigned char* bytes, size_t count) {
  char line[96];
  int at = std::snprintf(line, sizeof line, "%08" PRIx64 " ", offset);
  for (size_t i = 0; i < kLineBytes; ++i) {
    if (i % 8 == 0) line[at++] = ' ';
    if (i < count) {
      at += std::snprintf(line + at, sizeof line - at, "%02x ", bytes[i]);
    } else {
      std::memcpy(line + at, "   ", 3);
      at += 3;
    }
  }
  line[at++] = ' ';
  line[at++] = '|';
  for (size_t i = 0; i < count; ++i) {
    line[at++] = bytes[i] >= 0x20 && bytes[i] < 0x7F ? bytes[i] : '.';
  }
  line[at++] = '|';
  line[at] = 0;
  std::printf("%s\n", line);
}

// Prints the lines of a stream read from `offset`, a line the same as the
// one before shown as "*" unless -v. Keeps what a line needs across reads.
class Dumper {
 public:
  Dumper(uint64_t offset, bool all) : offset_(offset), all_(all) {}
  void Add(const unsigned char* bytes, size_t count) {
    while (count > 0) {
      const size_t take = std::min(count, kLineBytes - filled_);
      std::memcpy(line_ + filled_, bytes, take);
      filled_ += take;
      bytes += take;
      count -= take;
      if (filled_ == kLineBytes) Flush();
    }
  }
  // Prints the last, short line and the offset after the last byte.
  void Finish() {
    if (filled_ > 0) Flush();
    if (printed_) std::printf("%08" PRIx64 "\n", offset_);
  }

 private:
  void Flush() {
    const bool repeated = printed_ && filled_ == kLineBytes &&
                          std::memcmp(line_, previous_, kLineBytes) == 0;
    if (repeated && !all_) {
      if (!starred_) std::printf("*\n");
      starred_ = true;
    } else {
      PrintLine(offset_, line_, filled_);
      starred_ = false;
    }
    std::memcpy(previous_, line_, kLineBytes);
    printed_ = true;
    offset_ += filled_;
    filled_ = 0;
  }
  uint64_t offset_;
  bool all_;
  unsigned char line_[kLineBytes] = {};
  unsigned char previous_[kLineBytes] = {};
  size_t filled_ = 0;
  bool printed_ = false;
  bool starred_ = false;
};

}  // namespace

int RunHexdump(const Context& c) {
  uint64_t offset = 0;
  uint64_t length = UINT64_MAX;
  for (const auto& option : c.values) {
    uint64_t* value = option.first == "offset" ? &offset : &length;
    if (!ParseCount(option.second, value)) {
      c.Fail("--" + option.first,
             "takes a whole number of bytes (decimal, or hex after 0x), not '" +
                 option.second + "'");
      return kExitUsage;
    }
  }
  Element e;
  if (!OpenReadableStream(c, c.args[0], &e)) return kExitFailure;
  Ref<IStream> stream;
  HRESULT hr = e.parent->OpenStream(e.name(), nullptr, kRead, 0, stream.Out());
  if (FAILED(hr)) return c.Fail(e.path(), hr);
  if (offset >= e.size) return 0;
  LARGE_INTEGER move;
  move.QuadPart = static_cast<decltype(move.QuadPart)>(offset);
  hr = stream->Seek(move, STREAM_SEEK_SET, nullptr);
  if (FAILED(hr)) return c.Fail(e.path(), hr);
  SetActivity("printing the stream");
  Dumper dumper(offset, c.Has('v'));
  std::vector<unsigned char> chunk(kChunkBytes);
  while (length > 0) {
    ULONG got = 0;
    const ULONG want =
        static_cast<ULONG>(std::min<uint64_t>(chunk.size(), length));
    hr = stream->Read(chunk.data(), want, &got);
    if (FAILED(hr)) return c.Fail(e.path(), hr);
    if (got == 0) break;
    dumper.Add(chunk.data(), got);
    length -= got;
  }
  dumper.Finish();
  return std::fflush(stdout) == 0 ? 0
                                  : c.Fail("standard output", SystemReason());
}

const Command kHexdumpCommand = {
    "hexdump",
    "[-v] IMAGE PATH [--offset N] [--length N]",
    {Flag('v'), ValueOption("offset"), ValueOption("length")},
    1,
    1,
    Access::kRead,
    "show a stream's bytes in hex",
    "Shows the bytes of the stream at PATH as 'hexdump -C' does: the\n"
    "offset, 16 bytes in hex and the same as text ('.' for bytes that\n"
    "are not printable ASCII), and the offset after the last byte. Lines\n"
    "the same as the one before show as one '*'.\n"
    "  --offset N  start at byte N (decimal, or hex after 0x)\n"
    "  --length N  show at most N bytes\n"
    "  -v          show every line, also repeated ones\n",
    "qsplex hexdump t.img /docs/a.txt\n"
    "qsplex hexdump t.img /docs/a.txt --offset 0x100 --length 64",
    RunHexdump,
    {"hd", "xxd", "od"}};

}  // namespace qsplex
