#include <cstring>
#include <new>

#include "records/names.h"
#include "records/node_records.h"
#include "records/plex.h"
#include "storage/storage_plex.h"

namespace qss {

CIStoragePlex::CIStoragePlex(int block_id) : node_(block_id) {}

HRESULT CIStoragePlex::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (IsNullAddress(&riid)) return E_NOINTERFACE;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IStorage)) {
    return E_NOINTERFACE;
  }
  *ppv = static_cast<IStorage*>(this);
  AddRef();
  return S_OK;
}

ULONG CIStoragePlex::AddRef() { return ++ref_count_; }

ULONG CIStoragePlex::Release() {
  if (--ref_count_ != 0) return ref_count_;
  delete this;
  return 0;
}

bool CIStoragePlex::IsAlive() {
  if (block_id() == 0) return false;
  if (LocateBlock(block_id())[kStorageDeletedWord] != 0) {
    node_.Drop();
    return false;
  }
  return true;
}

int CIStoragePlex::GetOpenMode() {
  if (block_id() == 0) return 0;
  return ReportedMode(LocateBlock(block_id())[kStorageOpenModeWord]);
}

void CIStoragePlex::SetOpenModeIfNotOpen(int mode) {
  if (block_id() == 0) return;
  int* node = LocateBlock(block_id());
  if (node[kStorageOpenModeWord] == kNotOpen) node[kStorageOpenModeWord] = mode;
}

void CIStoragePlex::SetOpenMode(int mode) {
  if (block_id() == 0) return;
  LocateBlock(block_id())[kStorageOpenModeWord] = mode;
}

bool CIStoragePlex::IsOpenForWriting() {
  if (block_id() == 0) return false;
  return ModeAllowsWriting(LocateBlock(block_id())[kStorageOpenModeWord]);
}

char* CIStoragePlex::GetName() {
  if (block_id() == 0) return nullptr;
  return ReadNodeName(block_id(), kStorageLayout);
}

bool CIStoragePlex::SetName(const char* ansi) {
  if (block_id() == 0) return false;
  return StoreNodeName(block_id(), kStorageLayout, ansi);
}

CLSID CIStoragePlex::GetClassId() {
  CLSID clsid = GUID_NULL;
  if (block_id() == 0) return clsid;
  const int* node = LocateBlock(block_id());
  if (node[kStorageDeletedWord] != 0) {
    node_.Drop();
    return clsid;
  }
  std::memcpy(&clsid, node + kStorageClassIdWord, sizeof clsid);
  return clsid;
}

void CIStoragePlex::SetClassId(const CLSID& clsid) {
  if (block_id() == 0) return;
  int* node = LocateBlock(block_id());
  if (node[kStorageDeletedWord] != 0) {
    node_.Drop();
    return;
  }
  std::memcpy(node + kStorageClassIdWord, &clsid, sizeof clsid);
}

bool CIStoragePlex::AddElementEntry(int child, int kind) {
  if (block_id() == 0) return false;
  if (LocateBlock(block_id())[kStorageDeletedWord] != 0) return false;
  const int entry_id = AllocateBlock(kEntryWords);
  if (entry_id == 0) return false;
  int* entry = LocateBlock(entry_id);
  entry[kEntryKindWord] = kind;
  entry[kEntryChildWord] = child;
  // `node` is located after the allocation; nothing else moved anyway.
  int* node = LocateBlock(block_id());
  const int old = node[kStorageFirstEntryWord];
  node[kStorageFirstEntryWord] = entry_id;
  if (old != 0) {
    LocateBlock(old)[kEntryPreviousWord] = entry_id;
    entry[kEntryNextWord] = old;
  }
  return true;
}

bool CIStoragePlex::RemoveElementEntry(int child) {
  if (block_id() == 0) return false;
  const int* node = LocateBlock(block_id());
  for (int id = node[kStorageFirstEntryWord]; id != 0;) {
    const int* entry = LocateBlock(id);
    if (entry[kEntryChildWord] == child) {
      UnlinkEntry(id);
      return true;
    }
    id = entry[kEntryNextWord];
  }
  return false;
}

void CIStoragePlex::UnlinkEntry(int entry_id) {
  int* node = LocateBlock(block_id());
  const int* entry = LocateBlock(entry_id);
  const int next = entry[kEntryNextWord];
  const int previous = entry[kEntryPreviousWord];
  if (next != 0) LocateBlock(next)[kEntryPreviousWord] = previous;
  if (previous != 0) LocateBlock(previous)[kEntryNextWord] = next;
  if (node[kStorageFirstEntryWord] == entry_id) {
    node[kStorageFirstEntryWord] = next;
  }
  // Nothing reaches the entry any more: enumerators step past it and the
  // block goes back to the store.
  MoveCursorsOff(entry_id, next);
  FreeBlock(entry_id);
}

int CIStoragePlex::FindElement(const char* ansi, int* kind, int* entry_id) {
  if (block_id() == 0 || ansi == nullptr) return 0;
  const int* node = LocateBlock(block_id());
  if (node[kStorageDeletedWord] != 0) return 0;
  const size_t length = std::strlen(ansi);
  // Names come from ToAnsiName, which refuses longer ones; a key holds no
  // more.
  if (length > kMaxAnsiNameBytes) return 0;
  NameKey key;
  MakeNameKey(ansi, length, &key);
  for (const int* link = node + kStorageFirstEntryWord; *link != 0;) {
    const int* entry = LocateBlockAt(link);
    const int child = entry[kEntryChildWord];
    const int entry_kind = entry[kEntryKindWord];
    if (child != 0 &&
        (entry_kind == kKindStorage || entry_kind == kKindStream) &&
        NodeNameEquals(LocateBlockAt(entry + kEntryChildWord),
                       LayoutOf(entry_kind), key)) {
      *kind = entry_kind;
      if (entry_id != nullptr) *entry_id = *link;
      return child;
    }
    link = entry + kEntryNextWord;
  }
  return 0;
}

void CIStoragePlex::DestroyChild(int child, int kind, int entry_id) {
  if (entry_id != 0) {
    UnlinkEntry(entry_id);
  } else {
    RemoveElementEntry(child);
  }
  if (kind == kKindStorage) {
    ReleaseSubtree(child);
    return;
  }
  LocateBlock(child)[kStreamDeletedWord] = 1;
  FreeNodeIfUnused(child, kKindStream);
}

CIStoragePlex* CreateStorageNode(const char* ansi) {
  const int id = AllocateNamedNode(kStorageLayout, ansi);
  if (id == 0) return nullptr;
  LocateBlock(id)[kStorageOpenModeWord] = kNotOpen;
  auto* storage = new (std::nothrow) CIStoragePlex(id);
  if (storage == nullptr) {
    FreeBlock(id);
    return nullptr;
  }
  storage->SetClassId(GUID_NULL);
  return storage;
}

void ReleaseSubtree(int block_id) {
  if (block_id == 0) return;
  // Depth first without recursion: entries are taken off the head of each
  // list as they are released, and a sub-storage being released keeps the
  // way back (its parent and its own entry) in its class id words, which
  // mean nothing once the node is deleted.
  constexpr int kReturnParentWord = kStorageClassIdWord;
  constexpr int kReturnEntryWord = kStorageClassIdWord + 1;
  int current = block_id;
  for (;;) {
    int* node = LocateBlock(current);
    const int entry_id = node[kStorageFirstEntryWord];
    if (entry_id != 0) {
      const int* entry = LocateBlock(entry_id);
      const int next = entry[kEntryNextWord];
      const int kind = entry[kEntryKindWord];
      const int child = entry[kEntryChildWord];
      node[kStorageFirstEntryWord] = next;
      MoveCursorsOff(entry_id, next);
      if (child != 0 && kind == kKindStorage) {
        int* child_node = LocateBlock(child);
        child_node[kReturnParentWord] = current;
        child_node[kReturnEntryWord] = entry_id;
        current = child;
        continue;
      }
      if (child != 0 && kind == kKindStream) {
        LocateBlock(child)[kStreamDeletedWord] = 1;
        FreeNodeIfUnused(child, kKindStream);
      }
      FreeBlock(entry_id);
      continue;
    }
    node[kStorageDeletedWord] = 1;
    if (current == block_id) {
      FreeNodeIfUnused(current, kKindStorage);
      return;
    }
    const int parent = node[kReturnParentWord];
    const int own_entry = node[kReturnEntryWord];
    FreeNodeIfUnused(current, kKindStorage);
    FreeBlock(own_entry);
    current = parent;
  }
}

}  // namespace qss
