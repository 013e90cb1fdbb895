// put -r: a folder's tree into a storage, names unescaped, class ids from
// the class id files (tree_files.h).
#include <cstdio>
#include <string>
#include <vector>

#include "standins/plex_controls.h"
#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/commands/tree_files.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/image/plex.h"
#include "tools/qsplex/image/save.h"
#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/os/system.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/progress.h"
#include "tools/qsplex/tree/lookup.h"
#include "tools/qsplex/tree/path.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {
namespace {

// One file or folder of the tree to store; parents come before children.
struct FolderNode {
  std::string file;  // its path
  WideString name;   // the element it becomes; empty for the top
  int parent;        // -1 for the top
  bool folder;
  uint64_t bytes;
  bool has_class = false;
  CLSID clsid = {};
};

// Adds the entry `entry` of folder node `parent` to `nodes`, or prints why
// it cannot be stored. Returns the number of problems: 0 or 1.
size_t AddEntry(const Context& c, const FolderEntry& entry, int parent,
                std::vector<FolderNode>* nodes) {
  const std::string file = InFolder((*nodes)[parent].file, entry.name);
  std::string problem;
  if (entry.name == kClassIdFile && entry.kind == FileKind::kFile) {
    FolderNode& folder = (*nodes)[parent];
    folder.has_class = ReadClassIdFile(file, &folder.clsid, &problem);
    if (folder.has_class) return 0;
    c.Fail(file, problem);
    return 1;
  }
  if (entry.link || entry.kind == FileKind::kOther) {
    std::fprintf(stderr, "qsplex: %s: %s: %s, so it is not stored\n",
                 c.command.c_str(), file.c_str(),
                 entry.link ? "is a link, which put -r does not follow"
                            : "is not a regular file or folder");
    return 0;
  }
  if (entry.kind == FileKind::kUnreadable) {
    c.Fail(file, "cannot read it: " + SystemReason());
    return 1;
  }
  FolderNode node{file, WideString(), parent,
                  entry.kind == FileKind::kDirectory, entry.bytes};
  if (!UnescapeName(entry.name, &node.name, &problem)) {
    c.Fail(file, "not a name put -r takes: " + problem);
    return 1;
  }
  if (!NameFits(c, file, node.name)) return 1;
  for (size_t i = nodes->size(); i-- > 0 && (*nodes)[i].parent == parent;) {
    if (SameElementName((*nodes)[i].name.c_str(), node.name.c_str())) {
      c.Fail(file, "names the same element as " + (*nodes)[i].file);
      return 1;
    }
  }
  nodes->push_back(node);
  return 0;
}

// Lists the tree of the folder `folder` into `nodes`, naming every file
// that cannot be stored. True when there is none.
bool ReadFolderTree(const Context& c, const std::string& folder,
                    std::vector<FolderNode>* nodes) {
  SetActivity("reading the folder");
  nodes->assign(1, FolderNode{folder, WideString(), -1, true, 0});
  size_t problems = 0;
  // Folders still to list; each one's entries end up next to each other.
  std::vector<int> pending = {0};
  while (!pending.empty()) {
    const int index = pending.back();
    pending.pop_back();
    std::vector<FolderEntry> entries;
    std::string reason;
    if (!ListFolder((*nodes)[index].file, &entries, &reason)) {
      c.Fail((*nodes)[index].file, "cannot read the folder: " + reason);
      ++problems;
      continue;
    }
    const size_t first = nodes->size();
    for (const FolderEntry& entry : entries) {
      problems += AddEntry(c, entry, index, nodes);
    }
    for (size_t i = nodes->size(); i-- > first;) {
      if ((*nodes)[i].folder) pending.push_back(static_cast<int>(i));
    }
  }
  if (problems == 0) return true;
  c.Fail(folder, Count(problems, "file") +
                     " above cannot be stored; the "
                     "image is unchanged");
  return false;
}

// Opens (with -f) or makes the storage for folder node `node` in `parent`.
HRESULT StorageFor(IStorage* parent, const FolderNode& node, bool exists,
                   DWORD type, IStorage** out) {
  HRESULT hr = S_OK;
  if (exists && type == STGTY_STORAGE) {
    hr = parent->OpenStorage(node.name.c_str(), nullptr, kReadWrite, nullptr, 0,
                             out);
  } else {
    if (exists) hr = parent->DestroyElement(node.name.c_str());
    if (SUCCEEDED(hr)) {
      hr = parent->CreateStorage(node.name.c_str(), kReadWrite, 0, 0, out);
    }
  }
  if (SUCCEEDED(hr) && node.has_class) hr = (*out)->SetClass(node.clsid);
  return hr;
}

// Stores the file of `node` as a new stream of `parent`, replacing an
// element of its name. Returns the exit code.
int StoreFile(const Context& c, IStorage* parent, const FolderNode& node,
              bool exists, const std::string& subject, Progress* progress) {
  Ref<IStream> stream;
  HRESULT hr = exists ? parent->DestroyElement(node.name.c_str()) : S_OK;
  if (SUCCEEDED(hr)) {
    hr =
        parent->CreateStream(node.name.c_str(), kReadWrite, 0, 0, stream.Out());
  }
  if (FAILED(hr)) return c.Fail(subject, hr);
  std::FILE* input = OpenFile(node.file, "rb");
  if (input == nullptr) {
    return c.Fail(node.file, "cannot read it: " + SystemReason());
  }
  const int status = StoreInStream(c, input, node.file, stream.get(),
                                   node.bytes, subject, progress);
  std::fclose(input);
  return status;
}

// Stores `nodes` below `top`, the storage at `path`. Returns the exit code.
int StoreTree(const Context& c, IStorage* top, const std::string& path,
              const std::vector<FolderNode>& nodes) {
  SetActivity("storing the folder");
  uint64_t bytes = 0;
  size_t streams = 0;
  for (const FolderNode& node : nodes) {
    bytes += node.folder ? 0 : node.bytes;
    streams += node.folder ? 0 : 1;
  }
  if (bytes > QssPlex_CapacityBytes() - QssPlex_UsedBytes()) {
    return c.Fail(path, PlexFull(bytes) + "; the image is unchanged");
  }
  Progress progress("storing", bytes, streams);
  std::vector<Ref<IStorage>> storages(nodes.size());
  top->AddRef();
  storages[0] = Ref<IStorage>(top);
  HRESULT hr = nodes[0].has_class ? top->SetClass(nodes[0].clsid) : S_OK;
  if (FAILED(hr)) return c.Fail(path, hr);
  std::vector<std::string> paths(nodes.size(), path);
  for (size_t i = 1; i < nodes.size(); ++i) {
    const FolderNode& node = nodes[i];
    IStorage* parent = storages[node.parent].get();
    paths[i] = (paths[node.parent] == "/" ? "" : paths[node.parent]) + "/" +
               ShownName(node.name.c_str());
    Element existing;
    const bool exists = FindChild(parent, node.name.c_str(), &existing);
    progress.Created(paths[i], !node.folder);
    if (node.folder) {
      hr = StorageFor(parent, node, exists, existing.type, storages[i].Out());
      if (FAILED(hr)) return c.Fail(paths[i], hr);
    } else {
      const int status =
          StoreFile(c, parent, node, exists, paths[i], &progress);
      if (status != 0) return status;
    }
  }
  progress.Done();
  return 0;
}

// Without -f, lists the elements of `top` that the top folder's entries
// would replace. True when there is none.
bool NoClash(const Context& c, IStorage* top, const std::string& path,
             const std::vector<FolderNode>& nodes) {
  if (c.Has('f')) return true;
  size_t clashes = 0;
  for (size_t i = 1; i < nodes.size() && nodes[i].parent == 0; ++i) {
    Element existing;
    if (FindChild(top, nodes[i].name.c_str(), &existing)) {
      c.Fail((path == "/" ? "" : path) + "/" + ShownName(nodes[i].name.c_str()),
             DescribeResult(STG_E_FILEALREADYEXISTS) +
                 "; -f replaces it with " + nodes[i].file);
      ++clashes;
    }
  }
  return clashes == 0;
}

}  // namespace

void NoteTimesDropped(const Context& c, const std::string& source) {
  if (c.quiet) return;
  EndProgressLine();
  std::fprintf(stderr,
               "qsplex: %s: %s: times are not kept (the image keeps none)\n",
               c.command.c_str(), source.c_str());
}

int RunPutTree(const Context& c) {
  if (c.args.size() != 2) {
    c.Fail("", "put -r takes IMAGE PATH DIR");
    return kExitUsage;
  }
  const std::string& folder = c.args[1];
  const FileStatus status = Probe(folder);
  if (status.kind == FileKind::kMissing) {
    return c.Fail(folder, "no such folder: " + status.reason);
  }
  if (status.kind != FileKind::kDirectory) {
    return c.Fail(folder, "is not a folder (put without -r stores a file)");
  }
  std::vector<FolderNode> nodes;
  Element e;
  if (!ReadFolderTree(c, folder, &nodes) || !OpenImage(c, true) ||
      !Locate(c, c.args[0], kReadWrite, c.Has('p'), &e)) {
    return kExitFailure;
  }
  if (e.type != 0 && !e.is_root() && !c.Has('f')) {
    return c.Fail(e.path(), DescribeResult(STG_E_FILEALREADYEXISTS) +
                                "; -f puts the folder into it, replacing "
                                "elements of the same names");
  }
  Ref<IStorage> top;
  HRESULT hr = S_OK;
  if (e.is_root() || e.type == STGTY_STORAGE) {
    hr = OpenAsStorage(e, kReadWrite, top.Out());
  } else {
    if (e.type == STGTY_STREAM) hr = e.parent->DestroyElement(e.name());
    if (SUCCEEDED(hr)) {
      hr = e.parent->CreateStorage(e.name(), kReadWrite, 0, 0, top.Out());
    }
  }
  if (FAILED(hr)) return c.Fail(e.path(), hr);
  if (!NoClash(c, top.get(), e.path(), nodes)) return kExitFailure;
  const int result = StoreTree(c, top.get(), e.path(), nodes);
  if (result != 0) return result;
  top.Reset();
  // A folder's files always have times, so every put -r says so.
  const int saved = SaveImage(c);
  if (saved == 0) NoteTimesDropped(c, folder);
  return saved;
}

}  // namespace qsplex
