// ls, tree and stat: what a storage holds and what an element is, for
// people and, with --json, for scripts.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/compound/class_ids.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/json.h"
#include "tools/qsplex/tree/lookup.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {
namespace {

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
        const WideString parent = e.is_root() ? path : path + OLECHAR('/');
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
  std::vector<TreeNode> nodes;
  if (!ListPathOperand(c, &e, &nodes)) return kExitFailure;
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

}  // namespace

const Command kLsCommand = {
    "ls",
    "[-l] [-R] [-H] [--sort ORDER] [--json] IMAGE [PATH]",
    {Flag('l'), Flag('R'), kHumanOption, kJsonOption, kSortOption},
    0,
    1,
    Access::kRead,
    "list a storage's elements",
    "Lists the elements of the storage at PATH (default /) by name, as\n"
    "ls(1) does in the C locale: by the bytes of their UTF-8, so 'B' before\n"
    "'a'. Storages end in '/'; an element without a name shows as\n"
    "'(no name)'.\n"
    "  -l            type, size, open mode and class id under a header line\n"
    "                (the open mode as the image holds it; '-' for closed)\n"
    "  -R            every storage below too\n"
    "  -H, --human   sizes in KiB, MiB and GiB, rounded up\n"
    "  --sort ORDER  name (the default), size (largest first; a storage\n"
    "                counts as 0) or none (the library's order: newest\n"
    "                first)\n"
    "  --json        everything -l shows as one JSON document, exact names\n"
    "                (described in docs/qsplex-json.md)\n",
    "qsplex ls t.img\nqsplex ls -lRH --sort size t.img /docs\n"
    "qsplex ls --json t.img /docs",
    RunLs,
    {"list", "dir"}};

const Command kTreeCommand = {
    "tree",
    "[-H] [--sort ORDER] [--json] IMAGE [PATH]",
    {kHumanOption, kJsonOption, kSortOption},
    0,
    1,
    Access::kRead,
    "draw a subtree with sizes",
    "Draws the subtree at PATH (default /) with the bytes of every stream "
    "and\nthe total below every storage, each storage's elements by name "
    "as ls\nlists them.\n"
    "  -H, --human   sizes in KiB, MiB and GiB, rounded up\n"
    "  --sort ORDER  name (the default), size (largest first, storages by\n"
    "                their total) or none (the library's order: newest\n"
    "                first)\n"
    "  --json        the subtree as nested JSON objects "
    "(docs/qsplex-json.md)\n",
    "qsplex tree t.img /docs\nqsplex tree -H --sort size t.img\n"
    "qsplex tree --json t.img /docs",
    RunTree,
    {}};

const Command kStatCommand = {
    "stat",
    "[-H] [--json] IMAGE PATH",
    {kHumanOption, kJsonOption},
    1,
    1,
    Access::kRead,
    "show an element's status",
    "Shows the type, size, open mode and class id of the element at PATH.\n"
    "  -H, --human   the size in KiB, MiB or GiB too\n"
    "  --json        as a JSON object (docs/qsplex-json.md)\n",
    "qsplex stat t.img /docs/a.txt\nqsplex stat --json t.img /docs",
    RunStat,
    {"status"}};

}  // namespace qsplex
