/* qsstorage test kit: FOR TESTS ONLY, never in a production host.
 *
 * A host's own tests run the library over our stand-ins for the host's
 * data-management libraries (mxdms and rtmalloc: the plex; vovizu: the
 * block hierarchy), and steer them through the calls declared here. A
 * production host links its own mxdms, rtmalloc and vovizu, which have none
 * of these calls: a host program that includes this header, or links the
 * test kit, will not load against them.
 *
 * LINKING
 *   With CMake: link qsstorage::testkit (it brings qsstorage::qsstorage).
 *   With pkg-config: the package qsstorage-testkit. On Windows the
 *   stand-ins' DLLs go beside the test program, as for any host.
 *   The header serves C99 and C++.
 *
 * WHAT A TEST USUALLY NEEDS (standins/plex_controls.h has the whole set)
 *   QssPlex_Reset()        a fresh plex: the host's blocks 1 and 2 only,
 *                          so no tree. Release every object first: none
 *                          survives a change of plex.
 *   QssPlex_Save(path)     writes the plex to an image file; 0 on success.
 *   QssPlex_Load(path)     replaces the plex with a saved one;
 *                          QSS_PLEX_LOADED (0) on success. Call
 *                          QSStrg_RestoreRefCounts() next, as the host does
 *                          after loading a plex.
 *   QssPlex_LiveBlocks()   live blocks, the host's two included: a tree
 *                          destroyed whole leaves 2; the same count after a
 *                          round trip shows nothing was lost.
 *   QssPlex_FailAllocAfter(n)  the (n+1)-th next allocation fails once,
 *                          for testing a host's handling of E_OUTOFMEMORY.
 *   QssHier_AddBlock(container, name)  a host block for GetObjectStorage.
 *   The stand-ins are single-threaded, as the library is; in strict mode
 *   (the default) a breach of the host's contract prints a line and aborts.
 */
#ifndef QSSTORAGE_TESTKIT_H_
#define QSSTORAGE_TESTKIT_H_

#include <qsstorage/qsstorage.h>

#include "standins/hierarchy_controls.h"
#include "standins/plex_controls.h"

#endif /* QSSTORAGE_TESTKIT_H_ */
