// CIStoragePlex: the library's IStorage, a small heap object over one
// StorageNode. It keeps only the node's block id and a reference count;
// everything else is read from the plex at each operation.
#ifndef QSSTORAGE_STORAGE_STORAGE_PLEX_H_
#define QSSTORAGE_STORAGE_STORAGE_PLEX_H_

#include "platform/com.h"
#include "records/claims.h"
#include "records/names.h"

namespace qss {

class CIStoragePlex final : public IStorage {
 public:
  // An object over the node `block_id` with a reference count of 1. Making
  // it changes nothing in the plex.
  explicit CIStoragePlex(int block_id);
  CIStoragePlex(const CIStoragePlex&) = delete;
  CIStoragePlex& operator=(const CIStoragePlex&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IStorage
  HRESULT STDMETHODCALLTYPE CreateStream(const OLECHAR* pwcsName, DWORD grfMode,
                                         DWORD reserved1, DWORD reserved2,
                                         IStream** ppstm) override;
  HRESULT STDMETHODCALLTYPE OpenStream(const OLECHAR* pwcsName, void* reserved1,
                                       DWORD grfMode, DWORD reserved2,
                                       IStream** ppstm) override;
  HRESULT STDMETHODCALLTYPE CreateStorage(const OLECHAR* pwcsName,
                                          DWORD grfMode, DWORD reserved1,
                                          DWORD reserved2,
                                          IStorage** ppstg) override;
  HRESULT STDMETHODCALLTYPE OpenStorage(const OLECHAR* pwcsName,
                                        IStorage* pstgPriority, DWORD grfMode,
                                        SNB snbExclude, DWORD reserved,
                                        IStorage** ppstg) override;
  // CopyTo and MoveElementTo reach the destination only through IStorage
  // and IStream. A destination that is one of our storages over the copied
  // storage or a node below it gives STG_E_ACCESSDENIED before anything is
  // created; null pointers give STG_E_INVALIDPOINTER. Elements without a
  // name are not copied, so a move (STGMOVE_MOVE) of a storage holding one
  // at any depth gives STG_E_INVALIDFUNCTION before anything is created,
  // the source whole. What was copied before a failure stays; a move
  // restores the source element's open mode. CopyTo with a ciidExclude of 0
  // and a non-null rgiidExclude copies no element, only the class id (the
  // destination's SetClass, its result ignored): callers copy a storage's
  // class id alone this way, a list whose count is 0 reading as "leave out
  // every element".
  HRESULT STDMETHODCALLTYPE CopyTo(DWORD ciidExclude, const IID* rgiidExclude,
                                   SNB snbExclude, IStorage* pstgDest) override;
  HRESULT STDMETHODCALLTYPE MoveElementTo(const OLECHAR* pwcsName,
                                          IStorage* pstgDest,
                                          const OLECHAR* pwcsNewName,
                                          DWORD grfFlags) override;
  HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) override;
  HRESULT STDMETHODCALLTYPE Revert() override;
  HRESULT STDMETHODCALLTYPE EnumElements(DWORD reserved1, void* reserved2,
                                         DWORD reserved3,
                                         IEnumSTATSTG** ppenum) override;
  HRESULT STDMETHODCALLTYPE DestroyElement(const OLECHAR* pwcsName) override;
  HRESULT STDMETHODCALLTYPE RenameElement(const OLECHAR* pwcsOldName,
                                          const OLECHAR* pwcsNewName) override;
  HRESULT STDMETHODCALLTYPE SetElementTimes(const OLECHAR* pwcsName,
                                            const FILETIME* pctime,
                                            const FILETIME* patime,
                                            const FILETIME* pmtime) override;
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) override;
  HRESULT STDMETHODCALLTYPE SetStateBits(DWORD grfStateBits,
                                         DWORD grfMask) override;
  // Stat fills pwcsName, type, grfMode and clsid only; every other field
  // stays as the caller had it, and so does pwcsName with STATFLAG_NONAME.
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;

  // Operations shared by the storage operations. Each starts from the
  // liveness check: on a detached object, or one whose node is marked
  // deleted, it does nothing and answers 0, false or GUID_NULL. Finding the
  // node deleted detaches the object (block_id() becomes 0), so IsAlive and
  // GetClassId, reads as their names are, may detach it too.

  int block_id() const { return node_.block_id(); }
  bool IsAlive() { return LiveNode() != nullptr; }
  // The open mode with -1 reported as 0.
  int GetOpenMode();
  void SetOpenModeIfNotOpen(int mode);
  // Stores `mode` whatever the node held (a move restores a mode this way).
  void SetOpenMode(int mode);
  bool IsOpenForWriting();
  CLSID GetClassId();
  void SetClassId(const CLSID& clsid);

 private:
  ~CIStoragePlex() = default;
  // The liveness check every operation starts from: the node's address, or
  // null when the object is detached or finds its node deleted (it then
  // detaches itself).
  int* LiveNode();

  NodeClaim node_;
  ULONG ref_count_ = 1;
};

// A new unlinked StorageNode named by `key`, open mode -1, and an object
// over it. Null when the store or the heap is full; the node is then not
// left behind.
CIStoragePlex* CreateStorageNode(const NameKey& key);

}  // namespace qss

#endif  // QSSTORAGE_STORAGE_STORAGE_PLEX_H_
