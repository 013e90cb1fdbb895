// diff: what was added, removed or changed between the subtrees at one
// path of two images. The plex holds one image at a time, so the first is
// loaded and walked into a summary (each element's kind, size and class
// id, and a 128-bit XXH3 hash of each stream's bytes, read in pieces),
// then the second is loaded, summarized alike and compared with it. Open
// modes are not compared: every command's run changes them.
#include <cstdio>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/image/image_file.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/image/prepare.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/os/system.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/json.h"
#include "tools/qsplex/records/stream_data.h"
#include "tools/qsplex/tree/lookup.h"
#include "tools/qsplex/tree/path.h"
#include "tools/qsplex/tree/walk.h"

#define XXH_INLINE_ALL
#include "xxhash.h"

namespace qsplex {
namespace {

// The exit status of trouble, as diff(1) gives it: 1 says "they differ".
constexpr int kTrouble = kExitUsage;

// One image's subtree as diff compares it.
struct Summary {
  std::string top_path;                    // shown
  WideString top_wide;                     // exact
  std::vector<TreeNode> nodes;             // depth first, siblings by name
  std::vector<std::vector<int>> children;  // each storage's named children
  std::vector<XXH128_hash_t> hashes;       // of each named stream's bytes
};

HRESULT HashStream(IStream* stream, std::vector<char>* chunk,
                   Progress* progress, XXH128_hash_t* hash) {
  XXH3_state_t state;
  XXH3_128bits_reset(&state);
  for (;;) {
    ULONG got = 0;
    const HRESULT hr =
        stream->Read(chunk->data(), static_cast<ULONG>(chunk->size()), &got);
    if (FAILED(hr)) return hr;
    if (got == 0) break;
    XXH3_128bits_update(&state, chunk->data(), got);
    progress->Wrote(got);
  }
  *hash = XXH3_128bits_digest(&state);
  return S_OK;
}

// Hashes every named stream of the subtree at `top`, going down as
// LoadTree does: each storage stays open while its elements are read.
HRESULT HashStreams(const Element& top, Summary* s, Progress* progress,
                    int* at) {
  s->hashes.assign(s->nodes.size(), XXH128_hash_t{});
  std::vector<char> chunk(kChunkBytes);
  if (top.type == STGTY_STREAM) {
    Ref<IStream> stream;
    HRESULT hr =
        top.parent->OpenStream(top.name(), nullptr, kRead, 0, stream.Out());
    if (SUCCEEDED(hr)) {
      hr = HashStream(stream.get(), &chunk, progress, &s->hashes[0]);
    }
    return hr;
  }
  std::vector<Ref<IStorage>> open(1);  // one per depth, down to a parent
  HRESULT hr = OpenAsStorage(top, kRead, open[0].Out());
  for (size_t i = 1; SUCCEEDED(hr) && i < s->nodes.size(); ++i) {
    const TreeNode& node = s->nodes[i];
    if (node.name.empty()) continue;
    *at = static_cast<int>(i);
    while (open.size() > static_cast<size_t>(node.depth)) open.pop_back();
    IStorage* parent = open.back().get();
    if (node.type == STGTY_STORAGE) {
      Ref<IStorage> storage;
      hr = parent->OpenStorage(node.name.c_str(), nullptr, kRead, nullptr, 0,
                               storage.Out());
      open.push_back(std::move(storage));
    } else {
      Ref<IStream> stream;
      hr = parent->OpenStream(node.name.c_str(), nullptr, kRead, 0,
                              stream.Out());
      if (SUCCEEDED(hr)) {
        hr = HashStream(stream.get(), &chunk, progress, &s->hashes[i]);
      }
    }
  }
  return hr;
}

// Loads the image of `c` and summarizes its subtree at `path`. Prints the
// failure.
bool Summarize(const Context& c, const std::string& path, const char* verb,
               Summary* s) {
  if (!OpenImage(c, false)) return false;
  // Past loading, failures name the image they concern.
  Context in_image = c;
  in_image.command += ": " + c.image;
  Element e;
  if (!LocateExisting(in_image, path, kRead, &e) ||
      !DataReadable(in_image, e)) {
    return false;
  }
  if (!ListElement(in_image, e, &s->nodes)) return false;
  SortTree(&s->nodes, SortOrder::kName, false);
  WarnUnnamed(in_image, s->nodes, e.path(), "compared");
  s->top_path = e.path();
  s->top_wide = WidePath(e.names);
  s->children.assign(s->nodes.size(), {});
  for (size_t i = 1; i < s->nodes.size(); ++i) {
    if (s->nodes[i].name.empty()) continue;
    s->children[s->nodes[i].parent].push_back(static_cast<int>(i));
  }
  SetActivity("reading the streams");
  Progress progress(verb, s->nodes[0].size, 0);
  int at = 0;
  const HRESULT hr = HashStreams(e, s, &progress, &at);
  if (FAILED(hr)) {
    in_image.Fail(NodePath(s->nodes, at, s->top_path), hr);
    return false;
  }
  return IsAsLoaded(c, false);
}

enum class Change { kAdded, kRemoved, kType, kSize, kBytes, kClassId };

const char* const kChangeNames[] = {"added", "removed", "type",
                                    "size",  "bytes",   "class_id"};

struct Difference {
  Change change;
  int before, after;  // the element's node in each summary; -1: none
};

// The children of the storages `i` of `a` and `j` of `b`, paired by name in
// name order (-1 for a name only one of them holds).
std::vector<std::pair<int, int>> Pair(const Summary& a, int i, const Summary& b,
                                      int j) {
  const std::vector<int>& ours = a.children[i];
  const std::vector<int>& theirs = b.children[j];
  std::vector<std::pair<int, int>> pairs;
  size_t k = 0, l = 0;
  while (k < ours.size() || l < theirs.size()) {
    const bool ours_first =
        l == theirs.size() ||
        (k < ours.size() &&
         NameBefore(a.nodes[ours[k]].name, b.nodes[theirs[l]].name));
    const bool theirs_first =
        !ours_first && (k == ours.size() || NameBefore(b.nodes[theirs[l]].name,
                                                       a.nodes[ours[k]].name));
    if (ours_first) {
      pairs.emplace_back(ours[k++], -1);
    } else if (theirs_first) {
      pairs.emplace_back(-1, theirs[l++]);
    } else {
      pairs.emplace_back(ours[k++], theirs[l++]);
    }
  }
  return pairs;
}

// The differences between `a` and `b`, depth first and by name; an added or
// removed storage is one difference, with everything in it.
std::vector<Difference> Compare(const Summary& a, const Summary& b) {
  std::vector<Difference> out;
  std::vector<std::pair<int, int>> pending{{0, 0}};
  while (!pending.empty()) {
    const int i = pending.back().first;
    const int j = pending.back().second;
    pending.pop_back();
    if (i < 0 || j < 0) {
      out.push_back({i < 0 ? Change::kAdded : Change::kRemoved, i, j});
      continue;
    }
    const TreeNode& x = a.nodes[i];
    const TreeNode& y = b.nodes[j];
    if (x.type != y.type) {
      out.push_back({Change::kType, i, j});
    } else if (x.type == STGTY_STREAM) {
      if (x.size != y.size) {
        out.push_back({Change::kSize, i, j});
      } else if (!XXH128_isEqual(a.hashes[i], b.hashes[j])) {
        out.push_back({Change::kBytes, i, j});
      }
    } else {
      if (!IsEqualGUID(x.clsid, y.clsid)) {
        out.push_back({Change::kClassId, i, j});
      }
      const std::vector<std::pair<int, int>> pairs = Pair(a, i, b, j);
      pending.insert(pending.end(), pairs.rbegin(), pairs.rend());
    }
  }
  return out;
}

const char* KindName(DWORD type) {
  return type == STGTY_STORAGE ? "storage" : "stream";
}

// "stream, 12 bytes"; "storage, 3 streams, 1234 bytes" (everything below).
std::string Contents(const TreeNode& node) {
  if (node.type == STGTY_STREAM) return "stream, " + Count(node.size, "byte");
  return "storage, " + Count(node.streams, "stream") + ", " +
         Count(node.size, "byte");
}

// "+ /a (stream, 12 bytes)", "M /c (size 10 -> 12)" and the like.
std::string DifferenceLine(const Summary& a, const Summary& b,
                           const Difference& d) {
  const TreeNode* x = d.before >= 0 ? &a.nodes[d.before] : nullptr;
  const TreeNode* y = d.after >= 0 ? &b.nodes[d.after] : nullptr;
  const std::string path = y != nullptr
                               ? NodePath(b.nodes, d.after, b.top_path)
                               : NodePath(a.nodes, d.before, a.top_path);
  switch (d.change) {
    case Change::kAdded:
      return "+ " + path + " (" + Contents(*y) + ")";
    case Change::kRemoved:
      return "- " + path + " (" + Contents(*x) + ")";
    case Change::kType:
      return "M " + path + " (" + KindName(x->type) + " -> " +
             KindName(y->type) + ")";
    case Change::kSize:
      return "M " + path + " (size " + std::to_string(x->size) + " -> " +
             std::to_string(y->size) + ")";
    case Change::kBytes:
      return "M " + path + " (bytes differ)";
    case Change::kClassId:
      return "M " + path + " (class id " + FormatClassId(x->clsid) + " -> " +
             FormatClassId(y->clsid) + ")";
  }
  return path;
}

// The members of an element as ls --json gives them, with a storage's
// totals below it.
void WriteMembers(JsonWriter* json, const Summary& s, int index) {
  const TreeNode& node = s.nodes[index];
  WriteElement(json, node, NodeWidePath(s.nodes, index, s.top_wide));
  if (node.type != STGTY_STORAGE) return;
  json->Key("total_bytes").Number(node.size);
  json->Key("storages").Number(node.storages);
  json->Key("streams").Number(node.streams);
}

// {"image1", "image2", "path", "equal", "differences"}: an added or removed
// element with its members; a change with "path", and "old" and "new".
JsonWriter DiffJson(const Context& c, const Context& second, const Summary& a,
                    const Summary& b, const std::vector<Difference>& found) {
  JsonWriter json;
  json.BeginObject().Key("image1").String(c.image);
  json.Key("image2").String(second.image);
  json.Key("path").String(a.top_wide.c_str());
  json.Key("equal").Bool(found.empty());
  json.Key("differences").BeginArray();
  for (const Difference& d : found) {
    json.BeginObject().Key("change").String(
        kChangeNames[static_cast<int>(d.change)]);
    if (d.change == Change::kAdded) {
      WriteMembers(&json, b, d.after);
    } else if (d.change == Change::kRemoved) {
      WriteMembers(&json, a, d.before);
    } else {
      json.Key("path").String(
          NodeWidePath(b.nodes, d.after, b.top_wide).c_str());
      json.Key("old").BeginObject();
      WriteMembers(&json, a, d.before);
      json.EndObject().Key("new").BeginObject();
      WriteMembers(&json, b, d.after);
      json.EndObject();
    }
    json.EndObject();
  }
  json.EndArray().EndObject();
  return json;
}

int Diff(const Context& c) {
  // The second image is locked, shared, before the first is read, and both
  // stay locked to the end: no qsplex changes either while they are
  // compared.
  Context second = c;
  second.image = c.args[0];
  second.args.assign(c.args.begin() + 1, c.args.end());
  ImageLock lock;
  if (!PrepareImage(&second, Access::kRead, &lock)) return kTrouble;
  const std::string path = c.args.size() > 1 ? c.args[1] : "/";
  Summary a, b;
  if (!Summarize(c, path, "reading the first image", &a) ||
      !Summarize(second, path, "reading the second image", &b)) {
    return kTrouble;
  }
  SetActivity("comparing the images");
  const std::vector<Difference> found = Compare(a, b);
  const int status = found.empty() ? 0 : 1;
  if (c.json) {
    return PrintJson(c, DiffJson(c, second, a, b, found)) == 0 ? status
                                                               : kTrouble;
  }
  for (const Difference& d : found) {
    std::printf("%s\n", DifferenceLine(a, b, d).c_str());
  }
  if (std::fflush(stdout) != 0) {
    c.Fail("standard output", SystemReason());
    return kTrouble;
  }
  return status;
}

int RunDiff(const Context& c) {
  try {
    return Diff(c);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "qsplex: out of memory while %s\n", Activity());
    return kTrouble;
  }
}

}  // namespace

const Command kDiffCommand = {
    "diff",
    "[--json] IMAGE1 IMAGE2 [PATH]",
    {kJsonOption},
    1,
    2,
    Access::kRead,
    "show what differs between two images",
    "Compares the subtree at PATH (default /) of IMAGE1 with the one of\n"
    "IMAGE2 and prints a line for each difference, depth first and by name:\n"
    "  + PATH (KIND, ...)          only in IMAGE2: a stream and its bytes,\n"
    "                              or a storage and what it holds\n"
    "  - PATH (KIND, ...)          only in IMAGE1\n"
    "  M PATH (size 10 -> 12)      a stream of another length\n"
    "  M PATH (bytes differ)       a stream of the same length\n"
    "  M PATH (class id A -> B)    a storage's class id\n"
    "  M PATH (stream -> storage)  an element of the other kind\n"
    "Streams are compared by their bytes, each read once (as a 128-bit\n"
    "XXH3 hash); open modes are not compared. Both images are locked,\n"
    "shared, for the whole run. Exits with 0 when the subtrees are equal,\n"
    "1 when they differ and 2 on trouble, as diff(1) does.\n"
    "  --json  the differences as a JSON object (docs/qsplex-json.md)\n",
    "qsplex diff before.img after.img\nqsplex diff a.img b.img /results\n"
    "qsplex diff --json a.img b.img",
    RunDiff,
    {"compare", "cmp"},
    kTrouble};

}  // namespace qsplex
