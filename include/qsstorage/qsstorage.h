/* qsstorage: COM structured storage inside the host's plex.
 *
 * Every function here is exported unmangled with the C calling convention.
 * Interface pointers handed out carry one reference that the caller owns.
 * The library keeps no state of its own: the tree lives in the plex, hung
 * from word 52 of block 2. */
#ifndef QSSTORAGE_QSSTORAGE_H_
#define QSSTORAGE_QSSTORAGE_H_

#if defined(_WIN32)
#include <objidl.h>
#if defined(QSS_BUILDING_QSSTORAGE)
#define QSS_API __declspec(dllexport)
#else
#define QSS_API __declspec(dllimport)
#endif
#define QSS_CALL __cdecl
#else
#include "platform/com.h"
#define QSS_API __attribute__((visibility("default")))
#define QSS_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A new storage object over the root, creating the root in an empty plex.
 * Null only when memory or the plex is exhausted. */
QSS_API IStorage* QSS_CALL GetRootIStorage(void);

/* Discards the whole tree; the next GetRootIStorage starts a new one.
 * Release every object on the tree first. Always returns 1. */
QSS_API int QSS_CALL QSStrg_ClearRootStorage(void);

/* Puts every storage and stream back into the closed state (open mode -1,
 * open count 0). Always returns 1. */
QSS_API int QSS_CALL QSStrg_RestoreRefCounts(void);

/* The storage of a host block (selector -1 or 0: its own; 1: its second
 * storage, named with the suffix "_UOSB"), created with the storages of its
 * containers on first use. `*out` is the storage, or null; the result is 0
 * on success and 1 otherwise; the top block with selector -1 gives the root
 * storage with result 1. */
QSS_API int QSS_CALL GetObjectStorage(int block, int selector, IStorage** out);

/* Destroys a block's storage. 0 on success, 1 otherwise. */
QSS_API int QSS_CALL DelObjectStorage(int block, int selector);

/* Renames a block's storage from `oldName` (null: the block's current name)
 * to `newName`. Names are ANSI. 0 on success, 1 otherwise. */
QSS_API int QSS_CALL RenObjectStorage(int block, int selector,
                                      const char* oldName,
                                      const char* newName);

#ifdef __cplusplus
}
#endif

#endif /* QSSTORAGE_QSSTORAGE_H_ */
