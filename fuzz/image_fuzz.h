// What the two image-file fuzz targets share (image_load_fuzzer.cc,
// image_salvage_fuzzer.cc), and what their regression test runs.
//
// An input is an image file's bytes followed by one control byte. Unless
// the control byte says otherwise, every checksum a fuzzer cannot forge is
// computed afresh over the mutated bytes (Reseal), so that mutations reach
// the code behind the checks. Each target answers "" when every promise it
// checks holds, otherwise what broke; the fuzzer then aborts, so that
// libFuzzer keeps the input.
#ifndef QSSTORAGE_FUZZ_IMAGE_FUZZ_H_
#define QSSTORAGE_FUZZ_IMAGE_FUZZ_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "check/tree_check.h"

namespace qss_fuzz {

// The control byte's bits. Each of the first four leaves one kind of
// checksum as the input has it.
enum Control : uint8_t {
  kKeepHeaders = 1,   // header slots and base slot; the second format's
                      // header; the first format's one checksum
  kKeepHeads = 2,     // the heads of changes made in place
  kKeepTables = 4,    // the block tables' checksums
  kKeepBlocks = 8,    // the blocks' checksums
  kUnmapped = 16,     // load without mapping large blocks
  kOverBlocks = 32,   // load into a plex already holding a block of its own
};

struct FuzzInput {
  std::vector<uint8_t> image;
  uint8_t control = 0;
};

// The image and the control byte, with the image resealed as the control
// byte says.
FuzzInput Prepare(const uint8_t* data, size_t size);

// Computes afresh the checksums of the image's formats that `control` does
// not keep: of the current format, the blocks' in every table the header,
// base and heads' slots name, those tables' in the slots, then the slots';
// of the second format the blocks', the table's and the header's; of the
// first its one checksum. Bytes the file does not hold stay as they are.
void Reseal(uint8_t control, std::vector<uint8_t>* image);

// A file of this process under the system's temporary folder, removed when
// the process ends: "in" and "out" name the target's two files.
std::string ScratchPath(const char* name);
bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

// A plex of 64 MiB, fresh (QssPlex_Reset), mapping large blocks of loaded
// images unless the control byte says otherwise; with kOverBlocks it holds
// one more block, of its own words.
void FreshPlex(uint8_t control);

// What a salvaging load reported.
struct DamageLog {
  std::map<int, int> blocks;  // block id to QSS_PLEX_BLOCK_CHECKSUM or _CUT
  uint64_t changes_lost = 0;
  bool header_damaged = false;
  int reports = 0;
};
// QssPlex_LoadSalvage of `path`, its reports in `*log`.
int LoadSalvage(const std::string& path, DamageLog* log);

// Every live block with its words.
struct PlexBlock {
  int id;
  std::vector<int32_t> words;
  bool operator==(const PlexBlock& other) const {
    return id == other.id && words == other.words;
  }
};
using PlexSnapshot = std::vector<PlexBlock>;
PlexSnapshot Snapshot();
// "" when equal, otherwise the first difference.
std::string Difference(const PlexSnapshot& before, const PlexSnapshot& after);

std::vector<qss::AllocatedBlock> Blocks();
// Whether blocks 1 and 2 are as qsplex needs them to open an image.
bool HoldsHostBlocks();
// The root storage's block as the anchor holds it; only with host blocks.
int AnchoredRoot();
std::string Describe(const std::vector<qss::TreeFinding>& findings);
// The checker's findings on the plex, poisoned outside its live blocks.
std::vector<qss::TreeFinding> CheckPoisoned();
// Saves the plex to `out`, loads it into a fresh plex (see FreshPlex) and
// compares the blocks with `expected`: "" when they are the same.
std::string SaveAndReload(const std::string& out, uint8_t control,
                          const PlexSnapshot& expected);

// While it lives, every word of the plex from its start to a MiB past the
// end of its highest live block, but the live blocks' own, is poisoned for
// AddressSanitizer: a read past a block's end stops the run. Nothing may
// allocate, resize or free a block, nor load or save, while it lives.
// Without AddressSanitizer it does nothing.
class PoisonOutsideBlocks {
 public:
  PoisonOutsideBlocks();
  ~PoisonOutsideBlocks();
  PoisonOutsideBlocks(const PoisonOutsideBlocks&) = delete;
  PoisonOutsideBlocks& operator=(const PoisonOutsideBlocks&) = delete;

 private:
  char* start_ = nullptr;
  size_t bytes_ = 0;
};

// Whether this build has AddressSanitizer, which the poisoning needs.
bool HasAddressSanitizer();
// Whether the poisoning marks the word past a block's end and leaves the
// block's own words readable, on a fresh plex; false without
// AddressSanitizer.
bool PoisonWorks();
// Reads the word just past block 2's end (64 words) in a fresh plex under
// the poisoning: with AddressSanitizer this never returns.
int ReadPastBlockEnd();

// The tree walked through the library, with the plex poisoned outside its
// live blocks: every element enumerated, stated and opened, every stream
// read whole, one line each in `text`.
struct Walk {
  std::string text;
  size_t elements = 0;  // enumerated, the root not counted
  uint64_t bytes = 0;   // read from the streams
  std::string problem;  // the first stream that reads other than its size
};
Walk WalkTree();

// The oracles: "" when every promise holds, otherwise what broke.
std::string CheckPlainLoad(const uint8_t* data, size_t size);
std::string CheckSalvage(const uint8_t* data, size_t size);

// libFuzzer's entry points over one of the oracles; the regression test
// builds the targets without them.
#if defined(QSS_IMAGE_FUZZ_TESTS)
#define QSS_IMAGE_FUZZ_TARGET(check)
#else
void InitializeTarget();
void Report(const std::string& failure);
#define QSS_IMAGE_FUZZ_TARGET(check)                                      \
  extern "C" int LLVMFuzzerInitialize(int*, char***) {                    \
    qss_fuzz::InitializeTarget();                                         \
    return 0;                                                             \
  }                                                                       \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    qss_fuzz::Report(check(data, size));                                  \
    return 0;                                                             \
  }
#endif

}  // namespace qss_fuzz

#endif  // QSSTORAGE_FUZZ_IMAGE_FUZZ_H_
