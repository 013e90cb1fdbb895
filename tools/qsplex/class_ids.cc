#include "tools/qsplex/class_ids.h"

#include <new>
#include <utility>
#include <vector>

namespace qsplex {
namespace {

constexpr DWORD kSourceMode = STGM_READ | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kDestMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

// A storage of the source and its copy, both owned.
struct Pair {
  IStorage* source;
  IStorage* dest;
};

void Close(const Pair& pair) {
  pair.source->Release();
  pair.dest->Release();
}

// Every sub-storage of `source` with its class id, listed before any is
// opened, so no enumerator stays open while the walk goes down.
HRESULT ListStorages(IStorage* source,
                     std::vector<std::pair<OLECHAR*, CLSID>>* out) {
  IEnumSTATSTG* elements = nullptr;
  HRESULT hr = source->EnumElements(0, nullptr, 0, &elements);
  if (FAILED(hr)) return hr;
  STATSTG stat = {};
  while (SUCCEEDED(hr) && elements->Next(1, &stat, nullptr) == S_OK) {
    try {
      if (stat.type == STGTY_STORAGE && stat.pwcsName != nullptr) {
        out->emplace_back(stat.pwcsName, stat.clsid);
        stat.pwcsName = nullptr;
      }
    } catch (const std::bad_alloc&) {
      hr = E_OUTOFMEMORY;
    }
    CoTaskMemFree(stat.pwcsName);
    stat = STATSTG{};
  }
  elements->Release();
  return hr;
}

HRESULT OpenPair(const Pair& parent, const OLECHAR* name, Pair* out) {
  *out = Pair{nullptr, nullptr};
  HRESULT hr = parent.source->OpenStorage(name, nullptr, kSourceMode, nullptr,
                                          0, &out->source);
  if (FAILED(hr)) return hr;
  hr = parent.dest->OpenStorage(name, nullptr, kDestMode, nullptr, 0,
                                &out->dest);
  if (FAILED(hr)) {
    out->source->Release();
    out->source = nullptr;
  }
  return hr;
}

HRESULT SetClassUnlessNull(IStorage* dest, const CLSID& clsid) {
  return clsid == CLSID{} ? S_OK : dest->SetClass(clsid);
}

HRESULT Walk(std::vector<Pair>* pending) {
  std::vector<std::pair<OLECHAR*, CLSID>> storages;
  HRESULT hr = S_OK;
  while (!pending->empty() && SUCCEEDED(hr)) {
    const Pair pair = pending->back();
    pending->pop_back();
    storages.clear();
    hr = ListStorages(pair.source, &storages);
    for (const auto& storage : storages) {
      Pair child{nullptr, nullptr};
      if (SUCCEEDED(hr)) hr = OpenPair(pair, storage.first, &child);
      if (SUCCEEDED(hr)) hr = SetClassUnlessNull(child.dest, storage.second);
      if (child.source != nullptr) {
        try {
          pending->push_back(child);
        } catch (const std::bad_alloc&) {
          Close(child);
          hr = E_OUTOFMEMORY;
        }
      }
      CoTaskMemFree(storage.first);
    }
    Close(pair);
  }
  return hr;
}

// Opens the storage at `names` below `top`, the last name first.
HRESULT OpenBelow(IStorage* top, const std::vector<const OLECHAR*>& names,
                  IStorage** out) {
  top->AddRef();
  IStorage* storage = top;
  HRESULT hr = S_OK;
  for (auto name = names.rbegin(); name != names.rend() && SUCCEEDED(hr);
       ++name) {
    IStorage* child = nullptr;
    hr = storage->OpenStorage(*name, nullptr, kDestMode, nullptr, 0, &child);
    storage->Release();
    storage = child;
  }
  *out = SUCCEEDED(hr) ? storage : nullptr;
  return hr;
}

}  // namespace

HRESULT SetClassIds(IStorage* dest, const std::vector<TreeNode>& nodes) {
  std::vector<const OLECHAR*> names;
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i].type != STGTY_STORAGE || nodes[i].clsid == CLSID{}) continue;
    names.clear();
    bool named = true;
    for (int at = static_cast<int>(i); at > 0; at = nodes[at].parent) {
      named = named && !nodes[at].name.empty();
      names.push_back(nodes[at].name.c_str());
    }
    if (!named) continue;
    IStorage* storage = nullptr;
    HRESULT hr = OpenBelow(dest, names, &storage);
    if (SUCCEEDED(hr)) {
      hr = storage->SetClass(nodes[i].clsid);
      storage->Release();
    }
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT CopyClassIds(IStorage* source, IStorage* dest) {
  STATSTG stat = {};
  HRESULT hr = source->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  hr = SetClassUnlessNull(dest, stat.clsid);
  if (FAILED(hr)) return hr;
  std::vector<Pair> pending;
  try {
    pending.reserve(16);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  source->AddRef();
  dest->AddRef();
  pending.push_back({source, dest});
  hr = Walk(&pending);
  for (const Pair& pair : pending) Close(pair);
  return hr;
}

}  // namespace qsplex
