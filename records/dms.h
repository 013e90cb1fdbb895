// The host's data-management library (mxdms, rtmalloc): the only calls the
// library makes into the plex store. Every argument is passed by reference.
//
// Word k of block B is ib0[DMS_LOCATI(&B) + k]. Allocating, reallocating or
// freeing one block moves neither any other block nor the plex itself.
#ifndef QSSTORAGE_RECORDS_DMS_H_
#define QSSTORAGE_RECORDS_DMS_H_

#if defined(_WIN32)
#define QSS_HOST_CALL __cdecl
#if defined(QSS_BUILDING_MXDMS)
#define QSS_MXDMS_API __declspec(dllexport)
#else
#define QSS_MXDMS_API __declspec(dllimport)
#endif
#if defined(QSS_BUILDING_RTMALLOC)
#define QSS_RTMALLOC_API __declspec(dllexport)
#else
#define QSS_RTMALLOC_API __declspec(dllimport)
#endif
#else
#define QSS_HOST_CALL
#define QSS_MXDMS_API __attribute__((visibility("default")))
#define QSS_RTMALLOC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Plex index of word 0 of the block.
QSS_MXDMS_API int QSS_HOST_CALL DMS_LOCATI(const int* blockId);
// A new zero-filled block of `*words` words; its id and plex index come back
// in `*blockId` and `*index`. Must be called inside the simulation bead.
QSS_MXDMS_API int QSS_HOST_CALL DMS_ALLOCI(const int* words, int* blockId,
                                           int* index);
// Resizes the block, keeping its id and its contents up to the smaller size;
// the block may move and its new plex index comes back in `*index`.
QSS_MXDMS_API int QSS_HOST_CALL DMS_RALOCI(const int* blockId, const int* words,
                                           int* index);
QSS_MXDMS_API int QSS_HOST_CALL DMS_ATFREE(const int* blockId);
// 1 opens the simulation bead for allocation, 0 closes it.
QSS_MXDMS_API int QSS_HOST_CALL DMS_SIMBEAD(const int* flag);

// The plex's address.
QSS_RTMALLOC_API extern int* ib0;

#ifdef __cplusplus
}
#endif

#endif  // QSSTORAGE_RECORDS_DMS_H_
