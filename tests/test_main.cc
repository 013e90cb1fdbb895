#include <gtest/gtest.h>

#include "standins/plex_controls.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Every test runs against a strict store: a stale block id stops the run.
  QssPlex_SetStrict(1);
  QssPlex_SetPoisonFreed(1);
  return RUN_ALL_TESTS();
}
