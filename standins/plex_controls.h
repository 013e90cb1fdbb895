// Controls of the plex stand-in (mxdms, rtmalloc) for tests and tools. The
// library itself never calls these; they are exported from mxdms alongside the
// DMS calls they steer. The stand-in is single-threaded, like the host's store.
#ifndef QSSTORAGE_STANDINS_PLEX_CONTROLS_H_
#define QSSTORAGE_STANDINS_PLEX_CONTROLS_H_

#include "records/dms.h"

#ifdef __cplusplus
extern "C" {
#endif

// A fresh plex holding only the host's blocks 1 (16 words) and 2 (64 words),
// all zero; the next new id is 3. Closes the simulation bead, zeroes the
// counts and cancels a pending injected failure. Keeps the options (strict,
// move-on-realloc, poison) and applies a pending reservation size.
QSS_MXDMS_API void QSS_HOST_CALL QssPlex_Reset(void);
// Size of the address range reserved for the plex, applied at the next Reset.
// 0 selects the default (1 GiB, or 512 MiB on Windows); other values are
// rounded up to 64 KiB and clamped to [64 KiB, 8 GiB - 64 KiB].
QSS_MXDMS_API void QSS_HOST_CALL
QssPlex_SetReservationBytes(unsigned long long bytes);

// Number of allocated blocks, the host's own included, and the sum of their
// word counts.
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_LiveBlocks(void);
QSS_MXDMS_API long long QSS_HOST_CALL QssPlex_LiveWords(void);
// Never a contract breach, whatever the id.
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_IsLive(int blockId);
// Word count of the block, or -1 if it is not allocated.
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_BlockWords(int blockId);
// The smallest live id greater than `after` (0 gives the first), or 0 when
// there is none.
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_NextBlockId(int after);

// Writes every live block (id, words, contents) and the id range to `path`.
// Returns 0 on success.
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_Save(const char* path);
// Replaces the plex with a saved one: same ids, same word counts, same
// contents; ids that were not live come back as free ids, lowest reused first.
// Plex indexes are not kept (blocks are laid out afresh). The bead, options
// and counts are left as they are. On a missing, bad, truncated or too large
// file returns non-zero and leaves the plex unchanged.
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_Load(const char* path);

// Strict mode (default on): a contract breach prints one line naming the call
// and the ids to stderr and aborts. Off: the call fails quietly instead (a
// non-zero return, or index 0 from DMS_LOCATI) where it cannot proceed, and
// otherwise proceeds (allocation outside the bead, realloc or free inside it).
QSS_MXDMS_API void QSS_HOST_CALL QssPlex_SetStrict(int on);
// Every DMS_RALOCI, shrinking included, moves the block to a fresh place.
QSS_MXDMS_API void QSS_HOST_CALL QssPlex_SetMoveOnRealloc(int on);
// Freed words, and the old place of a moved block, are filled with
// 0xDEADBEEF (default on).
QSS_MXDMS_API void QSS_HOST_CALL QssPlex_SetPoisonFreed(int on);
// The (n+1)-th following DMS_ALLOCI or growing DMS_RALOCI fails, once; -1
// (the default) cancels.
QSS_MXDMS_API void QSS_HOST_CALL QssPlex_FailAllocAfter(int n);
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_InBead(void);

// Successful calls of each kind; `moves` counts reallocs that changed a
// block's index and `words_moved` the words they copied.
struct QssPlexCounts {
  long long allocs, reallocs, frees, moves, words_moved;
};
QSS_MXDMS_API void QSS_HOST_CALL QssPlex_GetCounts(struct QssPlexCounts* out);
QSS_MXDMS_API void QSS_HOST_CALL QssPlex_ResetCounts(void);

#ifdef __cplusplus
}
#endif

#endif  // QSSTORAGE_STANDINS_PLEX_CONTROLS_H_
