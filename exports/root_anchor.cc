#include "exports/root_anchor.h"

#include <new>

#include "records/claims.h"
#include "records/node_records.h"
#include "records/plex.h"
#include "storage/storage_plex.h"

namespace qss {
namespace {

constexpr int kRootOpenMode = STGM_READWRITE | STGM_SHARE_DENY_NONE;  // 0x42

// {BE0E1A90-BCFD-11D2-823A-00C04F6E771B}
constexpr CLSID kRootClassId = {
    0xBE0E1A90, 0xBCFD, 0x11D2, {0x82, 0x3A, 0x00, 0xC0, 0x4F, 0x6E, 0x77, 0x1B}};

int& RootAnchor() { return LocateBlock(kAnchorBlock)[kAnchorWord]; }

}  // namespace

const CLSID& RootClassId() { return kRootClassId; }

int RootNodeId() { return RootAnchor(); }

IStorage* OpenRootStorage() {
  const int anchored = RootAnchor();
  if (anchored != 0) {
    auto* root = new (std::nothrow) CIStoragePlex(anchored);
    if (root != nullptr) root->SetOpenModeIfNotOpen(kRootOpenMode);
    return root;
  }
  CIStoragePlex* root = CreateStorageNode("Root");
  if (root == nullptr) return nullptr;
  root->SetOpenModeIfNotOpen(kRootOpenMode);
  root->SetClassId(kRootClassId);
  RootAnchor() = root->block_id();
  return root;
}

void ClearRoot() {
  const int root = RootAnchor();
  RootAnchor() = 0;
  ReleaseSubtree(root);
}

void ResetOpenState() {
  const int root = RootAnchor();
  if (root == 0) return;
  // Depth first without recursion or extra memory: while a sub-storage is
  // walked, its open-count word holds its parent and its open-mode word the
  // entry it hangs from; both get their closed values when it is left.
  int current = root;
  int entry_id = LocateBlock(root)[kStorageFirstEntryWord];
  for (;;) {
    while (entry_id != 0) {
      const int* entry = LocateBlock(entry_id);
      const int kind = entry[kEntryKindWord];
      const int child = entry[kEntryChildWord];
      if (child != 0 && kind == kKindStorage) {
        int* node = LocateBlock(child);
        node[kStorageOpenCountWord] = current;
        node[kStorageOpenModeWord] = entry_id;
        current = child;
        entry_id = node[kStorageFirstEntryWord];
        continue;
      }
      if (child != 0 && kind == kKindStream) {
        int* node = LocateBlock(child);
        node[kStreamOpenCountWord] = 0;
        node[kStreamOpenModeWord] = kNotOpen;
      }
      entry_id = entry[kEntryNextWord];
    }
    int* node = LocateBlock(current);
    if (current == root) {
      node[kStorageOpenCountWord] = 0;
      node[kStorageOpenModeWord] = kNotOpen;
      return;
    }
    const int parent = node[kStorageOpenCountWord];
    const int own_entry = node[kStorageOpenModeWord];
    node[kStorageOpenCountWord] = 0;
    node[kStorageOpenModeWord] = kNotOpen;
    current = parent;
    entry_id = LocateBlock(own_entry)[kEntryNextWord];
  }
}

}  // namespace qss
