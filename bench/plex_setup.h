// Setup of this library's side of a benchmark: a fresh plex from the host's
// stand-in, the root storage, and one top-level storage to work in.
#ifndef QSSTORAGE_BENCH_PLEX_SETUP_H_
#define QSSTORAGE_BENCH_PLEX_SETUP_H_

#include "platform/com.h"

namespace qss_bench {

// Discards the plex and the block hierarchy. Freed blocks are not poisoned:
// that is a debugging aid of the stand-in, not work the host's store does.
void ResetPlex();

// A fresh plex holding the root and its new storage "work", returned with
// one reference (null on failure); `*root` gets the root, also owned by the
// caller.
IStorage* FreshWorkStorage(IStorage** root);

}  // namespace qss_bench

#endif  // QSSTORAGE_BENCH_PLEX_SETUP_H_
