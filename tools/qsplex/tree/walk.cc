#include "tools/qsplex/tree/walk.h"

#include <iterator>
#include <utility>

namespace qsplex {
namespace {

// Releases the storages of `open` past the first `keep`, deepest first.
void CloseBelow(std::vector<Ref<IStorage>>* open, size_t keep) {
  while (open->size() > keep) open->pop_back();
}

}  // namespace

bool NextElement(IEnumSTATSTG* elements, STATSTG* stat) {
  *stat = STATSTG{};
  return elements->Next(1, stat, nullptr) == S_OK;
}

HRESULT LoadTree(IStorage* top, const WideString& top_name, bool open_streams,
                 std::vector<TreeNode>* nodes, int* failed) {
  STATSTG stat = {};
  nodes->clear();
  *failed = 0;
  HRESULT hr = top->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) return hr;
  stat.pwcsName = nullptr;
  nodes->push_back(NodeFrom(stat, -1, 0));
  nodes->back().name = top_name;
  nodes->back().last = true;
  // Elements still to visit; pushed in reverse, they come off newest first.
  // No recursion, so trees of any depth load.
  std::vector<TreeNode> pending;
  // The storages from `top` down to the one listed last, one per depth.
  // A storage stays open while anything below it is read, since the
  // platform's compound file reverts what is open below a storage once
  // that storage is released.
  std::vector<Ref<IStorage>> open;
  top->AddRef();
  open.emplace_back(top);
  bool list = true;  // whether open.back() is the storage to list next
  int index = 0;
  for (;;) {
    if (list) {
      Ref<IEnumSTATSTG> elements;
      hr = open.back()->EnumElements(0, nullptr, 0, elements.Out());
      if (FAILED(hr)) break;
      std::vector<TreeNode> children;
      while (NextElement(elements.get(), &stat)) {
        children.push_back(NodeFrom(stat, index, (*nodes)[index].depth + 1));
        CoTaskMemFree(stat.pwcsName);
      }
      if (!children.empty()) children.back().last = true;
      pending.insert(pending.end(), std::make_move_iterator(children.rbegin()),
                     std::make_move_iterator(children.rend()));
    }
    list = false;
    if (pending.empty()) break;
    TreeNode next = std::move(pending.back());
    pending.pop_back();
    // Depth-first, the parent is the storage open at the depth above.
    CloseBelow(&open, static_cast<size_t>(next.depth));
    IStorage* parent = open.back().get();
    index = static_cast<int>(nodes->size());
    nodes->push_back(std::move(next));
    TreeNode& node = nodes->back();
    const OLECHAR* name = node.name.c_str();
    if (*name == 0) {
      node.listed = node.type != STGTY_STORAGE;
    } else if (node.type == STGTY_STORAGE) {
      Ref<IStorage> storage;
      hr = parent->OpenStorage(name, nullptr, kRead, nullptr, 0, storage.Out());
      if (SUCCEEDED(hr)) {
        open.push_back(std::move(storage));
        list = true;
      }
    } else if (open_streams && node.type == STGTY_STREAM) {
      Ref<IStream> stream;
      hr = parent->OpenStream(name, nullptr, kRead, 0, stream.Out());
    }
    if (FAILED(hr)) break;
  }
  CloseBelow(&open, 0);
  if (FAILED(hr)) {
    *failed = index;
    return hr;
  }
  // Children follow their parents, so one backward pass sums every level.
  for (size_t i = nodes->size() - 1; i > 0; --i) {
    const TreeNode& child = (*nodes)[i];
    TreeNode& parent = (*nodes)[child.parent];
    parent.size += child.size;
    parent.storages += child.type == STGTY_STORAGE ? 1 + child.storages : 0;
    parent.streams += child.type == STGTY_STREAM ? 1 : child.streams;
  }
  return S_OK;
}

}  // namespace qsplex
