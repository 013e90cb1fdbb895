// Seeded random operation sequences through the shipped library, checked
// operation by operation against the reference model, and the inputs kept
// in fuzz/regressions. A failing seed is shrunk; the report names the seed,
// the shortest failing sequence, and a file holding it for
// fuzz/regressions. QSS_SEQUENCES (how many), QSS_FIRST_SEED and QSS_SEED
// (one seed alone) steer the run; QSS_CORPUS_DIR writes the sequences run
// there as fuzz inputs.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

#include "reliability/driver.h"
#include "reliability/ops.h"

namespace qss_reliability {
namespace {

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text == nullptr ? fallback : std::strtoull(text, nullptr, 10);
}

// Sequences of 30 to 200 operations.
int OpsFor(uint32_t seed) { return 30 + static_cast<int>(seed % 171); }

// Written before each sequence, so that a crash still names its seed (for
// UBSan reports when UBSAN_OPTIONS has abort_on_error=1, which ends the run
// with a signal).
volatile uint32_t current_seed = 0;
char crash_note[128];

void NoteCrash() {
  std::snprintf(
      crash_note, sizeof crash_note,
      "reliability: crashed in seed %u; rerun alone with QSS_SEED=%u\n",
      static_cast<unsigned>(current_seed), static_cast<unsigned>(current_seed));
  std::fputs(crash_note, stderr);
}

void OnSignal(int signal) {
  NoteCrash();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

TEST(RandomSequences, AgreeWithTheModel) {
  std::signal(SIGSEGV, OnSignal);
  std::signal(SIGABRT, OnSignal);
#if defined(__SANITIZE_ADDRESS__)
  __sanitizer_set_death_callback(NoteCrash);
#endif
  uint32_t first = static_cast<uint32_t>(EnvNumber("QSS_FIRST_SEED", 1));
  uint32_t count = static_cast<uint32_t>(EnvNumber("QSS_SEQUENCES", 100));
  if (std::getenv("QSS_SEED") != nullptr) {
    first = static_cast<uint32_t>(EnvNumber("QSS_SEED", 1));
    count = 1;
  }
  const char* corpus = std::getenv("QSS_CORPUS_DIR");
  const RunOptions options;
  const auto start = std::chrono::steady_clock::now();
  uint64_t operations = 0;
  int failures = 0;
  RunResult totals;
  for (uint32_t seed = first; seed - first < count; ++seed) {
    current_seed = seed;
    const Sequence sequence = GenerateSequence(seed, OpsFor(seed));
    if (corpus != nullptr) {
      WriteFile(std::string(corpus) + "/seed-" + std::to_string(seed),
                EncodeSequence(sequence));
    }
    const RunResult result = RunSequence(sequence, options);
    operations += result.ops_run;
    for (size_t k = 0; k < totals.ran.size(); ++k) {
      totals.ran[k] += result.ran[k];
      totals.succeeded[k] += result.succeeded[k];
    }
    if (result.ok) continue;
    // Shrinking reruns the sequence many times; the first failures are
    // worth it.
    if (++failures > 3) {
      ADD_FAILURE() << "seed " << seed << ": " << result.message;
      continue;
    }
    const Sequence shortest = Shrink(sequence, options, result, 600);
    const RunResult again = RunSequence(shortest, options);
    const std::string file =
        "reliability-seed-" + std::to_string(seed) + ".bin";
    WriteFile(file, EncodeSequence(shortest));
    ADD_FAILURE() << "seed " << seed << " (rerun alone with QSS_SEED=" << seed
                  << "): " << result.message << "\nshrunk to "
                  << shortest.ops.size() << " operations, written to " << file
                  << " for fuzz/regressions:\n"
                  << Describe(shortest) << (again.ok ? "" : again.message);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  std::printf("reliability: %u sequences, %llu operations, %.1f s\n", count,
              static_cast<unsigned long long>(operations), seconds);
  if (std::getenv("QSS_TALLY") != nullptr) {
    for (size_t k = 0; k < totals.ran.size(); ++k) {
      std::printf("  %-18s %8zu run, %8zu succeeded\n",
                  KindName(static_cast<OpKind>(k)), totals.ran[k],
                  totals.succeeded[k]);
    }
  }
}

// Inputs that once failed, from the fuzzer or from a seed, kept as files.
TEST(FuzzRegressions, StillAgreeWithTheModel) {
  const std::filesystem::path directory(QSS_FUZZ_REGRESSIONS);
  if (!std::filesystem::is_directory(directory)) GTEST_SKIP();
  int inputs = 0;
  for (const auto& item : std::filesystem::directory_iterator(directory)) {
    if (!item.is_regular_file()) continue;
    std::ifstream file(item.path(), std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
    const Sequence sequence = DecodeSequence(bytes.data(), bytes.size());
    const RunResult result = RunSequence(sequence, RunOptions());
    EXPECT_TRUE(result.ok) << item.path().filename().string() << ": "
                           << result.message << "\n"
                           << Describe(sequence);
    ++inputs;
  }
  std::printf("reliability: %d regression inputs\n", inputs);
}

}  // namespace
}  // namespace qss_reliability
