// Stream bytes beside memcpy of the same bytes: the limit a stream in memory
// can reach.
#include <sys/mman.h>

#include <cstring>
#include <vector>

#include "bench/bench_support.h"
#include "bench/plex_setup.h"
#include "bench/workloads.h"

namespace qss_bench {
namespace {

constexpr size_t kMiB = size_t{1} << 20;
constexpr size_t kPiece = 4096;

const std::vector<char>& Pattern() {
  static const std::vector<char> bytes = [] {
    std::vector<char> b(64 * kMiB);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>(i * 131);
    return b;
  }();
  return bytes;
}

// A stream of this library in a fresh plex, with its storages.
struct FreshStream {
  FreshStream() {
    work = FreshWorkStorage(&root);
    if (work != nullptr) {
      work->CreateStream(ElementName(0).c_str(), kChildMode, 0, 0, &stream);
    }
  }
  ~FreshStream() {
    if (stream != nullptr) stream->Release();
    if (work != nullptr) work->Release();
    if (root != nullptr) root->Release();
  }
  IStorage* root = nullptr;
  IStorage* work = nullptr;
  IStream* stream = nullptr;
};

void BM_StreamWrite(benchmark::State& state) {
  const size_t total = static_cast<size_t>(state.range(0));
  const char* source = Pattern().data();
  for (auto _ : state) {
    state.PauseTiming();
    auto* fresh = new FreshStream;
    state.ResumeTiming();
    const HRESULT hr = fresh->stream == nullptr
                           ? E_FAIL
                           : WritePieces(fresh->stream, source, total, kPiece);
    state.PauseTiming();
    delete fresh;
    state.ResumeTiming();
    if (Failed(state, hr, "write failed")) break;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
}
BENCHMARK(BM_StreamWrite)
    ->Arg(4 * kMiB)
    ->Arg(64 * kMiB)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_StreamRead(benchmark::State& state) {
  const size_t total = static_cast<size_t>(state.range(0));
  FreshStream fresh;
  std::vector<char> into(total, 1);
  if (fresh.stream == nullptr ||
      FAILED(WritePieces(fresh.stream, Pattern().data(), total, kPiece))) {
    state.SkipWithError("setup failed");
    return;
  }
  for (auto _ : state) {
    HRESULT hr = Rewind(fresh.stream);
    if (SUCCEEDED(hr))
      hr = ReadPieces(fresh.stream, into.data(), total, kPiece);
    if (Failed(state, hr, "read failed")) break;
    benchmark::DoNotOptimize(into.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
}
BENCHMARK(BM_StreamRead)
    ->Arg(64 * kMiB)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void CopyPieces(char* into, const char* from, size_t total) {
  for (size_t done = 0; done < total; done += kPiece) {
    std::memcpy(into + done, from + done, kPiece);
  }
  benchmark::ClobberMemory();
}

// Into pages the process has never touched, as a growing stream's are.
void BM_MemcpyFresh(benchmark::State& state) {
  const size_t total = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    void* fresh = mmap(nullptr, total, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    state.ResumeTiming();
    if (fresh == MAP_FAILED) {
      state.SkipWithError("mmap failed");
      break;
    }
    CopyPieces(static_cast<char*>(fresh), Pattern().data(), total);
    state.PauseTiming();
    munmap(fresh, total);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
}
BENCHMARK(BM_MemcpyFresh)
    ->Arg(4 * kMiB)
    ->Arg(64 * kMiB)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_MemcpyWarm(benchmark::State& state) {
  const size_t total = static_cast<size_t>(state.range(0));
  std::vector<char> into(total, 1);
  for (auto _ : state) CopyPieces(into.data(), Pattern().data(), total);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
}
BENCHMARK(BM_MemcpyWarm)
    ->Arg(64 * kMiB)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// 16-byte appends to one stream until it holds `range(0)` bytes: the cost
// per append stays flat from 1 MiB to 64 MiB when growth is amortised.
void BM_Append16(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0) / 16);
  const char piece[16] = "sixteen bytes..";
  for (auto _ : state) {
    state.PauseTiming();
    auto* fresh = new FreshStream;
    state.ResumeTiming();
    const HRESULT hr = fresh->stream == nullptr
                           ? E_FAIL
                           : Append(fresh->stream, piece, 16, count);
    state.PauseTiming();
    delete fresh;
    state.ResumeTiming();
    if (Failed(state, hr, "append failed")) break;
  }
  ReportPerOp(state, count);
}
BENCHMARK(BM_Append16)
    ->Arg(200000 * 16)
    ->Arg(1 * kMiB)
    ->Arg(8 * kMiB)
    ->Arg(64 * kMiB)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace qss_bench
