#include "records/plex.h"

#include "records/dms.h"

namespace qss {

int AllocateBlock(int words) {
  const int open = 1;
  const int close = 0;
  int id = 0;
  int index = 0;
  DMS_SIMBEAD(&open);
  DMS_ALLOCI(&words, &id, &index);
  DMS_SIMBEAD(&close);
  // A store that cannot satisfy the request answers block id 0.
  return id;
}

int* ResizeBlock(int block_id, int words) {
  // The store reports a failed resize only by leaving the index unwritten.
  int index = -1;
  DMS_RALOCI(&block_id, &words, &index);
  if (index < 0) return nullptr;
  return ib0 + index;
}

void FreeBlock(int block_id) { DMS_ATFREE(&block_id); }

}  // namespace qss
