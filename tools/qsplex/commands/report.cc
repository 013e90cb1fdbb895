// du and report: where an image's bytes are, as lines for a terminal and as
// a page for a browser.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "standins/plex_controls.h"
#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/image/plex.h"
#include "tools/qsplex/image/prepare.h"
#include "tools/qsplex/image/temporary_file.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/os/system.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/json.h"
#include "tools/qsplex/output/output.h"
#include "tools/qsplex/output/tree_node.h"
#include "tools/qsplex/records/salvage.h"
#include "tools/qsplex/report/report_data.h"
#include "tools/qsplex/report/report_page.h"
#include "tools/qsplex/tree/path.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {
namespace {

// The value of the option `name` given last; false when it is not given.
bool ValueOf(const Context& c, const char* name, std::string* value) {
  bool given = false;
  for (const auto& [key, text] : c.values) {
    if (key == name) {
      *value = text;
      given = true;
    }
  }
  return given;
}

struct Usage {
  std::string path;  // as the text shows it
  WideString exact;  // for JSON
  uint64_t bytes;
  size_t storages, streams;
  int depth;
};

// The storages of `nodes` (the loaded subtree of `top`) down to `depth`
// levels below it (-1: all), largest first, equal sizes by path.
std::vector<Usage> StorageUsage(const std::vector<TreeNode>& nodes,
                                const Element& top, int depth) {
  std::vector<Usage> usage;
  for (size_t i = 0; i < nodes.size(); ++i) {
    const TreeNode& node = nodes[i];
    if (node.type != STGTY_STORAGE || (depth >= 0 && node.depth > depth)) {
      continue;
    }
    usage.push_back(
        {NodePath(nodes, static_cast<int>(i), top.path()),
         NodeWidePath(nodes, static_cast<int>(i), WidePath(top.names)),
         node.size, node.storages, node.streams, node.depth});
  }
  std::stable_sort(
      usage.begin(), usage.end(), [](const Usage& a, const Usage& b) {
        return a.bytes != b.bytes ? a.bytes > b.bytes : a.path < b.path;
      });
  return usage;
}

// -d DEPTH: a whole number of levels; -1 when not given.
bool ParseDepth(const Context& c, int* depth) {
  std::string text;
  *depth = -1;
  if (!ValueOf(c, "max-depth", &text)) return true;
  if (text.empty() || text.size() > 6 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    std::fprintf(stderr,
                 "qsplex: du: -d takes a whole number of levels, not '%s'\n"
                 "'qsplex help du' describes it.\n",
                 text.c_str());
    return false;
  }
  *depth = std::stoi(text);
  return true;
}

// IMAGE's file name without its folders, as both builds write it.
std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Writes `text` to FILE through a temporary file renamed over it, so that
// FILE is never seen half written. Prints the failure.
bool WriteWhole(const Context& c, const std::string& file,
                const std::string& text) {
  TemporaryFile temporary(file);
  std::string problem;
  if (!temporary.Create(&problem)) {
    c.Fail(file, CreateProblem(file, problem));
    return false;
  }
  std::FILE* out = OpenFile(temporary.path(), "wb");
  bool written = out != nullptr &&
                 std::fwrite(text.data(), 1, text.size(), out) == text.size();
  if (out != nullptr && std::fclose(out) != 0) written = false;
  if (!written) {
    c.Fail(file, "cannot write it: " + SystemReason());
    return false;
  }
  if (!temporary.Replace(&problem, c.Has('f'))) {
    c.Fail(file, problem);
    return false;
  }
  return true;
}

int RunDu(const Context& c) {
  int depth = -1;
  if (!ParseDepth(c, &depth)) return kExitUsage;
  Element e;
  if (!OpenImage(c, false) ||
      !LocateExisting(c, c.args.empty() ? "/" : c.args[0], kRead, &e)) {
    return kExitFailure;
  }
  std::vector<Usage> usage;
  if (e.type == STGTY_STREAM) {
    usage.push_back({e.path(), WidePath(e.names), e.size, 0, 1, 0});
  } else {
    std::vector<TreeNode> nodes;
    Ref<IStorage> storage;
    int failed = 0;
    HRESULT hr = OpenAsStorage(e, kRead, storage.Out());
    if (SUCCEEDED(hr)) {
      hr = LoadTree(storage.get(), e.is_root() ? WideString() : e.name(), false,
                    &nodes, &failed);
    }
    if (FAILED(hr)) return c.Fail(NodePath(nodes, failed, e.path()), hr);
    usage = StorageUsage(nodes, e, depth);
  }
  if (c.json) {
    JsonWriter json;
    json.BeginObject().Key("image").String(c.image);
    json.Key("path").String(WidePath(e.names).c_str());
    json.Key("storages").BeginArray();
    for (const Usage& u : usage) {
      json.BeginObject().Key("path").String(u.exact.c_str());
      json.Key("size").Number(u.bytes);
      json.Key("depth").Signed(u.depth).Key("storages").Number(u.storages);
      json.Key("streams").Number(u.streams).EndObject();
    }
    json.EndArray().EndObject();
    return PrintJson(c, json);
  }
  for (const Usage& u : usage) {
    std::printf("%s\t%s\n", SizeText(u.bytes, c.human()).c_str(),
                u.path.c_str());
  }
  return 0;
}

int RunReport(const Context& c) {
  std::string file;
  if (!ValueOf(c, "output", &file) || file.empty()) {
    std::fprintf(stderr,
                 "qsplex: report: no page to write: give -o FILE.html\n"
                 "'qsplex help report' describes it.\n");
    return kExitUsage;
  }
  const FileKind kind = Probe(file).kind;
  if (kind == FileKind::kDirectory) return c.Fail(file, "is a folder");
  if (IsTheImage(c, file)) return kExitFailure;
  if (kind != FileKind::kMissing && !c.Has('f')) {
    return c.Fail(file, "exists already (-f replaces it)");
  }
  ReportInput in;
  if (!c.args.empty() && !ParsePath(c, c.args[0], &in.top)) {
    return kExitFailure;
  }
  ImageDamage damage;
  if (!LoadDamagedImage(c, &damage)) return kExitFailure;
  SetActivity("walking the tree for the report");
  const std::vector<qss::AllocatedBlock> blocks = AllocatedBlocks();
  const SalvagedTree tree = SalvageTree(blocks, damage.blocks);
  const std::vector<qss::TreeFinding> findings = qss::CheckTree(blocks);
  in.image_name = BaseName(c.image);
  in.tree = &tree;
  in.blocks = &blocks;
  in.damage = &damage;
  in.findings = &findings;
  in.file_bytes = Probe(c.target).bytes;
  QssPlexImageInfo info = {};
  const std::string store_path = StorePath(c.target);
  if (!store_path.empty() &&
      QssPlex_ImageInfo(store_path.c_str(), &info) == QSS_PLEX_LOADED) {
    in.version = info.version;
  }
  std::string json, problem;
  if (!ReportJson(in, &json, &problem)) {
    return c.Fail(c.args.empty() ? "/" : JoinPath(in.top, in.top.size()),
                  problem);
  }
  SetActivity("writing the report");
  if (!WriteWhole(c, file, ReportPage(json))) return kExitFailure;
  const size_t spoiled = static_cast<size_t>(std::count_if(
      tree.elements.begin(), tree.elements.end(),
      [](const SalvagedElement& e) { return e.fate != Fate::kKept; }));
  std::printf("%s: %s of %s (%s damaged or lost), %s, %s\n", file.c_str(),
              Count(tree.elements.size(), "element").c_str(), c.image.c_str(),
              std::to_string(spoiled).c_str(),
              Count(damage.blocks.size(), "damaged block").c_str(),
              Count(findings.size(), "finding").c_str());
  return 0;
}

}  // namespace

const Command kDuCommand = {
    "du",
    "[-d DEPTH] [-H] [--json] IMAGE [PATH]",
    {{'d', "max-depth", true, nullptr}, kHumanOption, kJsonOption},
    0,
    1,
    Access::kRead,
    "show the bytes below each storage, largest first",
    "Shows the bytes of the streams below each storage of the subtree at\n"
    "PATH (default /), one storage a line, largest first (equal sizes by\n"
    "path), as 'du | sort -rn' shows folders. Of a stream, its size.\n"
    "  -d, --max-depth DEPTH  storages at most DEPTH levels below PATH\n"
    "                         (0: PATH alone)\n"
    "  -H, --human            sizes in KiB, MiB and GiB, rounded up\n"
    "  --json                 as a JSON object (docs/qsplex-json.md)\n",
    "qsplex du t.img\nqsplex du -d 1 -H t.img /docs\nqsplex du --json t.img",
    RunDu,
    {"usage", "ncdu"}};

const Command kReportCommand = {
    "report",
    "[-f] IMAGE [PATH] -o FILE.html",
    {{'o', "output", true, nullptr}, Flag('f')},
    0,
    1,
    Access::kRead,
    "write a page showing where the bytes are and what is damaged",
    "Writes FILE.html, one page that any browser opens with no network: a\n"
    "treemap of the subtree at PATH (default /) by bytes (hover for an\n"
    "element's path, size and class id; click a storage to zoom into it),\n"
    "the image's blocks by owner and size with damaged blocks marked, what\n"
    "'check' finds and what 'recover' would keep, and the tree as a list\n"
    "to expand. A damaged image is read as check and recover read it.\n"
    "Elements too small to draw are summed into one area per storage. Both\n"
    "builds write the same page for the same image.\n"
    "  -o, --output FILE  the page to write\n"
    "  -f                 replace FILE if it exists\n",
    "qsplex report t.img -o t.html\n"
    "qsplex report broken.img /docs -o docs.html",
    RunReport,
    {"html", "treemap", "visualize"}};

}  // namespace qsplex
