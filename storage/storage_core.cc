#include <cstring>
#include <new>

#include "records/lifetime.h"
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

int* CIStoragePlex::LiveNode() {
  if (block_id() == 0) return nullptr;
  int* node = LocateBlock(block_id());
  if (IsDeleted(node, kStorageLayout)) {
    node_.Drop();
    return nullptr;
  }
  return node;
}

int CIStoragePlex::GetOpenMode() {
  const int* node = LiveNode();
  return node == nullptr ? 0 : ReportedMode(node[kStorageOpenModeWord]);
}

void CIStoragePlex::SetOpenModeIfNotOpen(int mode) {
  int* node = LiveNode();
  if (node != nullptr && node[kStorageOpenModeWord] == kNotOpen) {
    node[kStorageOpenModeWord] = mode;
  }
}

void CIStoragePlex::SetOpenMode(int mode) {
  int* node = LiveNode();
  if (node != nullptr) node[kStorageOpenModeWord] = mode;
}

bool CIStoragePlex::IsOpenForWriting() {
  const int* node = LiveNode();
  return node != nullptr && ModeAllowsWriting(node[kStorageOpenModeWord]);
}

CLSID CIStoragePlex::GetClassId() {
  CLSID clsid = GUID_NULL;
  const int* node = LiveNode();
  if (node != nullptr) {
    std::memcpy(&clsid, node + kStorageClassIdWord, sizeof clsid);
  }
  return clsid;
}

void CIStoragePlex::SetClassId(const CLSID& clsid) {
  int* node = LiveNode();
  if (node != nullptr) {
    std::memcpy(node + kStorageClassIdWord, &clsid, sizeof clsid);
  }
}

CIStoragePlex* CreateStorageNode(const NameKey& key) {
  const int id = AllocateNamedNode(kStorageLayout, key);
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

}  // namespace qss
