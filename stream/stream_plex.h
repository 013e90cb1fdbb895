// CImplIStreamPlex: the library's IStream over one StreamNode and its data
// block. The object holds the node's block id, a reference count and its
// own seek position; size, capacity, open mode and bytes live in the plex
// and are read at each operation, so several objects over one stream (a
// stream opened twice, a clone) always agree on the data block's extent.
//
// Streams hold at most kMaxStreamBytes bytes: Write and SetSize refuse a
// larger end with STG_E_MEDIUMFULL, and Read at a position at or past the
// size reads nothing, so no position ever wraps around to the start.
#ifndef QSSTORAGE_STREAM_STREAM_PLEX_H_
#define QSSTORAGE_STREAM_STREAM_PLEX_H_

#include <cstdint>

#include "platform/com.h"
#include "records/claims.h"
#include "records/names.h"

namespace qss {

// The largest capacity the StreamNode's 32-bit words can describe once
// rounded up to whole 256-byte steps.
constexpr uint32_t kMaxStreamBytes = 0xFFFFFF00u;

class CImplIStreamPlex final : public IStream {
 public:
  // A view of the StreamNode `block_id`, reference count 1, position 0.
  // Making it changes nothing in the plex.
  explicit CImplIStreamPlex(int block_id);
  // A second object over the same node at the same position (Clone).
  CImplIStreamPlex(const CImplIStreamPlex& other);
  CImplIStreamPlex& operator=(const CImplIStreamPlex&) = delete;

  // IUnknown: IUnknown, ISequentialStream and IStream.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // ISequentialStream. Both answer E_FAIL on a detached or destroyed stream,
  // STG_E_INVALIDPOINTER for a null buffer with a count above 0, then
  // STG_E_ACCESSDENIED without the right; the out count is 0 after every
  // failure. Write is always whole or not at all: STG_E_MEDIUMFULL, with the
  // stream unchanged, when the store cannot grow the data block.
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb,
                                  ULONG* pcbWritten) override;

  // IStream. A null STATSTG, out pointer or destination answers
  // STG_E_INVALIDPOINTER, checked right after liveness. Seek needs no rights
  // and refuses a negative or overflowing target, keeping the position.
  // SetSize reserves room when growing (the size stays) and truncates when
  // shrinking; it never moves the position. CopyTo moves at most 1024 bytes
  // per call of the destination's Write; a count with its high half set
  // copies to the end of the stream. A destination whose Write fails or
  // takes less gives STG_E_MEDIUMFULL; one that destroys this stream, or
  // reopens it for writing, ends the copy with Read's code (E_FAIL,
  // STG_E_ACCESSDENIED); the counts hold what was done. Stat reports the size
  // every object over the node shares; its name belongs to the caller
  // (CoTaskMemFree). It fills pwcsName, type, cbSize, grfMode and
  // grfLocksSupported only; every other field stays as the caller had it,
  // and so does pwcsName with STATFLAG_NONAME. Commit and Revert succeed,
  // LockRegion and UnlockRegion answer E_NOTIMPL, whatever the state of the
  // stream.
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                 ULARGE_INTEGER* plibNewPosition) override;
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) override;
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb,
                                   ULARGE_INTEGER* pcbRead,
                                   ULARGE_INTEGER* pcbWritten) override;
  HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) override;
  HRESULT STDMETHODCALLTYPE Revert() override;
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER libOffset,
                                       ULARGE_INTEGER cb,
                                       DWORD dwLockType) override;
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER libOffset,
                                         ULARGE_INTEGER cb,
                                         DWORD dwLockType) override;
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
  HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) override;

  // Helpers for the storage operations and the enumerator.

  int block_id() const { return node_.block_id(); }
  // Stores `mode` as the open mode of every object over this stream.
  void SetOpenMode(int mode);
  // The open mode, -1 reported as 0.
  int GetOpenMode();
  // False when detached; a node found deleted detaches the object first.
  bool IsAlive();
  // Readable: open, without STGM_WRITE. Writable: open with STGM_WRITE or
  // STGM_READWRITE. Both false on a detached object.
  bool IsOpenForReading();
  bool IsOpenForWriting();

 private:
  ~CImplIStreamPlex() = default;
  // The liveness check, answering the node's address (null when detached),
  // so an operation that goes on to the node's words locates it once.
  int* LiveNode();

  NodeClaim node_;
  ULONG ref_count_ = 1;
  uint64_t position_ = 0;
};

// A new unlinked StreamNode named by `key` with a data
// block of `initial_capacity` bytes rounded up to a multiple of 256 (none
// for 0), open mode -1, and an object over it. Null when the store or the
// heap is full; nothing is then left behind.
CImplIStreamPlex* CreateStreamNode(const NameKey& key, int initial_capacity);

}  // namespace qss

#endif  // QSSTORAGE_STREAM_STREAM_PLEX_H_
