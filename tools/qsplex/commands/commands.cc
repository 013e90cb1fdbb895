#include "tools/qsplex/commands/commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include "qsstorage/qsstorage.h"
#include "standins/plex_controls.h"
#include "tools/qsplex/compound/class_ids.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {
namespace {

// Ends the message of a change refused part way: nothing is saved.
constexpr const char* kUnchanged = "; the image is unchanged";

void SetBinary(std::FILE* file) {
#if defined(_WIN32)
  _setmode(_fileno(file), _O_BINARY);
#else
  (void)file;
#endif
}

const char* TypeName(DWORD type) {
  return type == STGTY_STORAGE ? "storage" : "stream";
}

std::string DisplayName(const OLECHAR* name, DWORD type) {
  return ShownName(name) + (type == STGTY_STORAGE ? "/" : "");
}

// The columns of ls -l, its header line the first row.
constexpr const char* kLongFormat = "%-7s %10s %-6s %-38s %s\n";

void PrintLongHeader() {
  std::printf(kLongFormat, "TYPE", "SIZE", "MODE", "CLASS ID", "NAME");
}

void PrintEntry(const TreeNode& node, bool long_form, bool human) {
  const std::string name = DisplayName(node.name.c_str(), node.type);
  if (!long_form) {
    std::printf("%s\n", name.c_str());
    return;
  }
  const std::string size_text =
      node.type == STGTY_STREAM ? SizeText(node.size, human) : "-";
  char mode_text[16] = "-";
  if (node.mode != 0) {
    std::snprintf(mode_text, sizeof mode_text, "0x%X",
                  static_cast<unsigned>(node.mode));
  }
  const std::string clsid_text =
      IsEqualGUID(node.clsid, GUID_NULL) ? "-" : FormatClassId(node.clsid);
  std::printf(kLongFormat, TypeName(node.type), size_text.c_str(), mode_text,
              clsid_text.c_str(), name.c_str());
}

}  // namespace

TreeNode NodeOf(const Element& e) {
  TreeNode node;
  if (!e.is_root()) node.name = e.names.back();
  node.parent = -1;
  node.type = e.type;
  node.size = e.type == STGTY_STREAM ? e.size : 0;
  node.mode = e.mode;
  node.clsid = e.clsid;
  node.depth = 0;
  node.last = true;
  return node;
}

namespace {

// The JSON of ls: the path listed and its entries, each with its path.
class ListingJson {
 public:
  explicit ListingJson(const Element& e) {
    json_.BeginObject().Key("path").String(WidePath(e.names).c_str());
    json_.Key("type").String(TypeName(e.type));
    json_.Key("entries").BeginArray();
  }
  void Add(const TreeNode& node, const WideString& path) {
    json_.BeginObject();
    WriteElement(&json_, node, path);
    json_.EndObject();
  }
  int Print(const Context& c) {
    json_.EndArray().EndObject();
    return PrintJson(c, json_);
  }

 private:
  JsonWriter json_;
};

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

}  // namespace

bool LoadSubtree(const Context& c, const Element& element, bool open_streams,
                 std::vector<TreeNode>* nodes) {
  Ref<IStorage> storage;
  HRESULT hr =
      OpenAsStorage(element, open_streams ? kReadWrite : kRead, storage.Out());
  int failed = 0;
  if (SUCCEEDED(hr)) {
    const WideString name = element.is_root() ? WideString() : element.name();
    hr = LoadTree(storage.get(), name, open_streams, nodes, &failed);
  }
  if (FAILED(hr)) {
    c.Fail(NodePath(*nodes, failed, element.path()), hr);
    return false;
  }
  return true;
}

namespace {

int ListRecursively(const Context& c, const Element& top) {
  std::vector<TreeNode> nodes;
  if (!LoadSubtree(c, top, false, &nodes)) return kExitFailure;
  SortTree(&nodes, c.sort, false);
  std::vector<std::vector<int>> children(nodes.size());
  for (size_t i = 1; i < nodes.size(); ++i) {
    children[nodes[i].parent].push_back(static_cast<int>(i));
  }
  const bool long_form = c.Has('l');
  const WideString top_path = WidePath(top.names);
  ListingJson json(top);
  bool first = true;
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i].type != STGTY_STORAGE || !nodes[i].listed) continue;
    if (!c.json) {
      std::printf("%s%s:\n", first ? "" : "\n",
                  NodePath(nodes, static_cast<int>(i), top.path()).c_str());
      if (long_form) PrintLongHeader();
    }
    first = false;
    for (int child : children[i]) {
      if (c.json) {
        json.Add(nodes[child], NodeWidePath(nodes, child, top_path));
      } else {
        PrintEntry(nodes[child], long_form, c.human());
      }
    }
  }
  return c.json ? json.Print(c) : 0;
}

// The elements of the storage `e`, in the library's order.
bool ListStorage(const Context& c, const Element& e,
                 std::vector<TreeNode>* entries) {
  Ref<IStorage> storage;
  Ref<IEnumSTATSTG> elements;
  HRESULT hr = OpenAsStorage(e, kRead, storage.Out());
  if (SUCCEEDED(hr)) hr = storage->EnumElements(0, nullptr, 0, elements.Out());
  if (FAILED(hr)) {
    c.Fail(e.path(), hr);
    return false;
  }
  STATSTG stat = {};
  while (NextElement(elements.get(), &stat)) {
    entries->push_back(NodeFrom(stat, 0, 1));
    CoTaskMemFree(stat.pwcsName);
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
  // An existing storage as destination takes the element under its name.
  Ref<IStorage> destination;
  std::vector<WideString> target = to.names;
  if (to.type == STGTY_STREAM)
    return c.Fail(to.path(), STG_E_FILEALREADYEXISTS);
  if (to.type == STGTY_STORAGE) {
    const HRESULT hr = OpenAsStorage(to, kReadWrite, destination.Out());
    if (FAILED(hr)) return c.Fail(to.path(), hr);
    target.push_back(from.names.back());
  } else {
    destination = std::move(to.parent);
  }
  if (from.type == STGTY_STORAGE && IsWithin(target, from.names)) {
    return c.Fail(JoinPath(target, target.size()),
                  "lies inside " + from.path());
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
    const std::string subject =
        at.empty() ? JoinPath(target, target.size()) : at;
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
  progress.Done();
  // The library's copies carry no class ids: every storage of the copy
  // takes its source's here (before saving, so a failure changes nothing).
  if (from.type == STGTY_STORAGE &&
      !CarryClassIds(c, destination.get(), target, nodes)) {
    return kExitFailure;
  }
  return SaveImage(c);
}

}  // namespace

int RunInit(const Context& c) {
  if (Probe(c.image).kind != FileKind::kMissing && !c.Has('f')) {
    return c.Fail(c.image, "exists already (-f replaces it)");
  }
  ResetPlex();
  Ref<IStorage> root(GetRootIStorage());
  if (!root) return c.Fail("/", E_OUTOFMEMORY);
  root.Reset();
  return SaveImage(c);
}

int RunLs(const Context& c) {
  Element e;
  if (!OpenImage(c, false) ||
      !LocateExisting(c, c.args.empty() ? "/" : c.args[0], kRead, &e)) {
    return kExitFailure;
  }
  if (e.type == STGTY_STORAGE && c.Has('R')) return ListRecursively(c, e);
  std::vector<TreeNode> entries;
  if (e.type == STGTY_STREAM) {
    entries.push_back(NodeOf(e));
  } else if (!ListStorage(c, e, &entries)) {
    return kExitFailure;
  }
  SortSiblings(&entries, c.sort);
  if (c.json) {
    ListingJson json(e);
    const WideString path = WidePath(e.names);
    for (const TreeNode& entry : entries) {
      if (e.type == STGTY_STREAM) {
        json.Add(entry, path);
      } else {
        const WideString parent =
            e.is_root() ? WideString() : path + OLECHAR('/');
        json.Add(entry, parent + entry.name);
      }
    }
    return json.Print(c);
  }
  if (c.Has('l')) PrintLongHeader();
  for (const TreeNode& entry : entries) {
    PrintEntry(entry, c.Has('l'), c.human());
  }
  return 0;
}

// The subtree of `nodes` below `top` as nested JSON objects: each storage
// with its totals and its children.
int PrintTreeJson(const Context& c, const std::vector<TreeNode>& nodes,
                  const WideString& top) {
  JsonWriter json;
  int open = 0;  // storages whose children are being written
  for (size_t i = 0; i < nodes.size(); ++i) {
    const TreeNode& n = nodes[i];
    for (; open > n.depth; --open) json.EndArray().EndObject();
    json.BeginObject();
    WriteElement(&json, n, NodeWidePath(nodes, static_cast<int>(i), top));
    if (n.type != STGTY_STORAGE) {
      json.EndObject();
      continue;
    }
    json.Key("total_bytes").Number(n.size);
    json.Key("storages").Number(n.storages);
    json.Key("streams").Number(n.streams);
    json.Key("listed").Bool(n.listed);
    json.Key("children").BeginArray();
    ++open;
  }
  for (; open > 0; --open) json.EndArray().EndObject();
  return PrintJson(c, json);
}

int RunTree(const Context& c) {
  Element e;
  if (!OpenImage(c, false) ||
      !LocateExisting(c, c.args.empty() ? "/" : c.args[0], kRead, &e)) {
    return kExitFailure;
  }
  std::vector<TreeNode> nodes;
  if (e.type == STGTY_STREAM) {
    nodes.push_back(NodeOf(e));
  } else if (!LoadSubtree(c, e, false, &nodes)) {
    return kExitFailure;
  }
  SortTree(&nodes, c.sort, true);
  if (c.json) return PrintTreeJson(c, nodes, WidePath(e.names));
  const auto size_text = [&](uint64_t bytes) {
    return c.human() ? HumanSize(bytes) : std::to_string(bytes) + " bytes";
  };
  if (e.type == STGTY_STREAM) {
    std::printf("%s (%s)\n", e.path().c_str(), size_text(e.size).c_str());
    return 0;
  }
  std::vector<bool> open_levels;  // whether a level still has siblings below
  for (size_t i = 0; i < nodes.size(); ++i) {
    const TreeNode& n = nodes[i];
    std::string line = i == 0 ? e.path() : "";
    for (int level = 1; level < n.depth; ++level) {
      line += open_levels[level] ? "|   " : "    ";
    }
    if (i > 0) {
      line += (n.last ? "`-- " : "|-- ") + DisplayName(n.name.c_str(), n.type);
    }
    open_levels.resize(n.depth + 1);
    open_levels[n.depth] = !n.last;
    if (n.listed) {
      std::printf("%s (%s)\n", line.c_str(), size_text(n.size).c_str());
    } else {
      std::printf("%s (not opened: no name finds it)\n", line.c_str());
    }
  }
  std::printf("%s, %s, %s\n", Count(nodes[0].storages, "storage").c_str(),
              Count(nodes[0].streams, "stream").c_str(),
              c.human() ? HumanSize(nodes[0].size).c_str()
                        : Count(nodes[0].size, "byte").c_str());
  return 0;
}

int RunStat(const Context& c) {
  Element e;
  if (!OpenImage(c, false) || !LocateExisting(c, c.args[0], kRead, &e)) {
    return kExitFailure;
  }
  if (c.json) {
    JsonWriter json;
    json.BeginObject();
    WriteElement(&json, NodeOf(e), WidePath(e.names));
    json.EndObject();
    return PrintJson(c, json);
  }
  std::printf("path:     %s\ntype:     %s\n", e.path().c_str(),
              TypeName(e.type));
  if (e.type == STGTY_STREAM) {
    std::string size = std::to_string(e.size) + " bytes";
    if (c.human()) size = HumanSize(e.size) + " (" + size + ")";
    std::printf("size:     %s\n", size.c_str());
  }
  std::printf("mode:     %s\n", DescribeMode(e.mode).c_str());
  if (e.type == STGTY_STORAGE) {
    std::printf("class id: %s\n", FormatClassId(e.clsid).c_str());
  }
  return 0;
}

int RunCat(const Context& c) {
  Element e;
  if (!OpenImage(c, false) || !LocateExisting(c, c.args[0], kRead, &e)) {
    return kExitFailure;
  }
  if (e.type != STGTY_STREAM) {
    return c.Fail(e.path(), "is a storage, not a stream");
  }
  return WriteToStandardOutput(c, e);
}

int CopyStreamOut(const Context& c, IStream* stream, const std::string& subject,
                  std::FILE* out, const std::string& out_name,
                  Progress* progress) {
  std::vector<char> chunk(kChunkBytes);
  for (;;) {
    ULONG got = 0;
    const HRESULT hr =
        stream->Read(chunk.data(), static_cast<ULONG>(chunk.size()), &got);
    if (FAILED(hr)) return c.Fail(subject, hr);
    if (got == 0) return 0;
    progress->Wrote(got);
    ClearSystemError();
    if (std::fwrite(chunk.data(), 1, got, out) != got) {
      return c.Fail(out_name, SystemReason());
    }
  }
}

int WriteToStandardOutput(const Context& c, const Element& e) {
  Ref<IStream> stream;
  HRESULT hr = e.parent->OpenStream(e.name(), nullptr, kRead, 0, stream.Out());
  if (FAILED(hr)) return c.Fail(e.path(), hr);
  SetBinary(stdout);
  SetActivity("writing the stream to standard output");
  // Progress would mix into the bytes on a terminal.
  if (IsTerminal(stdout)) SetQuiet(true);
  Progress progress("writing the stream", e.size, 0);
  const int status = CopyStreamOut(c, stream.get(), e.path(), stdout,
                                   "standard output", &progress);
  if (status != 0) return status;
  return std::fflush(stdout) == 0
             ? 0
             : c.Fail("standard output", std::strerror(errno));
}

int StoreInStream(const Context& c, std::FILE* input,
                  const std::string& input_name, IStream* stream,
                  uint64_t expected, const std::string& subject,
                  Progress* progress) {
  // Reserving the whole length first refuses what the plex cannot hold
  // before a byte is copied, and grows the data block once.
  HRESULT hr = S_OK;
  if (expected > 0) {
    ULARGE_INTEGER room;
    room.QuadPart = expected;
    hr = stream->SetSize(room);
    if (hr == STG_E_MEDIUMFULL || hr == STG_E_INVALIDFUNCTION) {
      return c.Fail(subject, PlexFull(expected) + kUnchanged);
    }
    if (FAILED(hr)) return c.Fail(subject, hr);
  }
  std::vector<char> chunk(kChunkBytes);
  size_t got;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), input)) > 0) {
    ULONG written = 0;
    hr = stream->Write(chunk.data(), static_cast<ULONG>(got), &written);
    progress->Wrote(written);
    if (hr == STG_E_MEDIUMFULL || (SUCCEEDED(hr) && written != got)) {
      return c.Fail(subject, "the plex cannot hold more than the " +
                                 std::to_string(progress->bytes()) +
                                 " bytes stored so far (capacity " +
                                 Mebibytes(QssPlex_CapacityBytes()) +
                                 " in this build)" + kUnchanged);
    }
    if (FAILED(hr)) return c.Fail(subject, hr);
  }
  if (std::ferror(input)) return c.Fail(input_name, SystemReason());
  return 0;
}

int RunPut(const Context& c) {
  if (c.Has('r')) return RunPutTree(c);
  if (c.Has('f')) {
    c.Fail("-f",
           "replaces elements in 'put -r' only (a stream is replaced "
           "without it)");
    return kExitUsage;
  }
  const bool from_file = c.args.size() > 1 && c.args[1] != "-";
  if (c.args.size() == 1 && IsTerminal(stdin)) {
    std::fprintf(stderr,
                 "qsplex: put: standard input is a terminal: give FILE, or "
                 "'-' to type the bytes (end them with Ctrl-D; Ctrl-Z and "
                 "Enter on Windows)\n");
    return kExitUsage;
  }
  FileStatus input_status;
  input_status.kind = FileKind::kOther;
  if (from_file) input_status = Probe(c.args[1]);
  if (input_status.kind == FileKind::kDirectory) {
    return c.Fail(
        c.args[1],
        "is a folder; put stores one file (-r stores a folder's tree)");
  }
  // A regular file's length is known before anything is stored.
  const uint64_t expected =
      input_status.kind == FileKind::kFile ? input_status.bytes : 0;
  std::FILE* input = from_file ? OpenFile(c.args[1], "rb") : stdin;
  if (input == nullptr) return c.Fail(c.args[1], SystemReason());
  if (!from_file) SetBinary(stdin);
  // Closed before the save: FILE may be the image itself, which Windows
  // does not replace while it is open.
  struct Closer {
    std::FILE* file;
    void Close() {
      if (file != stdin && file != nullptr) std::fclose(file);
      file = nullptr;
    }
    ~Closer() { Close(); }
  } closer{input};

  Element e;
  if (!OpenImage(c, true) ||
      !Locate(c, c.args[0], kReadWrite, c.Has('p'), &e)) {
    return kExitFailure;
  }
  if (e.is_root() || e.type == STGTY_STORAGE) {
    return c.Fail(e.path(), "is a storage, not a stream");
  }
  Ref<IStream> stream;
  HRESULT hr;
  if (e.type == STGTY_STREAM) {
    hr = e.parent->OpenStream(e.name(), nullptr, kReadWrite, 0, stream.Out());
    if (SUCCEEDED(hr)) hr = stream->SetSize(ULARGE_INTEGER{});
  } else {
    hr = e.parent->CreateStream(e.name(), kReadWrite, 0, 0, stream.Out());
  }
  if (FAILED(hr)) return c.Fail(e.path(), hr);
  SetActivity(from_file ? "storing the file" : "storing standard input");
  Progress progress(from_file ? "storing the file" : "storing standard input",
                    expected, 0);
  const int status =
      StoreInStream(c, input, from_file ? c.args[1] : "standard input",
                    stream.get(), expected, e.path(), &progress);
  if (status != 0) return status;
  progress.Done();
  stream.Reset();
  closer.Close();
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

int RunReset(const Context& c) {
  if (!OpenImage(c, true)) return kExitFailure;
  return SaveImage(c);
}

int RunClear(const Context& c) {
  if (!OpenImage(c, true)) return kExitFailure;
  QSStrg_ClearRootStorage();
  return SaveImage(c);
}

}  // namespace qsplex
