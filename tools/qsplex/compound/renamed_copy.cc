#include "tools/qsplex/compound/renamed_copy.h"

#include <string>

#include "support/com_ref.h"
#include "tools/qsplex/os/chunks.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {
namespace {

using qss_support::Ref;

// Copies the bytes of the stream `name` of `from` into a new stream
// `new_name` of `to`. `*in_dest` tells on failure whether a call on `to`'s
// side failed.
HRESULT CopyStream(IStorage* from, const WideString& name, IStorage* to,
                   const WideString& new_name, Progress* progress,
                   bool* in_dest) {
  Ref<IStream> in;
  Ref<IStream> out;
  *in_dest = false;
  HRESULT hr =
      from->OpenStream(name.c_str(), nullptr, kRead, 0, in.Out());
  if (FAILED(hr)) return hr;
  *in_dest = true;
  hr = to->CreateStream(new_name.c_str(), kReadWrite, 0, 0, out.Out());
  std::vector<unsigned char> buffer(kChunkBytes);
  while (SUCCEEDED(hr)) {
    ULONG got = 0;
    *in_dest = false;
    hr = in->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &got);
    if (FAILED(hr) || got == 0) break;
    *in_dest = true;
    ULONG written = 0;
    hr = out->Write(buffer.data(), got, &written);
    if (SUCCEEDED(hr) && written != got) hr = STG_E_MEDIUMFULL;
    progress->Wrote(got);
  }
  return hr;
}

}  // namespace

HRESULT CopyRenamed(IStorage* source, IStorage* dest,
                    const std::vector<TreeNode>& nodes,
                    const std::vector<WideString>& names, Progress* progress,
                    int* failed, bool* in_dest) {
  std::vector<Ref<IStorage>> from(nodes.size());
  std::vector<Ref<IStorage>> to(nodes.size());
  source->AddRef();
  from[0] = Ref<IStorage>(source);
  dest->AddRef();
  to[0] = Ref<IStorage>(dest);
  const CLSID none = {};
  *failed = 0;
  *in_dest = true;
  HRESULT hr = nodes[0].clsid != none ? dest->SetClass(nodes[0].clsid) : S_OK;
  std::vector<std::string> paths(nodes.size(), "");
  for (size_t i = 1; i < nodes.size() && SUCCEEDED(hr); ++i) {
    const TreeNode& node = nodes[i];
    *failed = static_cast<int>(i);
    if (node.name.empty() || !from[node.parent]) continue;
    const WideString& name = names[i].empty() ? node.name : names[i];
    paths[i] = paths[node.parent] + "/" + ShownName(name.c_str());
    progress->Created(paths[i], node.type == STGTY_STREAM);
    if (node.type == STGTY_STREAM) {
      hr = CopyStream(from[node.parent].get(), node.name,
                      to[node.parent].get(), name, progress, in_dest);
    } else if (node.type == STGTY_STORAGE) {
      *in_dest = false;
      hr = from[node.parent]->OpenStorage(node.name.c_str(), nullptr, kRead,
                                          nullptr, 0, from[i].Out());
      if (FAILED(hr)) break;
      *in_dest = true;
      hr = to[node.parent]->CreateStorage(name.c_str(), kReadWrite, 0, 0,
                                          to[i].Out());
      if (SUCCEEDED(hr) && node.clsid != none) hr = to[i]->SetClass(node.clsid);
    }
  }
  return hr;
}

}  // namespace qsplex
