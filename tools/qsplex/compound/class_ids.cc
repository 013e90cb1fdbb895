#include "tools/qsplex/compound/class_ids.h"

#include <new>
#include <utility>
#include <vector>

#include "support/com_ref.h"

namespace qsplex {
namespace {

using qss_support::Ref;

constexpr DWORD kSourceMode = STGM_READ | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kDestMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

// A storage of the source with its copy, and the sub-storages of the
// source, listed before any is opened so that no enumerator stays open
// while the walk goes down.
struct Level {
  Ref<IStorage> source, dest;
  std::vector<std::pair<WideString, CLSID>> storages;
  size_t next = 0;  // the next of `storages` to visit
};

HRESULT ListStorages(IStorage* source,
                     std::vector<std::pair<WideString, CLSID>>* out) {
  Ref<IEnumSTATSTG> elements;
  HRESULT hr = source->EnumElements(0, nullptr, 0, elements.Out());
  if (FAILED(hr)) return hr;
  STATSTG stat = {};
  while (SUCCEEDED(hr) && elements->Next(1, &stat, nullptr) == S_OK) {
    try {
      // An element without a name is left out of copies, so it has none.
      if (stat.type == STGTY_STORAGE && stat.pwcsName != nullptr &&
          *stat.pwcsName != 0) {
        out->emplace_back(stat.pwcsName, stat.clsid);
      }
    } catch (const std::bad_alloc&) {
      hr = E_OUTOFMEMORY;
    }
    CoTaskMemFree(stat.pwcsName);
    stat = STATSTG{};
  }
  return hr;
}

HRESULT SetClassUnlessNull(IStorage* dest, const CLSID& clsid) {
  return clsid == CLSID{} ? S_OK : dest->SetClass(clsid);
}

// Releases the levels past the first `keep`, deepest first: the platform's
// compound file reverts what is open below a storage once it is released.
void CloseBelow(std::vector<Level>* levels, size_t keep) {
  while (levels->size() > keep) levels->pop_back();
}

// Walks down from the last of `levels`, keeping every storage open while
// anything below it is written.
HRESULT Walk(std::vector<Level>* levels, CopyFailure* failure) {
  while (!levels->empty()) {
    Level& level = levels->back();
    if (level.next == level.storages.size()) {
      levels->pop_back();
      continue;
    }
    const auto& storage = level.storages[level.next++];
    const OLECHAR* name = storage.first.c_str();
    Level child;
    bool in_dest = false;
    HRESULT hr = level.source->OpenStorage(name, nullptr, kSourceMode, nullptr,
                                           0, child.source.Out());
    if (SUCCEEDED(hr)) {
      in_dest = true;
      hr = level.dest->OpenStorage(name, nullptr, kDestMode, nullptr, 0,
                                   child.dest.Out());
    }
    if (SUCCEEDED(hr))
      hr = SetClassUnlessNull(child.dest.get(), storage.second);
    if (SUCCEEDED(hr)) {
      in_dest = false;
      hr = ListStorages(child.source.get(), &child.storages);
    }
    if (FAILED(hr)) {
      if (failure != nullptr) {
        failure->in_dest = in_dest;
        for (const Level& above : *levels) {
          failure->names.push_back(above.storages[above.next - 1].first);
        }
      }
      return hr;
    }
    levels->push_back(std::move(child));
  }
  return S_OK;
}

// Sets `clsid` on the storage at `names` below `top`, the last name first,
// with every storage on the way open until it is set.
HRESULT SetClassBelow(IStorage* top, const std::vector<const OLECHAR*>& names,
                      const CLSID& clsid) {
  std::vector<Ref<IStorage>> open;
  open.reserve(names.size());
  IStorage* storage = top;
  HRESULT hr = S_OK;
  for (auto name = names.rbegin(); name != names.rend() && SUCCEEDED(hr);
       ++name) {
    Ref<IStorage> child;
    hr = storage->OpenStorage(*name, nullptr, kDestMode, nullptr, 0,
                              child.Out());
    storage = child.get();
    open.push_back(std::move(child));
  }
  if (SUCCEEDED(hr)) hr = storage->SetClass(clsid);
  while (!open.empty()) open.pop_back();
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
    const HRESULT hr = SetClassBelow(dest, names, nodes[i].clsid);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT CopyClassIds(IStorage* source, IStorage* dest, CopyFailure* failure) {
  STATSTG stat = {};
  HRESULT hr = source->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  hr = SetClassUnlessNull(dest, stat.clsid);
  if (FAILED(hr)) {
    if (failure != nullptr) failure->in_dest = true;
    return hr;
  }
  std::vector<Level> levels;
  try {
    levels.emplace_back();
    source->AddRef();
    levels.back().source = Ref<IStorage>(source);
    dest->AddRef();
    levels.back().dest = Ref<IStorage>(dest);
    hr = ListStorages(source, &levels.back().storages);
    if (SUCCEEDED(hr)) hr = Walk(&levels, failure);
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  }
  CloseBelow(&levels, 0);
  return hr;
}

}  // namespace qsplex
