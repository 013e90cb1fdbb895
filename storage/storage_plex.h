// CIStoragePlex: the library's IStorage, a small heap object over one
// StorageNode. It keeps only the node's block id and a reference count;
// everything else is read from the plex at each operation.
#ifndef QSSTORAGE_STORAGE_STORAGE_PLEX_H_
#define QSSTORAGE_STORAGE_STORAGE_PLEX_H_

#include "platform/com.h"
#include "records/claims.h"

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
  HRESULT STDMETHODCALLTYPE CreateStream(const OLECHAR* pwcsName,
                                         DWORD grfMode, DWORD reserved1,
                                         DWORD reserved2,
                                         IStream** ppstm) override;
  HRESULT STDMETHODCALLTYPE OpenStream(const OLECHAR* pwcsName,
                                       void* reserved1, DWORD grfMode,
                                       DWORD reserved2,
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
  // restores the source element's open mode.
  HRESULT STDMETHODCALLTYPE CopyTo(DWORD ciidExclude, const IID* rgiidExclude,
                                   SNB snbExclude,
                                   IStorage* pstgDest) override;
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
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;

  // Operations shared by the storage operations. All work on the object's
  // block id and do nothing (or answer 0/false) on a detached object.

  int block_id() const { return node_.block_id(); }
  // False when detached; a node found deleted detaches the object first.
  bool IsAlive();
  // The open mode with -1 reported as 0.
  int GetOpenMode();
  void SetOpenModeIfNotOpen(int mode);
  // Stores `mode` whatever the node held (a move restores a mode this way).
  void SetOpenMode(int mode);
  bool IsOpenForWriting();
  // The ANSI name in a new malloc buffer, or null (no name, no memory).
  char* GetName();
  // Stores a new name; false, with the node unchanged, when the store could
  // not hold it. `ansi` is an ANSI name, not null.
  bool SetName(const char* ansi);
  CLSID GetClassId();
  void SetClassId(const CLSID& clsid);
  // Links a new entry at the head of the list; false on a deleted node or
  // when the store is full.
  bool AddElementEntry(int child, int kind);
  // Unlinks and frees the entry naming `child`; false when there is none.
  bool RemoveElementEntry(int child);
  // Unlinks and frees `entry_id`, an entry of this storage's list.
  void UnlinkEntry(int entry_id);
  // The child named `ansi` and its kind, or 0 (with `*kind` unchanged).
  // `entry_id`, when not null, receives the entry naming the child.
  int FindElement(const char* ansi, int* kind, int* entry_id = nullptr);
  // Unlinks a child and releases it: a storage with its subtree, a stream
  // marked deleted and freed unless it is open; objects over a freed node
  // are detached. `entry_id` is the child's entry when the caller has just
  // found it, saving a second walk of the list; 0 looks it up.
  void DestroyChild(int child, int kind, int entry_id = 0);

 private:
  ~CIStoragePlex() = default;

  NodeClaim node_;
  ULONG ref_count_ = 1;
};

// A new unlinked StorageNode named `ansi` (null: one zero word), open mode
// -1, and an object over it. Null when the store or the heap is full; the
// node is then not left behind.
CIStoragePlex* CreateStorageNode(const char* ansi);

// Marks the StorageNode and everything below it deleted and frees what no
// object holds. Its own entry in a parent list is the caller's to unlink.
// Walks the subtree without recursion.
void ReleaseSubtree(int block_id);

}  // namespace qss

#endif  // QSSTORAGE_STORAGE_STORAGE_PLEX_H_
