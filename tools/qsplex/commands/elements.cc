// mkdir, rm, mv, cp and setclass: making, removing, moving and copying
// elements, and a storage's class id.
#include <algorithm>
#include <utility>
#include <vector>

#include "qsstorage/qsstorage.h"
#include "standins/plex_controls.h"
#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/compound/class_ids.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/image/plex.h"
#include "tools/qsplex/image/save.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/progress.h"
#include "tools/qsplex/tree/lookup.h"
#include "tools/qsplex/tree/path.h"
#include "tools/qsplex/tree/progress_storage.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {
namespace {

// Whether `inner` names an element at or below `outer`.
bool IsWithin(const std::vector<WideString>& inner,
              const std::vector<WideString>& outer) {
  if (inner.size() < outer.size()) return false;
  for (size_t i = 0; i < outer.size(); ++i) {
    if (!SameElementName(inner[i].c_str(), outer[i].c_str())) return false;
  }
  return true;
}

// Whether the paths `a` and `b` name elements of one storage.
bool InSameStorage(const std::vector<WideString>& a,
                   const std::vector<WideString>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i + 1 < a.size(); ++i) {
    if (!SameElementName(a[i].c_str(), b[i].c_str())) return false;
  }
  return true;
}

// What a move or copy carries: its bytes, its streams and its largest
// stream, from the subtree's listing (empty for a stream).
struct CopySize {
  uint64_t bytes;
  uint64_t largest;
  size_t streams;
};

CopySize SizeOf(const Element& from, const std::vector<TreeNode>& nodes) {
  if (nodes.empty()) return {from.size, from.size, 1};
  CopySize size{nodes[0].size, 0, nodes[0].streams};
  for (const TreeNode& node : nodes) {
    if (node.type == STGTY_STREAM) {
      size.largest = std::max(size.largest, node.size);
    }
  }
  return size;
}

// Whether the plex has room for all the bytes, and for each stream's data
// block one free extent of its length.
bool FitsInPlex(const CopySize& size) {
  const uint64_t free_bytes = QssPlex_CapacityBytes() - QssPlex_UsedBytes();
  const uint64_t largest_block = 4 * static_cast<uint64_t>(std::max<long long>(
                                         QssPlex_GrowableWords(0), 0));
  return size.bytes <= free_bytes && size.largest <= largest_block;
}

// Gives every storage of the copy made at `target` in `destination` the
// class id its source had, as `nodes` listed them.
bool CarryClassIds(const Context& c, IStorage* destination,
                   const std::vector<WideString>& target,
                   const std::vector<TreeNode>& nodes) {
  Ref<IStorage> made;
  HRESULT set = destination->OpenStorage(target.back().c_str(), nullptr,
                                         kReadWrite, nullptr, 0, made.Out());
  if (SUCCEEDED(set)) set = SetClassIds(made.get(), nodes);
  if (SUCCEEDED(set)) return true;
  c.Fail(JoinPath(target, target.size()),
         "cannot give the copy its class ids: " + DescribeResult(set) +
             kUnchanged);
  return false;
}

// Where a move or copy of `from` to `to` goes: into the storage
// `*destination` as the path `*target`. An existing storage TO takes the
// element under its own name; an existing stream is in the way, and a
// storage cannot go inside itself. Prints the failure.
bool FindDestination(const Context& c, const Element& from, Element* to,
                     Ref<IStorage>* destination,
                     std::vector<WideString>* target) {
  *target = to->names;
  if (to->type == STGTY_STREAM) {
    c.Fail(to->path(), STG_E_FILEALREADYEXISTS);
    return false;
  }
  if (to->type == STGTY_STORAGE) {
    const HRESULT hr = OpenAsStorage(*to, kReadWrite, destination->Out());
    if (FAILED(hr)) {
      c.Fail(to->path(), hr);
      return false;
    }
    target->push_back(from.names.back());
  } else {
    *destination = std::move(to->parent);
  }
  if (from.type == STGTY_STORAGE && IsWithin(*target, from.names)) {
    c.Fail(JoinPath(*target, target->size()), "lies inside " + from.path());
    return false;
  }
  return true;
}

// Says why the library's move or copy of `from`, which reached `subject`,
// failed with `hr`. Returns kExitFailure.
int MoveFailed(const Context& c, const Element& from,
               const std::string& subject, bool move, const CopySize& size,
               HRESULT hr) {
  if (hr == STG_E_MEDIUMFULL) {
    return c.Fail(subject, PlexFull(size.bytes) + kUnchanged);
  }
  // The library will not move a storage holding an element without a
  // name, which no name could reach in its new place.
  if (move && hr == STG_E_INVALIDFUNCTION && from.type == STGTY_STORAGE) {
    return c.Fail(from.path(),
                  "holds an element without a name, which a move would "
                  "lose; copy it with 'cp -r' (which leaves such elements "
                  "out) and remove it with 'rm -r'");
  }
  return c.Fail(subject, hr);
}

int MoveOrCopy(const Context& c, bool move) {
  Element from;
  Element to;
  if (!OpenImage(c, true) || !LocateExisting(c, c.args[0], kReadWrite, &from) ||
      !Locate(c, c.args[1], kReadWrite, false, &to)) {
    return kExitFailure;
  }
  if (from.is_root()) return c.Fail("/", "the root cannot be moved or copied");
  if (!move && from.type == STGTY_STORAGE && !c.Has('r')) {
    return c.Fail(from.path(),
                  "is a storage (-r copies it with everything in it)");
  }
  Ref<IStorage> destination;
  std::vector<WideString> target;
  if (!FindDestination(c, from, &to, &destination, &target)) {
    return kExitFailure;
  }
  // A move within its storage is a rename: the same node under another
  // name, whatever it holds, nothing copied.
  if (move && InSameStorage(from.names, target)) {
    const HRESULT hr =
        from.parent->RenameElement(from.name(), target.back().c_str());
    if (FAILED(hr)) return c.Fail(JoinPath(target, target.size()), hr);
    return SaveImage(c);
  }
  std::vector<TreeNode> nodes;
  if (from.type == STGTY_STORAGE) {
    if (!LoadSubtree(c, from, true, &nodes)) return kExitFailure;
    // A move is the library's to make whole; a copy passes them by.
    if (!move) WarnUnnamed(c, nodes, from.path(), "copied");
  }
  // A copy, and a move into another storage (which the library makes as a
  // copy and then removes the source), needs room for all its bytes.
  // Refused here, nothing has changed; a copy that fails later for want of
  // room leaves the image unchanged too, as it is then not saved.
  const CopySize size = SizeOf(from, nodes);
  if (!FitsInPlex(size)) return c.Fail(from.path(), PlexFull(size.bytes));
  Progress progress(move ? "moving" : "copying", size.bytes, size.streams);
  const std::vector<WideString> parent_names(target.begin(), target.end() - 1);
  Ref<IStorage> watched(
      NewProgressStorage(destination.get(), &progress,
                         JoinPath(parent_names, parent_names.size())));
  if (!watched) return c.Fail(to.path(), E_OUTOFMEMORY);
  const HRESULT hr = from.parent->MoveElementTo(
      from.name(), watched.get(), target.back().c_str(),
      move ? STGMOVE_MOVE : STGMOVE_COPY);
  if (FAILED(hr)) {
    const std::string& at = progress.last_created();
    return MoveFailed(c, from,
                      at.empty() ? JoinPath(target, target.size()) : at, move,
                      size, hr);
  }
  progress.Done();
  // The library's copies carry no class ids: every storage of the copy
  // takes its source's here (before saving, so a failure changes nothing).
  if (from.type == STGTY_STORAGE &&
      !CarryClassIds(c, destination.get(), target, nodes)) {
    return kExitFailure;
  }
  return SaveImage(c);
}

int RunMkdir(const Context& c) {
  Element e;
  if (!OpenImage(c, true) ||
      !Locate(c, c.args[0], kReadWrite, c.Has('p'), &e)) {
    return kExitFailure;
  }
  if (e.type == STGTY_STORAGE && c.Has('p')) return 0;
  if (e.type != 0) return c.Fail(e.path(), STG_E_FILEALREADYEXISTS);
  Ref<IStorage> storage;
  const HRESULT hr =
      e.parent->CreateStorage(e.name(), kReadWrite, 0, 0, storage.Out());
  if (FAILED(hr)) return c.Fail(e.path(), hr);
  storage.Reset();
  return SaveImage(c);
}

int RunRm(const Context& c) {
  Element e;
  if (!OpenImage(c, true) || !LocateExisting(c, c.args[0], kReadWrite, &e)) {
    return kExitFailure;
  }
  if (e.is_root()) {
    return c.Fail("/",
                  "the root cannot be removed ('qsplex clear' empties it)");
  }
  if (e.type == STGTY_STORAGE && !c.Has('r')) {
    return c.Fail(e.path(),
                  "is a storage (-r removes it with everything in it)");
  }
  const HRESULT hr = e.parent->DestroyElement(e.name());
  if (FAILED(hr)) return c.Fail(e.path(), hr);
  return SaveImage(c);
}

int RunMv(const Context& c) { return MoveOrCopy(c, true); }

int RunCp(const Context& c) { return MoveOrCopy(c, false); }

int RunSetClass(const Context& c) {
  CLSID clsid;
  if (!ParseClassId(c.args[1], &clsid)) {
    c.Fail(c.args[1],
           "not a class id ({XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX})");
    return kExitUsage;
  }
  Element e;
  if (!OpenImage(c, true) || !LocateExisting(c, c.args[0], kReadWrite, &e)) {
    return kExitFailure;
  }
  if (e.type != STGTY_STORAGE) {
    return c.Fail(e.path(), "is a stream; only storages have a class id");
  }
  Ref<IStorage> storage;
  HRESULT hr = OpenAsStorage(e, kReadWrite, storage.Out());
  if (SUCCEEDED(hr)) hr = storage->SetClass(clsid);
  if (FAILED(hr)) return c.Fail(e.path(), hr);
  storage.Reset();
  return SaveImage(c);
}

}  // namespace

const Command kMkdirCommand = {
    "mkdir",
    "[-p] IMAGE PATH",
    {Flag('p')},
    1,
    1,
    Access::kChange,
    "create a storage",
    "Creates a storage at PATH.\n"
    "  -p  create the missing storages on the way; no error if it exists\n",
    "qsplex mkdir t.img /docs\nqsplex mkdir -p t.img /docs/old/2024",
    RunMkdir,
    {"md"}};

const Command kRmCommand = {
    "rm",
    "[-r] IMAGE PATH",
    {Flag('r')},
    1,
    1,
    Access::kChange,
    "remove an element",
    "Removes the element at PATH.\n"
    "  -r  remove a storage with everything in it, elements without a name\n"
    "      included\n",
    "qsplex rm t.img /docs/a.txt\nqsplex rm -r t.img /docs",
    RunRm,
    {"remove", "delete", "del"}};

const Command kMvCommand = {
    "mv",
    "IMAGE FROM TO",
    {},
    2,
    2,
    Access::kChange,
    "move or rename an element",
    "Moves the element at FROM to TO. When TO is a storage, the element\n"
    "goes into it under its own name. Within one storage this is a rename\n"
    "(RenameElement), which copies nothing; into another storage the\n"
    "library copies it and removes FROM (MoveElementTo). Every storage\n"
    "keeps its class id.\n",
    "qsplex mv t.img /docs/a.txt /docs/b.txt\nqsplex mv t.img /docs /old",
    RunMv,
    {"move", "rename"}};

const Command kCpCommand = {
    "cp",
    "[-r] IMAGE FROM TO",
    {Flag('r')},
    2,
    2,
    Access::kChange,
    "copy an element",
    "Copies the element at FROM to TO, as mv does but keeping FROM, with\n"
    "the class id of every storage. Elements without a name are not copied\n"
    "(each is named on standard error).\n"
    "  -r  copy a storage with everything in it\n",
    "qsplex cp t.img /docs/a.txt /a.txt\nqsplex cp -r t.img /docs /backup",
    RunCp,
    {"copy"}};

const Command kSetClassCommand = {
    "setclass",
    "IMAGE PATH CLSID",
    {},
    2,
    2,
    Access::kChange,
    "set a storage's class id",
    "Sets the class id of the storage at PATH; CLSID is\n"
    "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, braces optional.\n",
    "qsplex setclass t.img /docs {01234567-89AB-CDEF-0123-456789ABCDEF}",
    RunSetClass,
    {}};

}  // namespace qsplex
