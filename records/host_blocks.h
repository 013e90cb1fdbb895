// The host's block-hierarchy library (vovizu): the two calls through which
// per-object storages learn a block's container and name.
#ifndef QSSTORAGE_RECORDS_HOST_BLOCKS_H_
#define QSSTORAGE_RECORDS_HOST_BLOCKS_H_

#include "records/dms.h"

#if defined(_WIN32)
#if defined(QSS_BUILDING_VOVIZU)
#define QSS_VOVIZU_API __declspec(dllexport)
#else
#define QSS_VOVIZU_API __declspec(dllimport)
#endif
#else
#define QSS_VOVIZU_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Handle of the block's container, or 0 for the top block.
QSS_VOVIZU_API int QSS_HOST_CALL qsBlkHdr_GetCntr(int block);
// Writes the block's zero-terminated name into a buffer of 256 bytes.
QSS_VOVIZU_API int QSS_HOST_CALL qsBlkHdr_GetName(int block, char* buffer);

#ifdef __cplusplus
}
#endif

#endif  // QSSTORAGE_RECORDS_HOST_BLOCKS_H_
