// The new tree made from what a salvaging walk keeps.
//
// The new tree is made through the library in the same plex, beside the old
// records: the root anchor is emptied (the old tree's blocks left as they
// are) so that the library makes a fresh root, each kept element is made
// under its old name, in its old order, and every stream's bytes are copied
// from its old data block, which is freed as soon as it is copied so that
// the plex never holds much more than the image. Last, every block of the
// old tree is freed.
#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "qsstorage/qsstorage.h"
#include "records/dms.h"
#include "records/plex.h"
#include "records/root_anchor.h"
#include "tools/qsplex/os/chunks.h"
#include "tools/qsplex/records/salvage.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {
namespace {

// The words of `block`, located afresh: making the new tree allocates.
const unsigned char* BlockBytes(int block) {
  return reinterpret_cast<const unsigned char*>(qss::LocateBlock(block));
}

HRESULT WideName(const std::string& ansi, WideString* out) {
  std::vector<OLECHAR> wide(ansi.size() + 1);
  if (qss::AnsiToWide(ansi.c_str(), wide.data(),
                      static_cast<int>(wide.size())) == 0 &&
      !ansi.empty()) {
    return STG_E_INVALIDNAME;
  }
  *out = wide.data();
  return S_OK;
}

// Copies the kept bytes of `element`'s old data block into `stream`.
HRESULT CopyData(const SalvagedElement& element, IStream* stream) {
  std::vector<unsigned char> chunk(
      static_cast<size_t>(std::min<uint64_t>(kChunkBytes, element.kept)));
  for (uint64_t at = 0; at < element.kept;) {
    const ULONG bytes =
        static_cast<ULONG>(std::min<uint64_t>(kChunkBytes, element.kept - at));
    std::memcpy(chunk.data(), BlockBytes(element.data) + at, bytes);
    ULONG written = 0;
    const HRESULT hr = stream->Write(chunk.data(), bytes, &written);
    if (FAILED(hr)) return hr;
    if (written != bytes) return STG_E_MEDIUMFULL;
    at += bytes;
  }
  return S_OK;
}

// Makes `element` in `parent`; a storage comes back in `*storage`.
HRESULT Make(IStorage* parent, const SalvagedElement& element,
             Ref<IStorage>* storage) {
  WideString name;
  HRESULT hr = WideName(element.name, &name);
  if (FAILED(hr)) return hr;
  if (element.kind == qss::kKindStorage) {
    hr = parent->CreateStorage(name.c_str(), kReadWrite, 0, 0, storage->Out());
    if (SUCCEEDED(hr)) hr = (*storage)->SetClass(element.clsid);
    return hr;
  }
  Ref<IStream> stream;
  hr = parent->CreateStream(name.c_str(), kReadWrite, 0, 0, stream.Out());
  if (SUCCEEDED(hr)) hr = CopyData(element, stream.get());
  if (FAILED(hr) && stream) {
    stream.Reset();
    parent->DestroyElement(name.c_str());
  }
  return hr;
}

}  // namespace

void RebuildTree(SalvagedTree* tree,
                 const std::vector<qss::AllocatedBlock>& old_blocks) {
  std::vector<SalvagedElement>& elements = tree->elements;
  qss::DetachRoot();
  std::vector<Ref<IStorage>> storages(elements.size());
  storages[0] = Ref<IStorage>(GetRootIStorage());
  if (elements[0].fate != Fate::kLost && storages[0]) {
    storages[0]->SetClass(elements[0].clsid);
  }
  std::vector<std::vector<int>> children(elements.size());
  for (size_t i = 1; i < elements.size(); ++i) {
    children[elements[i].parent].push_back(static_cast<int>(i));
  }
  std::unordered_set<int> freed;
  for (size_t s = 0; s < elements.size(); ++s) {
    // Lists run newest first: the oldest is made first to keep the order.
    for (auto child = children[s].rbegin(); child != children[s].rend();
         ++child) {
      SalvagedElement& element = elements[*child];
      if (element.fate == Fate::kLost) continue;
      if (!storages[s]) {
        element.fate = Fate::kLost;
        element.problems.push_back("its storage could not be made");
        continue;
      }
      const HRESULT hr = Make(storages[s].get(), element, &storages[*child]);
      if (FAILED(hr)) {
        element.fate = Fate::kLost;
        element.problems.push_back("cannot be made: " + DescribeResult(hr));
      }
      if (element.data != 0) {
        DMS_ATFREE(&element.data);
        freed.insert(element.data);
      }
    }
    storages[s].Reset();
  }
  for (const qss::AllocatedBlock& block : old_blocks) {
    if (block.id == 1 || block.id == qss::kAnchorBlock ||
        freed.count(block.id) != 0) {
      continue;
    }
    DMS_ATFREE(&block.id);
  }
}

}  // namespace qsplex
