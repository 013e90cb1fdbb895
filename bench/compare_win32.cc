// Side-by-side timing on Windows (or under Wine): the same workloads through
// the standard interfaces against this library's DLL and against the
// system's own compound files, on memory (an ILockBytes over an HGLOBAL)
// and on disk, with memcpy as the limit for moving bytes.
//
//   qss_compare [--quick] [--reps N] [--json FILE] [--only PREFIX]
//
// Within each repetition every implementation takes its turn at a workload
// before the next workload starts, the first turn rotating, so a busy spell
// of the machine falls on all of them alike. The report gives medians and
// the ratios of the medians: `speedup` is the implementation's median over
// this library's, so above 1 this library is faster, and for memcpy it is
// the fraction of memcpy's speed this library reaches. Each figure is also
// printed as one JSON line (and written to FILE). The exit code is non-zero
// when any workload failed on this library.
#include <objbase.h>
#include <objidl.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/plex_setup.h"
#include "bench/workloads.h"
#include "qsstorage/qsstorage.h"
#include "standins/hierarchy_controls.h"

namespace qss_bench {
namespace {

constexpr size_t kMiB = size_t{1} << 20;
constexpr size_t kPiece = 4096;
constexpr DWORD kRootMode =
    STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_DIRECT;

enum Impl { kQss, kDocfileMemory, kDocfileDisk, kMemcpy };
const char* const kImplNames[] = {"qss", "docfile-mem", "docfile-disk",
                                  "memcpy"};
const std::vector<Impl> kStorages = {kQss, kDocfileMemory, kDocfileDisk};

struct Profile {
  const char* name;
  int reps;
  std::vector<size_t> write_bytes;
  size_t read_bytes;
  int appends;
  std::vector<int> counts;
  int tree_depth;
  int chain_depth;
  int deep_calls;
  int misses;
  int disk_elements;  // largest element count run on the disk file
};

// The quick profile checks that every workload runs on every implementation
// in a few seconds; its figures are too small to quote.
const Profile kQuick = {
    "quick", 3, {kMiB}, kMiB, 20000, {100, 300}, 2, 300, 100, 100, 300,
};
const Profile kFull = {
    "full",    5,      {4 * kMiB, 64 * kMiB},
    64 * kMiB, 200000, {100, 300, 1000, 3000, 10000},
    3,         10000,  2000,
    200,       3000,
};

constexpr int kTreeFanout = 10;
constexpr int kTreeStreams = 10;
constexpr size_t kTreeStreamBytes = 1024;
constexpr int kBlockDepth = 20;

class Timer {
 public:
  void Start() { QueryPerformanceCounter(&start_); }
  void Stop() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    ticks_ += now.QuadPart - start_.QuadPart;
  }
  double Seconds() const {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks_) / frequency.QuadPart;
  }

 private:
  LARGE_INTEGER start_ = {};
  LONGLONG ticks_ = 0;
};

const std::vector<char>& Pattern(size_t bytes) {
  static std::vector<char> pattern;
  if (pattern.size() < bytes) {
    pattern.resize(bytes);
    for (size_t i = 0; i < bytes; ++i) pattern[i] = static_cast<char>(i * 131);
  }
  return pattern;
}

// A fresh storage to work in, of one implementation, and everything behind
// it; all released when the place goes.
class Place {
 public:
  explicit Place(Impl impl) {
    if (impl == kQss) {
      work_ = FreshWorkStorage(&root_);
      hr_ = work_ != nullptr ? S_OK : E_FAIL;
    } else if (impl == kDocfileMemory) {
      ILockBytes* bytes = nullptr;
      hr_ = CreateILockBytesOnHGlobal(nullptr, TRUE, &bytes);
      if (SUCCEEDED(hr_)) {
        hr_ = StgCreateDocfileOnILockBytes(bytes, kRootMode, 0, &work_);
        bytes->Release();
      }
    } else {
      wchar_t directory[MAX_PATH];
      GetTempPathW(MAX_PATH, directory);
      path_ = std::wstring(directory) + L"qss_compare_" +
              std::to_wstring(GetCurrentProcessId()) + L".stg";
      hr_ = StgCreateDocfile(path_.c_str(), kRootMode, 0, &work_);
    }
  }
  ~Place() {
    if (work_ != nullptr) work_->Release();
    if (root_ != nullptr) root_->Release();
    if (!path_.empty()) DeleteFileW(path_.c_str());
  }
  Place(const Place&) = delete;
  Place& operator=(const Place&) = delete;

  HRESULT hr() const { return hr_; }
  IStorage* work() const { return work_; }

 private:
  HRESULT hr_ = E_FAIL;
  IStorage* root_ = nullptr;
  IStorage* work_ = nullptr;
  std::wstring path_;
};

HRESULT NewStream(const Place& place, IStream** stream) {
  *stream = nullptr;
  if (FAILED(place.hr())) return place.hr();
  return place.work()->CreateStream(ElementName(0).c_str(), kChildMode, 0, 0,
                                    stream);
}

// One run of a workload on one implementation: its result and the time of
// its measured part.
struct Run {
  HRESULT hr = S_OK;
  double seconds = 0;
};

// One row of the report: a workload at one size.
struct Workload {
  std::string name;
  long long n;       // what the workload scales with
  const char* unit;  // what one operation is
  double ops;        // operations per run
  std::vector<Impl> impls;
  std::vector<std::vector<double>> seconds;  // per implementation
  std::vector<HRESULT> failure;              // per implementation
  bool selected = true;
};

// What one turn of an implementation runs: a body that measures the rows
// `rows`, one Run each, in one go (so the elements made for one measurement
// serve the next).
struct Task {
  std::vector<size_t> rows;
  std::vector<Impl> impls;
  std::function<std::vector<Run>(Impl)> body;
};

template <class F>
Run Timed(F f) {
  Timer timer;
  timer.Start();
  Run run;
  run.hr = f();
  timer.Stop();
  run.seconds = timer.Seconds();
  return run;
}

Run CopyBytes(size_t total, bool fresh) {
  Run run;
  const char* source = Pattern(total).data();
  static std::vector<char> warm;
  if (!fresh && warm.size() < total) warm.assign(total, 1);
  char* into =
      fresh ? static_cast<char*>(VirtualAlloc(
                  nullptr, total, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE))
            : warm.data();
  if (into == nullptr) return Run{E_OUTOFMEMORY, 0};
  Timer timer;
  timer.Start();
  for (size_t done = 0; done < total; done += kPiece) {
    std::memcpy(into + done, source + done, kPiece);
  }
  timer.Stop();
  run.seconds = timer.Seconds();
  if (std::memcmp(into, source, total) != 0) run.hr = E_FAIL;
  if (fresh) VirtualFree(into, 0, MEM_RELEASE);
  return run;
}

Run WriteBytes(Impl impl, size_t total) {
  if (impl == kMemcpy) return CopyBytes(total, true);
  Place place(impl);
  IStream* stream = nullptr;
  Run run;
  run.hr = NewStream(place, &stream);
  if (FAILED(run.hr)) return run;
  Timer timer;
  timer.Start();
  run.hr = WritePieces(stream, Pattern(total).data(), total, kPiece);
  timer.Stop();
  run.seconds = timer.Seconds();
  stream->Release();
  return run;
}

Run ReadBytes(Impl impl, size_t total) {
  if (impl == kMemcpy) return CopyBytes(total, false);
  static std::vector<char> into;
  into.assign(total, 1);
  Place place(impl);
  IStream* stream = nullptr;
  Run run;
  run.hr = NewStream(place, &stream);
  // One piece: the compound file on memory regrows its buffer per write.
  if (SUCCEEDED(run.hr)) {
    run.hr = WritePieces(stream, Pattern(total).data(), total, total);
  }
  if (SUCCEEDED(run.hr)) run.hr = Rewind(stream);
  if (FAILED(run.hr)) {
    if (stream != nullptr) stream->Release();
    return run;
  }
  Timer timer;
  timer.Start();
  run.hr = ReadPieces(stream, into.data(), total, kPiece);
  timer.Stop();
  run.seconds = timer.Seconds();
  if (SUCCEEDED(run.hr) &&
      std::memcmp(into.data(), Pattern(total).data(), total) != 0) {
    run.hr = E_FAIL;
  }
  stream->Release();
  return run;
}

Run AppendBytes(Impl impl, int count) {
  Place place(impl);
  IStream* stream = nullptr;
  Run run;
  run.hr = NewStream(place, &stream);
  if (FAILED(run.hr)) return run;
  const char piece[16] = "sixteen bytes..";
  Timer timer;
  timer.Start();
  run.hr = Append(stream, piece, 16, count);
  timer.Stop();
  run.seconds = timer.Seconds();
  stream->Release();
  return run;
}

// Rows: create, open, enumerate, destroy-newest, destroy-oldest. The
// first storage is created, opened, enumerated and emptied newest first;
// a second one, created again, is emptied oldest first.
std::vector<Run> Elements(Impl impl, int count) {
  const std::vector<Name> names = ElementNames(count);
  std::vector<Run> runs(5);
  {
    Place place(impl);
    if (FAILED(place.hr())) return std::vector<Run>(5, Run{place.hr(), 0});
    IStorage* work = place.work();
    int seen = 0;
    runs[0] = Timed([&] { return CreateStreams(work, names); });
    runs[1] = Timed([&] { return OpenStreams(work, names, 1, &seen); });
    runs[2] = Timed([&] { return EnumerateAll(work, &seen); });
    if (SUCCEEDED(runs[2].hr) && seen != count) runs[2].hr = E_FAIL;
    runs[3] = Timed([&] { return DestroyAll(work, names, true); });
  }
  Place place(impl);
  HRESULT hr = place.hr();
  if (SUCCEEDED(hr)) hr = CreateStreams(place.work(), names);
  runs[4] = FAILED(hr)
                ? Run{hr, 0}
                : Timed([&] { return DestroyAll(place.work(), names, false); });
  return runs;
}

// Lookups of a name that is not there, which walk the whole element list
// of this library.
Run Misses(Impl impl, int count, int calls) {
  Place place(impl);
  Run run;
  run.hr = place.hr();
  if (SUCCEEDED(run.hr))
    run.hr = CreateStreams(place.work(), ElementNames(count));
  if (FAILED(run.hr)) return run;
  Timer timer;
  timer.Start();
  for (int i = 0; i < calls && SUCCEEDED(run.hr); ++i) {
    run.hr = MissStream(place.work());
  }
  timer.Stop();
  run.seconds = timer.Seconds();
  return run;
}

// Rows: tree-build, tree-copy (the tree into a new storage beside it).
std::vector<Run> Tree(Impl impl, int depth) {
  Place place(impl);
  if (FAILED(place.hr())) return std::vector<Run>(2, Run{place.hr(), 0});
  const Name tree = AsciiName("tree");
  IStorage* top = nullptr;
  const HRESULT hr = CreateChild(place.work(), tree, &top);
  if (FAILED(hr)) return std::vector<Run>(2, Run{hr, 0});
  std::vector<Run> runs(2);
  int elements = 0;
  runs[0] = Timed([&] {
    return BuildTree(top, depth, kTreeFanout, kTreeStreams, kTreeStreamBytes,
                     &elements);
  });
  top->Release();
  runs[1] = FAILED(runs[0].hr) ? runs[0] : Timed([&] {
    return CopyStorage(place.work(), tree, AsciiName("copy"));
  });
  return runs;
}

// Rows: chain-build, chain-open (every level from the top), chain-copy
// (into a new storage beside it), chain-destroy.
std::vector<Run> Chain(Impl impl, int depth) {
  Place place(impl);
  if (FAILED(place.hr())) return std::vector<Run>(4, Run{place.hr(), 0});
  const Name chain = AsciiName("chain");
  IStorage* top = nullptr;
  const HRESULT hr = CreateChild(place.work(), chain, &top);
  if (FAILED(hr)) return std::vector<Run>(4, Run{hr, 0});
  std::vector<Run> runs(4);
  runs[0] = Timed([&] { return BuildChain(top, depth); });
  runs[1] = FAILED(runs[0].hr) ? runs[0]
                               : Timed([&] { return OpenChain(top, depth); });
  top->Release();
  runs[2] = FAILED(runs[1].hr) ? runs[1] : Timed([&] {
    return CopyStorage(place.work(), chain, AsciiName("copy"));
  });
  runs[3] = FAILED(runs[2].hr) ? runs[2] : Timed([&] {
    return place.work()->DestroyElement(chain.c_str());
  });
  return runs;
}

// The storage of a block kBlockDepth levels down: this library through
// GetObjectStorage from the host's block, the others by opening each level
// from the top, which is what a host without it would do.
Run DeepOpen(Impl impl, int calls) {
  Place place(impl);
  Run run;
  run.hr = place.hr();
  if (FAILED(run.hr)) return run;
  Timer timer;
  if (impl == kQss) {
    int block = 0;
    for (int i = 0; i < kBlockDepth; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "block%02d", i);
      block = QssHier_AddBlock(block, name);
    }
    IStorage* storage = nullptr;
    if (GetObjectStorage(block, -1, &storage) != 0) return Run{E_FAIL, 0};
    storage->Release();
    timer.Start();
    for (int i = 0; i < calls && SUCCEEDED(run.hr); ++i) {
      storage = nullptr;
      if (GetObjectStorage(block, -1, &storage) != 0) run.hr = E_FAIL;
      if (storage != nullptr) storage->Release();
    }
    timer.Stop();
  } else {
    run.hr = BuildChain(place.work(), kBlockDepth);
    timer.Start();
    for (int i = 0; i < calls && SUCCEEDED(run.hr); ++i) {
      run.hr = OpenChain(place.work(), kBlockDepth);
    }
    timer.Stop();
  }
  run.seconds = timer.Seconds();
  return run;
}

std::string SizeLabel(size_t bytes) {
  return std::to_string(bytes / kMiB) + "MiB";
}

struct Plan {
  std::vector<Workload> rows;
  std::vector<Task> tasks;
};

Plan MakePlan(const Profile& profile) {
  Plan plan;
  auto rows = [&plan](std::vector<std::string> names, long long n,
                      const char* unit, double ops, std::vector<Impl> impls,
                      std::function<std::vector<Run>(Impl)> body) {
    Task task{{}, impls, std::move(body)};
    for (std::string& name : names) {
      task.rows.push_back(plan.rows.size());
      plan.rows.push_back(Workload{std::move(name), n, unit, ops, impls,
                                   std::vector<std::vector<double>>(4),
                                   std::vector<HRESULT>(4, S_OK)});
    }
    plan.tasks.push_back(std::move(task));
  };
  auto add = [&rows](std::string name, long long n, const char* unit,
                     double ops, std::vector<Impl> impls,
                     std::function<Run(Impl)> body) {
    rows({std::move(name)}, n, unit, ops, std::move(impls),
         [body](Impl impl) { return std::vector<Run>{body(impl)}; });
  };
  std::vector<Impl> with_memcpy = kStorages;
  with_memcpy.push_back(kMemcpy);
  for (size_t bytes : profile.write_bytes) {
    add("write-" + SizeLabel(bytes), static_cast<long long>(bytes), "MB",
        bytes / 1e6, with_memcpy,
        [bytes](Impl impl) { return WriteBytes(impl, bytes); });
  }
  const size_t read = profile.read_bytes;
  add("read-" + SizeLabel(read), static_cast<long long>(read), "MB", read / 1e6,
      with_memcpy, [read](Impl impl) { return ReadBytes(impl, read); });
  const int appends = profile.appends;
  add("append16", appends, "append", appends, kStorages,
      [appends](Impl impl) { return AppendBytes(impl, appends); });
  for (int n : profile.counts) {
    // The compound file on disk takes minutes per repetition at the
    // largest size; its curve is clear well before.
    std::vector<Impl> impls = kStorages;
    if (n > profile.disk_elements) impls.pop_back();
    rows({"create", "open", "enumerate", "destroy-newest", "destroy-oldest"}, n,
         "element", n, impls, [n](Impl impl) { return Elements(impl, n); });
  }
  const int misses = profile.misses;
  for (int n : profile.counts) {
    add("lookup-miss", n, "lookup", misses, kStorages,
        [n, misses](Impl impl) { return Misses(impl, n, misses); });
  }
  const int depth = profile.tree_depth;
  const int elements = TreeElements(depth, kTreeFanout, kTreeStreams);
  rows({"tree-build", "tree-copy"}, elements, "element", elements, kStorages,
       [depth](Impl impl) { return Tree(impl, depth); });
  const int chain = profile.chain_depth;
  rows({"chain-build", "chain-open", "chain-copy", "chain-destroy"}, chain,
       "level", chain, kStorages,
       [chain](Impl impl) { return Chain(impl, chain); });
  const int calls = profile.deep_calls;
  add("deep-open", kBlockDepth, "call", calls, kStorages,
      [calls](Impl impl) { return DeepOpen(impl, calls); });
  return plan;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Operations per second, in the unit's own terms (MB/s for bytes).
double Rate(const Workload& w, double seconds) {
  return seconds > 0 ? w.ops / seconds : 0;
}

void Report(const std::vector<Workload>& workloads, const Profile& profile,
            std::FILE* json) {
  std::printf("\n%-16s %10s %-13s %12s %12s %10s %9s\n", "workload", "n",
              "impl", "median s", "per op", "rate", "speedup");
  for (const Workload& w : workloads) {
    if (!w.selected) continue;
    const double ours = Median(w.seconds[kQss]);
    for (Impl impl : w.impls) {
      const double median = Median(w.seconds[impl]);
      const bool failed = FAILED(w.failure[impl]);
      const double speedup = ours > 0 && !failed ? median / ours : 0;
      if (failed) {
        std::printf("%-16s %10lld %-13s failed 0x%08lX\n", w.name.c_str(), w.n,
                    kImplNames[impl],
                    static_cast<unsigned long>(w.failure[impl]));
      } else {
        std::printf("%-16s %10lld %-13s %12.6f %12.3g %10.4g %s/s %9.3g\n",
                    w.name.c_str(), w.n, kImplNames[impl], median,
                    median / w.ops, Rate(w, median), w.unit, speedup);
      }
      char line[512];
      std::snprintf(
          line, sizeof line,
          "{\"profile\":\"%s\",\"workload\":\"%s\",\"n\":%lld,\"unit\":\"%s\","
          "\"impl\":\"%s\",\"reps\":%d,\"ops\":%.0f,\"ok\":%s,"
          "\"median_s\":%.9g,\"per_op_s\":%.6g,\"rate_per_s\":%.6g,"
          "\"speedup\":%.6g}",
          profile.name, w.name.c_str(), w.n, w.unit, kImplNames[impl],
          static_cast<int>(w.seconds[impl].size()), w.ops,
          failed ? "false" : "true", median, w.ops > 0 ? median / w.ops : 0,
          Rate(w, median), speedup);
      std::printf("%s\n", line);
      if (json != nullptr) std::fprintf(json, "%s\n", line);
    }
  }
}

// The compound file's CopyTo recurses once per level: with a thread's
// default 1 MiB stack it overflows at about 3,500 levels. Every turn runs on
// a thread with room for the deepest chain, the same for all.
constexpr SIZE_T kTurnStackBytes = 32 * kMiB;

struct Turn {
  Task* task;
  Impl impl;
  std::vector<Run> runs;
};

DWORD WINAPI RunTurn(void* argument) {
  auto* turn = static_cast<Turn*>(argument);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  turn->runs = turn->task->body(turn->impl);
  CoUninitialize();
  return 0;
}

std::vector<Run> TakeTurn(Task* task, Impl impl) {
  Turn turn{task, impl, {}};
  HANDLE thread = CreateThread(nullptr, kTurnStackBytes, RunTurn, &turn,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) {
    return std::vector<Run>(task->rows.size(), Run{E_OUTOFMEMORY, 0});
  }
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return turn.runs;
}

int Main(int argc, char** argv) {
  const Profile* profile = &kFull;
  int reps = 0;
  const char* json_path = nullptr;
  const char* only = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      profile = &kQuick;
    } else if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc) {
      reps = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc) {
      json_path = argv[++i];
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      only = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: qss_compare [--quick] [--reps N] [--json FILE] "
                   "[--only WORKLOAD-PREFIX]\n");
      return 2;
    }
  }
  if (reps <= 0) reps = profile->reps;
  Plan plan = MakePlan(*profile);
  std::vector<Task*> tasks;
  for (Task& task : plan.tasks) {
    bool wanted = only == nullptr;
    for (size_t row : task.rows) {
      wanted = wanted || plan.rows[row].name.rfind(only, 0) == 0;
    }
    for (size_t row : task.rows) plan.rows[row].selected = wanted;
    if (wanted) tasks.push_back(&task);
  }
  for (int rep = 0; rep < reps; ++rep) {
    for (Task* task : tasks) {
      const Workload& first = plan.rows[task->rows.front()];
      if (profile != &kQuick) {
        std::fprintf(stderr, "rep %d/%d %-16s n=%lld      \r", rep + 1, reps,
                     first.name.c_str(), first.n);
        std::fflush(stderr);
      }
      for (size_t turn = 0; turn < task->impls.size(); ++turn) {
        const Impl impl = task->impls[(turn + rep) % task->impls.size()];
        const std::vector<Run> runs = TakeTurn(task, impl);
        for (size_t k = 0; k < task->rows.size(); ++k) {
          Workload& row = plan.rows[task->rows[k]];
          if (FAILED(runs[k].hr)) {
            row.failure[impl] = runs[k].hr;
          } else {
            row.seconds[impl].push_back(runs[k].seconds);
          }
        }
      }
    }
  }
  std::fprintf(stderr, "\n");
  std::FILE* json = json_path != nullptr ? std::fopen(json_path, "w") : nullptr;
  Report(plan.rows, *profile, json);
  if (json != nullptr) std::fclose(json);
  int failures = 0;
  for (const Workload& w : plan.rows) failures += FAILED(w.failure[kQss]);
  return failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace qss_bench

int main(int argc, char** argv) { return qss_bench::Main(argc, argv); }
