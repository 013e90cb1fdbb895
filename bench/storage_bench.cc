// Element work as storages grow: the element list is walked linearly, so
// what matters is the cost per visited sibling and how it scales.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "bench/bench_support.h"
#include "bench/plex_setup.h"
#include "bench/workloads.h"
#include "qsstorage/qsstorage.h"
#include "standins/hierarchy_controls.h"

namespace qss_bench {
namespace {

// A fresh plex with its root and work storage, released at the end.
struct Fresh {
  Fresh() { work = FreshWorkStorage(&root); }
  ~Fresh() {
    if (work != nullptr) work->Release();
    if (root != nullptr) root->Release();
  }
  Fresh(const Fresh&) = delete;
  Fresh& operator=(const Fresh&) = delete;
  IStorage* root = nullptr;
  IStorage* work = nullptr;
};

// The work storage populated with `names`, made outside the timing; null,
// with the benchmark skipped, when that fails.
std::unique_ptr<Fresh> Populated(benchmark::State& state,
                                 const std::vector<Name>& names) {
  auto fresh = std::make_unique<Fresh>();
  if (fresh->work == nullptr || FAILED(CreateStreams(fresh->work, names))) {
    state.SkipWithError("setup failed");
    return nullptr;
  }
  return fresh;
}

void ElementCounts(benchmark::internal::Benchmark* b) {
  for (int n : {100, 300, 1000, 3000, 10000}) b->Arg(n);
  b->Unit(benchmark::kMicrosecond)->UseRealTime();
}

void BM_Create(benchmark::State& state) {
  const std::vector<Name> names =
      ElementNames(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    auto* fresh = new Fresh;
    state.ResumeTiming();
    const HRESULT hr =
        fresh->work == nullptr ? E_FAIL : CreateStreams(fresh->work, names);
    state.PauseTiming();
    delete fresh;
    state.ResumeTiming();
    if (Failed(state, hr, "create failed")) break;
  }
  ReportPerOp(state, static_cast<double>(names.size()));
}
BENCHMARK(BM_Create)->Apply(ElementCounts);

void BM_Open(benchmark::State& state) {
  const std::vector<Name> names =
      ElementNames(static_cast<int>(state.range(0)));
  const std::unique_ptr<Fresh> fresh = Populated(state, names);
  if (fresh == nullptr) return;
  for (auto _ : state) {
    int opened = 0;
    if (Failed(state, OpenStreams(fresh->work, names, 1, &opened),
               "open failed")) {
      break;
    }
  }
  ReportPerOp(state, static_cast<double>(names.size()));
}
BENCHMARK(BM_Open)->Apply(ElementCounts);

// A lookup that finds nothing visits every sibling: its time over the
// number of elements is the cost of one step of the element walk.
void BM_LookupMiss(benchmark::State& state) {
  const std::vector<Name> names =
      ElementNames(static_cast<int>(state.range(0)));
  const std::unique_ptr<Fresh> fresh = Populated(state, names);
  if (fresh == nullptr) return;
  for (auto _ : state) {
    if (Failed(state, MissStream(fresh->work), "lookup failed")) break;
  }
  state.counters["per_sibling"] =
      benchmark::Counter(static_cast<double>(names.size()),
                         benchmark::Counter::kIsIterationInvariantRate |
                             benchmark::Counter::kInvert);
}
BENCHMARK(BM_LookupMiss)->Apply(ElementCounts);

void BM_Enumerate(benchmark::State& state) {
  const std::vector<Name> names =
      ElementNames(static_cast<int>(state.range(0)));
  const std::unique_ptr<Fresh> fresh = Populated(state, names);
  if (fresh == nullptr) return;
  for (auto _ : state) {
    int seen = 0;
    const HRESULT hr = EnumerateAll(fresh->work, &seen);
    if (Failed(state, hr, "enumeration failed")) break;
    if (seen != static_cast<int>(names.size())) {
      state.SkipWithError("enumeration lost elements");
      break;
    }
  }
  ReportPerOp(state, static_cast<double>(names.size()));
}
BENCHMARK(BM_Enumerate)->Apply(ElementCounts);

void Destroy(benchmark::State& state, bool newest_first) {
  const std::vector<Name> names =
      ElementNames(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<Fresh> fresh = Populated(state, names);
    state.ResumeTiming();
    if (fresh == nullptr) break;
    const HRESULT hr = DestroyAll(fresh->work, names, newest_first);
    state.PauseTiming();
    fresh.reset();
    state.ResumeTiming();
    if (Failed(state, hr, "destroy failed")) break;
  }
  ReportPerOp(state, static_cast<double>(names.size()));
}
void BM_DestroyNewestFirst(benchmark::State& state) { Destroy(state, true); }
void BM_DestroyOldestFirst(benchmark::State& state) { Destroy(state, false); }
// Each iteration populates the storage outside the timing first, so the
// iterations are counted out rather than left to fill a minimum time.
[[maybe_unused]] const bool kDestroyRegistered = [] {
  for (int n : {100, 300, 1000, 3000, 10000}) {
    const int iterations = std::max(3, 30000 / n);
    benchmark::RegisterBenchmark("BM_DestroyNewestFirst", BM_DestroyNewestFirst)
        ->Arg(n)
        ->Iterations(iterations)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("BM_DestroyOldestFirst", BM_DestroyOldestFirst)
        ->Arg(n)
        ->Iterations(iterations)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
  }
  return true;
}();

constexpr int kTreeDepth = 3;
constexpr int kTreeFanout = 10;
constexpr int kTreeStreams = 10;
constexpr size_t kTreeStreamBytes = 1024;

void BM_TreeBuild(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto* fresh = new Fresh;
    state.ResumeTiming();
    int elements = 0;
    const HRESULT hr =
        fresh->work == nullptr
            ? E_FAIL
            : BuildTree(fresh->work, kTreeDepth, kTreeFanout, kTreeStreams,
                        kTreeStreamBytes, &elements);
    state.PauseTiming();
    delete fresh;
    state.ResumeTiming();
    if (Failed(state, hr, "build failed")) break;
  }
  ReportPerOp(state, TreeElements(kTreeDepth, kTreeFanout, kTreeStreams));
}
BENCHMARK(BM_TreeBuild)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TreeCopy(benchmark::State& state) {
  Fresh fresh;
  int elements = 0;
  const Name work = AsciiName("work");
  const Name copy = AsciiName("copy");
  if (fresh.work == nullptr ||
      FAILED(BuildTree(fresh.work, kTreeDepth, kTreeFanout, kTreeStreams,
                       kTreeStreamBytes, &elements))) {
    state.SkipWithError("setup failed");
    return;
  }
  for (auto _ : state) {
    const HRESULT hr = CopyStorage(fresh.root, work, copy);
    state.PauseTiming();
    const HRESULT destroyed = fresh.root->DestroyElement(copy.c_str());
    state.ResumeTiming();
    if (Failed(state, FAILED(hr) ? hr : destroyed, "copy failed")) break;
  }
  ReportPerOp(state, elements);
}
BENCHMARK(BM_TreeCopy)->Unit(benchmark::kMillisecond)->UseRealTime();

constexpr int kChainDepth = 10000;

void BM_ChainBuild(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto* fresh = new Fresh;
    state.ResumeTiming();
    const HRESULT hr =
        fresh->work == nullptr ? E_FAIL : BuildChain(fresh->work, kChainDepth);
    state.PauseTiming();
    delete fresh;
    state.ResumeTiming();
    if (Failed(state, hr, "build failed")) break;
  }
  ReportPerOp(state, kChainDepth);
}
BENCHMARK(BM_ChainBuild)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ChainOpen(benchmark::State& state) {
  Fresh fresh;
  if (fresh.work == nullptr || FAILED(BuildChain(fresh.work, kChainDepth))) {
    state.SkipWithError("setup failed");
    return;
  }
  for (auto _ : state) {
    if (Failed(state, OpenChain(fresh.work, kChainDepth), "open failed")) {
      break;
    }
  }
  ReportPerOp(state, kChainDepth);
}
BENCHMARK(BM_ChainOpen)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ChainCopy(benchmark::State& state) {
  Fresh fresh;
  const Name work = AsciiName("work");
  const Name copy = AsciiName("copy");
  if (fresh.work == nullptr || FAILED(BuildChain(fresh.work, kChainDepth))) {
    state.SkipWithError("setup failed");
    return;
  }
  for (auto _ : state) {
    const HRESULT hr = CopyStorage(fresh.root, work, copy);
    state.PauseTiming();
    const HRESULT destroyed = fresh.root->DestroyElement(copy.c_str());
    state.ResumeTiming();
    if (Failed(state, FAILED(hr) ? hr : destroyed, "copy failed")) break;
  }
  ReportPerOp(state, kChainDepth);
}
BENCHMARK(BM_ChainCopy)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ChainDestroy(benchmark::State& state) {
  const Name work = AsciiName("work");
  for (auto _ : state) {
    state.PauseTiming();
    auto* fresh = new Fresh;
    HRESULT hr =
        fresh->work == nullptr ? E_FAIL : BuildChain(fresh->work, kChainDepth);
    if (fresh->work != nullptr) {
      fresh->work->Release();
      fresh->work = nullptr;
    }
    state.ResumeTiming();
    if (SUCCEEDED(hr)) hr = fresh->root->DestroyElement(work.c_str());
    state.PauseTiming();
    delete fresh;
    state.ResumeTiming();
    if (Failed(state, hr, "destroy failed")) break;
  }
  ReportPerOp(state, kChainDepth);
}
BENCHMARK(BM_ChainDestroy)->Unit(benchmark::kMillisecond)->UseRealTime();

constexpr int kBlockDepth = 20;

// A hierarchy of kBlockDepth nested host blocks; returns the deepest.
int NestedBlocks() {
  int block = 0;
  for (int i = 0; i < kBlockDepth; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "block%02d", i);
    block = QssHier_AddBlock(block, name);
  }
  return block;
}

// The first call creates the storages of every level.
void BM_ObjectStorageFirst(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    ResetPlex();
    const int block = NestedBlocks();
    state.ResumeTiming();
    IStorage* storage = nullptr;
    const int result = GetObjectStorage(block, -1, &storage);
    if (storage != nullptr) storage->Release();
    if (result != 0) {
      state.SkipWithError("GetObjectStorage failed");
      break;
    }
  }
  ReportPerOp(state, 1);
}
BENCHMARK(BM_ObjectStorageFirst)->UseRealTime();

// Later calls open them.
void BM_ObjectStorageAgain(benchmark::State& state) {
  ResetPlex();
  const int block = NestedBlocks();
  for (auto _ : state) {
    IStorage* storage = nullptr;
    const int result = GetObjectStorage(block, -1, &storage);
    if (storage != nullptr) storage->Release();
    if (result != 0) {
      state.SkipWithError("GetObjectStorage failed");
      break;
    }
  }
  ReportPerOp(state, 1);
}
BENCHMARK(BM_ObjectStorageAgain)->UseRealTime();

}  // namespace
}  // namespace qss_bench
