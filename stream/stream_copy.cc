#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>

#include "records/names.h"
#include "records/node_records.h"
#include "records/plex.h"
#include "stream/stream_plex.h"

namespace qss {
namespace {

constexpr ULONG kTransferBytes = 1024;

}  // namespace

HRESULT CImplIStreamPlex::CopyTo(IStream* pstm, ULARGE_INTEGER cb,
                                 ULARGE_INTEGER* pcbRead,
                                 ULARGE_INTEGER* pcbWritten) {
  if (pcbRead != nullptr) pcbRead->QuadPart = 0;
  if (pcbWritten != nullptr) pcbWritten->QuadPart = 0;
  if (!IsAlive()) return E_FAIL;
  if (pstm == nullptr) return STG_E_INVALIDPOINTER;
  if (!IsOpenForReading()) return STG_E_ACCESSDENIED;
  // No stream reaches 2^32 bytes, so any larger count means "to the end";
  // taking only its low half would turn 2^32 into a copy of nothing.
  uint32_t remaining = static_cast<uint32_t>(
      std::min<uint64_t>(cb.QuadPart, std::numeric_limits<uint32_t>::max()));
  char buffer[kTransferBytes];
  while (remaining > 0) {
    const ULONG chunk = std::min<uint32_t>(remaining, kTransferBytes);
    ULONG got = 0;
    // The destination may have called back into this library: a stream it
    // destroyed or reopened for writing cannot go on, and stopping with
    // S_OK would pass for the end of the stream. Read answers as the copy
    // must (E_FAIL when detached), the counts holding what was done.
    const HRESULT hr = Read(buffer, chunk, &got);
    if (FAILED(hr)) return hr;
    remaining = got < chunk ? 0 : remaining - chunk;
    if (pcbRead != nullptr) pcbRead->QuadPart += got;
    ULONG written = 0;
    if (FAILED(pstm->Write(buffer, got, &written))) return STG_E_MEDIUMFULL;
    if (pcbWritten != nullptr) pcbWritten->QuadPart += written;
    if (written != got) return STG_E_MEDIUMFULL;
  }
  return S_OK;
}

HRESULT CImplIStreamPlex::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
  if (!IsAlive()) return E_FAIL;
  if (pstatstg == nullptr) return STG_E_INVALIDPOINTER;
  const HRESULT named =
      StatName(block_id(), kStreamLayout, grfStatFlag, pstatstg);
  if (FAILED(named)) return named;
  const int* node = LocateBlock(block_id());
  pstatstg->type = STGTY_STREAM;
  pstatstg->cbSize.QuadPart = static_cast<uint32_t>(node[kStreamSizeWord]);
  pstatstg->grfMode = ReportedMode(node[kStreamOpenModeWord]);
  pstatstg->grfLocksSupported = 0;
  return S_OK;
}

HRESULT CImplIStreamPlex::Clone(IStream** ppstm) {
  if (ppstm != nullptr) *ppstm = nullptr;
  if (!IsAlive()) return E_FAIL;
  if (ppstm == nullptr) return STG_E_INVALIDPOINTER;
  if (!IsOpenForReading()) return STG_E_ACCESSDENIED;
  auto* clone = new (std::nothrow) CImplIStreamPlex(*this);
  if (clone == nullptr) return E_OUTOFMEMORY;
  *ppstm = clone;
  return S_OK;
}

HRESULT CImplIStreamPlex::Commit(DWORD) { return S_OK; }

HRESULT CImplIStreamPlex::Revert() { return S_OK; }

HRESULT CImplIStreamPlex::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
  return E_NOTIMPL;
}

HRESULT CImplIStreamPlex::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
  return E_NOTIMPL;
}

}  // namespace qss
