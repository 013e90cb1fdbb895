// Runs operation sequences against the library (its exports and the COM
// interfaces they hand out) and against the reference model side by side.
// After every operation the result code and every out value must agree,
// the tree in the plex must equal the model's, and the tree checker must
// find nothing, leaks included. A sequence ends with every object released
// and the same checks.
#ifndef QSSTORAGE_RELIABILITY_DRIVER_H_
#define QSSTORAGE_RELIABILITY_DRIVER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "reliability/ops.h"

namespace qss_reliability {

struct RunOptions {
  // Compare the whole tree and run the checker after every operation, not
  // only at the end.
  bool check_every_op = true;
  // Use the platform's compound files as foreign destinations of CopyTo and
  // MoveElementTo (Windows only).
  bool foreign_destinations = true;
};

struct RunResult {
  bool ok = true;
  size_t ops_run = 0;  // operations carried out, skipped ones excluded
  size_t failed_op = 0;
  OpKind failed_kind = OpKind::kCount;  // kCount: the final checks failed
  std::string message;
  // By kind: operations carried out, and those the library answered with
  // success (a success code, an object, export result 0).
  std::vector<size_t> ran =
      std::vector<size_t>(static_cast<size_t>(OpKind::kCount));
  std::vector<size_t> succeeded = ran;
};

// Runs the sequence on a fresh plex and block hierarchy.
RunResult RunSequence(const Sequence& sequence, const RunOptions& options);

// The shortest sequence found, by removing operations, that still fails
// like `failure` (at an operation of the same kind). At most `runs` reruns.
Sequence Shrink(const Sequence& sequence, const RunOptions& options,
                const RunResult& failure, int runs);

struct RunState;

// One run, step by step; the fault-injection test drives it this way.
class Runner {
 public:
  // Resets the plex and builds the block hierarchy `setup` describes.
  Runner(uint32_t setup, const RunOptions& options);
  ~Runner();
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  // Runs one operation on both sides; false when they disagree (see
  // message()). Operations with nothing to work on are skipped.
  bool Step(const Op& op);
  // Releases every object and checks the tree, the checker and leaks.
  bool Finish();

  // What the fault-injection test needs: the library's half of an
  // operation alone, with `arm` called just before the library is entered
  // and `disarm` right after. Returns false when the operation is skipped.
  struct Observation {
    bool failed = false;      // a failure code, a null object, export result 1
    std::string summary;      // what the library answered
    int hr = 0;               // the code (or export result)
    bool handed_out = false;  // an object came back
  };
  bool ObserveLibrary(const Op& op, void (*arm)(), void (*disarm)(),
                      Observation* observed);
  // After ObserveLibrary: the model's half, compared as Step compares.
  bool ConcludeWithModel();
  // After ObserveLibrary of an operation that failed: the tree must be as
  // before it, but for what a copy or move put into its destination, the
  // storages an export made on its way, and the storage that STGM_CREATE
  // replaces. Then every object is released and nothing may be left over.
  bool ConcludeWithoutModel();
  // After ObserveLibrary of a Next that left children out because their
  // records could not be made: the records it gave must be the model's, in
  // the model's order, with none made up. Objects are then released and
  // nothing may be left over.
  bool ConcludeLeavingOut();

  const std::string& message() const;
  size_t steps() const;
  // Tallies by kind, as in RunResult.
  void Tally(RunResult* result) const;

 private:
  std::unique_ptr<RunState> state_;
};

}  // namespace qss_reliability

#endif  // QSSTORAGE_RELIABILITY_DRIVER_H_
