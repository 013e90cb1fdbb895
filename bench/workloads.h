// The benchmark workloads, written against the standard interfaces only, so
// the same code drives this library and any other IStorage (natively under
// Google Benchmark, under Wine beside the system's compound files).
//
// Every function returns S_OK or the first failure it met, and releases
// every object it made before returning. Elements are opened and created
// with STGM_READWRITE | STGM_SHARE_EXCLUSIVE, which every implementation
// accepts for children.
#ifndef QSSTORAGE_BENCH_WORKLOADS_H_
#define QSSTORAGE_BENCH_WORKLOADS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "platform/com.h"

namespace qss_bench {

using Name = std::basic_string<OLECHAR>;

constexpr DWORD kChildMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

// "element00042": twelve bytes sharing an eight-byte prefix, so a lookup
// compares more than the first word of every sibling.
Name ElementName(int i);
std::vector<Name> ElementNames(int count);
Name AsciiName(const char* ascii);

// Bytes: `total` bytes in pieces of `piece` bytes from the stream's
// current position.
HRESULT WritePieces(IStream* stream, const char* bytes, size_t total,
                    size_t piece);
HRESULT ReadPieces(IStream* stream, char* bytes, size_t total, size_t piece);
// The same `piece` of `piece_bytes` bytes written `count` times.
HRESULT Append(IStream* stream, const char* piece, ULONG piece_bytes,
               int count);
HRESULT Rewind(IStream* stream);

// Elements, all streams, named by ElementNames: created in index order (so
// the highest index is the newest), each released at once.
HRESULT CreateStreams(IStorage* parent, const std::vector<Name>& names);
// Opens and releases names[0], names[stride], ...; `*opened` counts them.
HRESULT OpenStreams(IStorage* parent, const std::vector<Name>& names,
                    int stride, int* opened);
// Opens a name that is not there: the whole element list is walked.
HRESULT MissStream(IStorage* parent);
// Enumerates one record per Next call, freeing each name; `*seen` counts.
HRESULT EnumerateAll(IStorage* parent, int* seen);
HRESULT DestroyAll(IStorage* parent, const std::vector<Name>& names,
                   bool newest_first);

// A tree of `depth` levels of storages below `parent`, `fanout` storages
// per storage, and `streams_per_leaf` streams of `stream_bytes` bytes in
// each storage of the last level. `*elements` counts what was created.
HRESULT BuildTree(IStorage* parent, int depth, int fanout, int streams_per_leaf,
                  size_t stream_bytes, int* elements);
// Elements of such a tree.
int TreeElements(int depth, int fanout, int streams_per_leaf);

// A chain of `depth` storages, each the only child of the one above it.
HRESULT BuildChain(IStorage* parent, int depth);
// Opens every level of that chain from the top, holding all, then releases.
HRESULT OpenChain(IStorage* parent, int depth);

// Copies `name` (a storage in `parent`) into a new storage `copy_name`
// of `parent` through CopyTo.
HRESULT CopyStorage(IStorage* parent, const Name& name, const Name& copy_name);

// Creates the storage `name` in `parent`; the caller releases it.
HRESULT CreateChild(IStorage* parent, const Name& name, IStorage** child);

}  // namespace qss_bench

#endif  // QSSTORAGE_BENCH_WORKLOADS_H_
