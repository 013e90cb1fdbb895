// Shared by the native benchmarks: per-operation counters and the common
// way a benchmark gives up on a failed operation.
#ifndef QSSTORAGE_BENCH_BENCH_SUPPORT_H_
#define QSSTORAGE_BENCH_BENCH_SUPPORT_H_

#include <benchmark/benchmark.h>

#include "platform/com.h"

namespace qss_bench {

// Reports "per_op", the wall time of one of the `ops` operations that each
// iteration makes, and items_per_second.
inline void ReportPerOp(benchmark::State& state, double ops) {
  state.counters["per_op"] =
      benchmark::Counter(ops, benchmark::Counter::kIsIterationInvariantRate |
                                  benchmark::Counter::kInvert);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * ops));
}

// True, after marking the benchmark failed, when `hr` is a failure.
inline bool Failed(benchmark::State& state, HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) return false;
  state.SkipWithError(what);
  return true;
}

}  // namespace qss_bench

#endif  // QSSTORAGE_BENCH_BENCH_SUPPORT_H_
