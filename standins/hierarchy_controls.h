// Controls of the block-hierarchy stand-in (vovizu) for tests and tools,
// exported from vovizu. The library itself never calls these.
//
// Behaviour of the stand-in's qsBlkHdr_* calls: handles are 1, 2, ... in the
// order of QssHier_AddBlock. qsBlkHdr_GetCntr returns the container given at
// creation (0 for a top block). qsBlkHdr_GetName writes the name and its
// terminator, at most 256 bytes: a longer name (which the host never has, but
// a test may create) comes back as its first 255 characters and a 0. Both
// return 0 on success (GetCntr returns the handle); for an unknown handle
// GetCntr returns 0, GetName writes "" and returns -1, or in strict mode
// (default) they print a message and abort.
#ifndef QSSTORAGE_STANDINS_HIERARCHY_CONTROLS_H_
#define QSSTORAGE_STANDINS_HIERARCHY_CONTROLS_H_

#include "records/host_blocks.h"

#ifdef __cplusplus
extern "C" {
#endif

// Forgets every block; the next handle is 1. Keeps the strict option.
QSS_VOVIZU_API void QSS_HOST_CALL QssHier_Reset(void);
// A new block inside `container` (0 for a top block) named `name` (any
// length; null is ""). Returns its handle; an unknown container is a breach
// (non-strict: returns 0 and adds nothing).
QSS_VOVIZU_API int QSS_HOST_CALL QssHier_AddBlock(int container,
                                                  const char* name);
// An unknown block is a breach (non-strict: ignored).
QSS_VOVIZU_API void QSS_HOST_CALL QssHier_Rename(int block, const char* name);
QSS_VOVIZU_API void QSS_HOST_CALL QssHier_SetStrict(int on);

#ifdef __cplusplus
}
#endif

#endif  // QSSTORAGE_STANDINS_HIERARCHY_CONTROLS_H_
