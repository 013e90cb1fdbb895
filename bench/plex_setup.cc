#include "bench/plex_setup.h"

#include "bench/workloads.h"
#include "qsstorage/qsstorage.h"
#include "standins/hierarchy_controls.h"
#include "standins/plex_controls.h"

namespace qss_bench {

void ResetPlex() {
  QssPlex_SetPoisonFreed(0);
  QssPlex_Reset();
  QssHier_Reset();
}

IStorage* FreshWorkStorage(IStorage** root) {
  ResetPlex();
  *root = GetRootIStorage();
  if (*root == nullptr) return nullptr;
  IStorage* work = nullptr;
  if (FAILED(CreateChild(*root, AsciiName("work"), &work))) {
    (*root)->Release();
    *root = nullptr;
    return nullptr;
  }
  return work;
}

}  // namespace qss_bench
