// Allocation-failure injection. A clean run of each scenario counts, for
// every operation, the allocations the library makes of each kind: heap
// objects (operator new, replaced in this program, which links the library
// statically), name copies and working arrays (malloc, realloc), memory for
// callers (CoTaskMemAlloc) and plex blocks (the store's injected failure).
// Then each of them fails once, in turn: the operation must answer with its
// documented code, the tree must be as before (or, for copies, moves and
// the per-object exports, merely valid), and once every object is released
// nothing may be left over; the library must go on working.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "qsstorage/qsstorage.h"
#include "records/heap.h"
#include "reliability/driver.h"
#include "reliability/ops.h"
#include "standins/plex_controls.h"

namespace {

enum Fault {
  kHeapObject,
  kNameCopy,
  kWorkspace,
  kForCaller,
  kPlexBlock,
  kFaults
};
const char* const kFaultNames[kFaults] = {
    "heap object", "name copy", "working array", "caller memory", "plex block"};

// Counts allocations while armed; fails the `ordinal`-th one of `target`.
struct Injector {
  bool armed = false;
  int target = kFaults;
  long ordinal = -1;
  long seen[kFaults] = {};
  bool fired = false;
  QssPlexCounts plex_before{};
  long plex_events = 0;
};
Injector injector;

bool Inject(Fault fault) {
  if (!injector.armed) return false;
  if (injector.seen[fault]++ != injector.ordinal || fault != injector.target) {
    return false;
  }
  injector.fired = true;
  return true;
}

// Whether `caller` lies in this program, which holds the library, rather
// than in the host's stand-ins or the runtime, whose allocations are not
// the library's.
bool InThisProgram(void* caller) {
  static const void* const program = [] {
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&Inject), &info);
    return info.dli_fbase;
  }();
  Dl_info info{};
  return dladdr(caller, &info) != 0 && info.dli_fbase == program;
}

bool OnHeapUse(qss::HeapUse use) {
  switch (use) {
    case qss::HeapUse::kNameCopy:
      return Inject(kNameCopy);
    case qss::HeapUse::kWorkspace:
      return Inject(kWorkspace);
    default:
      return Inject(kForCaller);
  }
}

void Arm() {
  for (long& seen : injector.seen) seen = 0;
  injector.fired = false;
  QssPlex_GetCounts(&injector.plex_before);
  if (injector.target == kPlexBlock) QssPlex_FailAllocAfter(injector.ordinal);
  injector.armed = true;
}

void Disarm() {
  injector.armed = false;
  QssPlex_FailAllocAfter(-1);
  QssPlexCounts after;
  QssPlex_GetCounts(&after);
  // Every allocation and resize the store carried out; a growth among them
  // is what the store's failure can hit.
  injector.plex_events = (after.allocs - injector.plex_before.allocs) +
                         (after.reallocs - injector.plex_before.reallocs);
}

}  // namespace

// The library's heap objects come from here while it is linked statically.
// Out of line, so that the compiler never pairs a new-expression with the
// free() inside.
[[gnu::noinline]] void* operator new(std::size_t size) {
  if (injector.armed && InThisProgram(__builtin_return_address(0)) &&
      Inject(kHeapObject)) {
    throw std::bad_alloc();
  }
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
[[gnu::noinline]] void* operator new(std::size_t size,
                                     const std::nothrow_t&) noexcept {
  if (injector.armed && InThisProgram(__builtin_return_address(0)) &&
      Inject(kHeapObject)) {
    return nullptr;
  }
  return std::malloc(size == 0 ? 1 : size);
}
[[gnu::noinline]] void operator delete(void* block) noexcept {
  std::free(block);
}
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
[[gnu::noinline]] void operator delete(void* block,
                                       const std::nothrow_t&) noexcept {
  std::free(block);
}

namespace qss_reliability {
namespace {

constexpr uint8_t kAsIs = 5;  // a variant with no null pointer

Op MakeOp(OpKind kind, std::vector<uint8_t> args) {
  Op op{kind, {kAsIs, kAsIs, kAsIs, kAsIs, kAsIs, kAsIs}};
  for (size_t k = 0; k < args.size(); ++k) op.arg[k] = args[k];
  return op;
}

// Pool names by index, past the arguments that pick an existing child.
uint8_t PoolName(int index) { return static_cast<uint8_t>(160 + index); }

// Every operation that allocates, with content to copy and move: a root
// made in an empty plex, streams that grow, shrink and copy, a storage
// replaced with STGM_CREATE, renames that grow a node, enumeration, copies,
// moves, the per-object exports and a root made again after a clear.
Sequence Representative() {
  using K = OpKind;
  Sequence s;
  // Blocks: 1 at the top; 2 "b" in it, 3 "a" in 2, 4 "t" in 3, 5 "b" in 4,
  // 6 "A" in 1. Reallocated blocks stay in place.
  s.setup = 18;
  s.ops = {
      MakeOp(K::kGetRoot, {}),                        // storage 0
      MakeOp(K::kCreateStream, {0, PoolName(0), 0}),  // stream 0 a
      MakeOp(K::kWrite, {0, 15, 1}),                  // 1025 bytes
      MakeOp(K::kSeek, {0, 0, 0}),
      MakeOp(K::kRead, {0, 6}),
      MakeOp(K::kCreateStorage, {0, PoolName(1), 0}),  // storage 1 b
      MakeOp(K::kCreateStream, {1, PoolName(26), 0}),  // stream 1 b/s
      MakeOp(K::kWrite, {1, 8, 2}),
      MakeOp(K::kClone, {0}),        // stream 2
      MakeOp(K::kSetSize, {1, 11}),  // grows
      MakeOp(K::kSetSize, {1, 2}),   // shrinks
      MakeOp(K::kSeek, {2, 0, 0}),
      MakeOp(K::kStreamCopyTo, {2, 1, 6}),  // into b/s
      MakeOp(K::kStatStream, {0, 0}),
      MakeOp(K::kStatStorage, {1, 0}),
      MakeOp(K::kEnumElements, {0}),  // enum 0
      MakeOp(K::kNext, {0, 6}),
      MakeOp(K::kReset, {0}),
      MakeOp(K::kEnumClone, {0}),  // enum 1
      MakeOp(K::kNext, {1, 4}),
      MakeOp(K::kRenameElement, {0, PoolName(0), 5}),         // a: 8 bytes
      MakeOp(K::kOpenStream, {0, PoolName(5), 0}),            // stream 3
      MakeOp(K::kOpenStorage, {0, PoolName(1), 0}),           // storage 2
      MakeOp(K::kCreateStorage, {0, PoolName(2), 0}),         // storage 3 c
      MakeOp(K::kCopyTo, {1, 3, 0, 0}),                       // b into c
      MakeOp(K::kCopyTo, {0, 1, 1, 0}),                       // class id
      MakeOp(K::kMoveElementTo, {0, PoolName(5), 3, 27, 0}),  // a to c/t
      MakeOp(K::kMoveElementTo, {0, PoolName(1), 3, 4, 2}),   // b copied
      MakeOp(K::kCreateStorage, {0, PoolName(1), 6}),         // b replaced
      MakeOp(K::kGetObjectStorage, {4, 0}),                   // b/a/t/b
      MakeOp(K::kGetObjectStorage, {2, 3}),                   // b/a_UOSB
      MakeOp(K::kRenObjectStorage, {3, 0, 0, 1}),             // b/a/t to b
      MakeOp(K::kDelObjectStorage, {2, 3}),                   // b/a_UOSB
      MakeOp(K::kRestoreRefCounts, {0}),
      MakeOp(K::kReleaseAll, {}),
      MakeOp(K::kGetRoot, {}),
      MakeOp(K::kClearRoot, {0}),
      MakeOp(K::kGetRoot, {}),  // a new root
  };
  return s;
}

struct Scenario {
  std::string name;
  Sequence sequence;
};

std::vector<Scenario> Scenarios() {
  std::vector<Scenario> scenarios = {{"representative", Representative()}};
  for (uint32_t seed = 1; seed <= 64; ++seed) {
    scenarios.push_back(
        {"seed " + std::to_string(seed), GenerateSequence(seed, 150)});
  }
  return scenarios;
}

// The codes an operation may answer when one of its allocations fails.
bool Documented(OpKind kind, const Runner::Observation& seen) {
  switch (kind) {
    case OpKind::kGetRoot:
      return seen.summary == "no object";
    case OpKind::kCreateStream:
    case OpKind::kOpenStream:
    case OpKind::kCreateStorage:
    case OpKind::kOpenStorage:
    case OpKind::kEnumElements:
    case OpKind::kClone:
    case OpKind::kEnumClone:
    case OpKind::kRenameElement:
      return seen.hr == E_OUTOFMEMORY;
    case OpKind::kStatStorage:
    case OpKind::kStatStream:
      // The name is null and nothing else is written.
      return seen.hr == E_OUTOFMEMORY &&
             seen.summary.find("{name null, type untouched") !=
                 std::string::npos;
    case OpKind::kCopyTo:
    case OpKind::kMoveElementTo:
      return seen.hr == E_OUTOFMEMORY || seen.hr == STG_E_MEDIUMFULL;
    case OpKind::kWrite:
    case OpKind::kSetSize:
    case OpKind::kStreamCopyTo:
      return seen.hr == STG_E_MEDIUMFULL;
    case OpKind::kGetObjectStorage:
      return seen.hr == 1 && !seen.handed_out;
    case OpKind::kDelObjectStorage:
    case OpKind::kRenObjectStorage:
      return seen.hr == 1;
    default:
      return false;
  }
}

// Runs op `at` of the sequence with `fault` number `ordinal` failing.
// Returns "" when all is well; counts the failures that fired.
std::string RunWithFault(const Sequence& sequence, size_t at, int fault,
                         long ordinal, long clean_plex_events, int* fired) {
  Runner runner(sequence.setup, RunOptions());
  for (size_t i = 0; i < at; ++i) {
    if (!runner.Step(sequence.ops[i]))
      return "before the fault: " + runner.message();
  }
  injector.target = fault;
  injector.ordinal = ordinal;
  Runner::Observation seen;
  const bool observed =
      runner.ObserveLibrary(sequence.ops[at], Arm, Disarm, &seen);
  injector.target = kFaults;
  if (!observed) return "the operation was skipped";
  const bool hit = fault == kPlexBlock
                       ? injector.plex_events != clean_plex_events
                       : injector.fired;
  if (!hit) {
    // The failure fell on nothing the operation needed, or past its end.
    return runner.ConcludeWithModel() ? "" : runner.message();
  }
  ++*fired;
  const OpKind kind = sequence.ops[at].kind;
  if (!seen.failed && kind == OpKind::kNext) {
    // A child whose record cannot be made is left out of the result.
    return runner.ConcludeLeavingOut() ? "" : runner.message();
  }
  if (!Documented(kind, seen)) {
    return std::string("undocumented answer to a failed ") +
           kFaultNames[fault] + ": " + seen.summary;
  }
  if (!runner.ConcludeWithoutModel()) return runner.message();
  // And the library goes on working: a new tree, a stream written and read.
  IStorage* root = GetRootIStorage();
  if (root == nullptr) return "no root after the failure";
  IStream* stream = nullptr;
  const OLECHAR name[] = {'p', 'r', 'o', 'b', 'e', 0};
  HRESULT hr = root->CreateStream(name, 0x12, 0, 0, &stream);
  char bytes[3] = {1, 2, 3};
  ULONG count = 0;
  LARGE_INTEGER start;
  start.QuadPart = 0;
  if (hr == S_OK) hr = stream->Write(bytes, 3, &count);
  if (hr == S_OK) hr = stream->Seek(start, STREAM_SEEK_SET, nullptr);
  if (hr == S_OK) hr = stream->Read(bytes, 3, &count);
  if (stream != nullptr) stream->Release();
  if (hr == S_OK) hr = root->DestroyElement(name);
  root->Release();
  if (hr != S_OK || count != 3 || bytes[2] != 3)
    return "the library stopped working";
  return "";
}

TEST(AllocationFailures, EachFailsInTurnWithItsDocumentedCode) {
  qss::heap_fault_hook = OnHeapUse;
  const bool verbose = std::getenv("QSS_VERBOSE") != nullptr;
  long points = 0;
  int fired_by_fault[kFaults] = {};
  std::set<OpKind> kinds_hit;
  for (const Scenario& scenario : Scenarios()) {
    const Sequence& sequence = scenario.sequence;
    // The clean run: what each operation allocates.
    std::vector<std::vector<long>> counts(sequence.ops.size(),
                                          std::vector<long>(kFaults));
    {
      Runner runner(sequence.setup, RunOptions());
      for (size_t i = 0; i < sequence.ops.size(); ++i) {
        Runner::Observation seen;
        if (runner.ObserveLibrary(sequence.ops[i], Arm, Disarm, &seen)) {
          ASSERT_TRUE(runner.ConcludeWithModel()) << runner.message();
          for (int f = 0; f < kPlexBlock; ++f) counts[i][f] = injector.seen[f];
          counts[i][kPlexBlock] = injector.plex_events;
          if (verbose) {
            std::printf("%s %zu %s: %s\n", scenario.name.c_str(), i,
                        Describe(sequence.ops[i]).c_str(),
                        seen.summary.c_str());
          }
        } else {
          ASSERT_TRUE(runner.Step(sequence.ops[i])) << runner.message();
        }
      }
      ASSERT_TRUE(runner.Finish()) << runner.message();
    }
    for (size_t i = 0; i < sequence.ops.size(); ++i) {
      for (int fault = 0; fault < kFaults; ++fault) {
        for (long ordinal = 0; ordinal < counts[i][fault]; ++ordinal) {
          ++points;
          int fired = 0;
          const std::string problem = RunWithFault(
              sequence, i, fault, ordinal, counts[i][kPlexBlock], &fired);
          fired_by_fault[fault] += fired;
          if (fired != 0) kinds_hit.insert(sequence.ops[i].kind);
          EXPECT_EQ("", problem)
              << scenario.name << ", operation " << i << " "
              << Describe(sequence.ops[i]) << ", " << kFaultNames[fault]
              << " number " << ordinal << " failing";
        }
      }
    }
  }
  qss::heap_fault_hook = nullptr;
  int total = 0;
  std::printf("allocation failures: %ld points tried,", points);
  for (int fault = 0; fault < kFaults; ++fault) {
    std::printf(" %s %d,", kFaultNames[fault], fired_by_fault[fault]);
    total += fired_by_fault[fault];
    // Every kind of allocation is exercised.
    EXPECT_GT(fired_by_fault[fault], 0) << kFaultNames[fault];
  }
  std::printf(" %d injected, in %zu kinds of operation\n", total,
              kinds_hit.size());
}

}  // namespace
}  // namespace qss_reliability
