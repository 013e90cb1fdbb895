// libFuzzer target: the input becomes an operation sequence (see
// reliability/ops.h) that runs against the library and the reference model
// side by side. A disagreement, a checker finding or a leak ends the run
// with the sequence printed; memory errors end it through the sanitizers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "reliability/driver.h"
#include "reliability/ops.h"
#include "standins/plex_controls.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A stale block id or index stops the run at once.
  QssPlex_SetStrict(1);
  QssPlex_SetPoisonFreed(1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using qss_reliability::RunResult;
  const qss_reliability::Sequence sequence =
      qss_reliability::DecodeSequence(data, size);
  const RunResult result =
      qss_reliability::RunSequence(sequence, qss_reliability::RunOptions());
  if (!result.ok) {
    std::fprintf(stderr, "%s\n%s", result.message.c_str(),
                 qss_reliability::Describe(sequence).c_str());
    std::abort();
  }
  return 0;
}
