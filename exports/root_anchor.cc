#include "exports/root_anchor.h"

#include <new>

#include "records/lifetime.h"
#include "records/names.h"
#include "records/node_records.h"
#include "records/plex.h"
#include "records/root_anchor.h"
#include "storage/storage_plex.h"

namespace qss {
namespace {

constexpr int kRootOpenMode = STGM_READWRITE | STGM_SHARE_DENY_NONE;  // 0x42

// {BE0E1A90-BCFD-11D2-823A-00C04F6E771B}
constexpr CLSID kRootClassId = {
    0xBE0E1A90,
    0xBCFD,
    0x11D2,
    {0x82, 0x3A, 0x00, 0xC0, 0x4F, 0x6E, 0x77, 0x1B}};

}  // namespace

IStorage* OpenRootStorage() {
  const int anchored = RootAnchor();
  if (anchored != 0) {
    auto* root = new (std::nothrow) CIStoragePlex(anchored);
    if (root != nullptr) root->SetOpenModeIfNotOpen(kRootOpenMode);
    return root;
  }
  CIStoragePlex* root = CreateStorageNode(NameKeyOf("Root"));
  if (root == nullptr) return nullptr;
  root->SetOpenModeIfNotOpen(kRootOpenMode);
  root->SetClassId(kRootClassId);
  RootAnchor() = root->block_id();
  return root;
}

void ClearRoot() {
  const int root = RootAnchor();
  RootAnchor() = 0;
  DeleteNode(root, kKindStorage);
}

void ResetOpenState() { CloseSubtree(RootAnchor()); }

}  // namespace qss
