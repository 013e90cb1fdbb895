// find: the paths of a subtree whose names and kinds match, as find(1)
// prints them, in the order ls lists them.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/output/glob.h"

namespace qsplex {
namespace {

// What an element must be to be printed: every -name pattern matches its
// name and it is of every -type given.
struct FindFilter {
  std::vector<Glob> names;
  DWORD type = 0;        // 0: either kind
  bool nothing = false;  // two different -type: no element is both
};

// Reads -name and -type from the command line. Prints a usage error.
bool ParseFilter(const Context& c, FindFilter* filter) {
  for (const auto& option : c.values) {
    const std::string& value = option.second;
    if (option.first == "name") {
      Glob glob;
      std::string problem;
      if (!glob.Parse(value, &problem)) {
        c.Fail("-name", problem);
        return false;
      }
      filter->names.push_back(glob);
      continue;
    }
    DWORD type = 0;
    if (value == "s" || value == "d") type = STGTY_STORAGE;
    if (value == "f") type = STGTY_STREAM;
    if (type == 0) {
      c.Fail("-type", "takes s (storages) or f (streams), not '" + value + "'");
      return false;
    }
    filter->nothing =
        filter->nothing || (filter->type != 0 && filter->type != type);
    filter->type = type;
  }
  return true;
}

// The name -name matches: as ls shows it ("/" for the root, as find(1)
// names it; "" for an element without a name).
std::string MatchedName(const TreeNode& node, bool root) {
  if (root) return "/";
  return node.name.empty() ? std::string() : ShownName(node.name.c_str());
}

bool Passes(const FindFilter& filter, const TreeNode& node, bool root) {
  if (filter.nothing || (filter.type != 0 && node.type != filter.type)) {
    return false;
  }
  const std::string name = MatchedName(node, root);
  for (const Glob& glob : filter.names) {
    if (!glob.Matches(name)) return false;
  }
  return true;
}

}  // namespace

int RunFind(const Context& c) {
  FindFilter filter;
  if (!ParseFilter(c, &filter)) return kExitUsage;
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
  SortTree(&nodes, SortOrder::kName, false);
  JsonWriter json;
  json.BeginArray();
  const WideString top = WidePath(e.names);
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (!Passes(filter, nodes[i], i == 0 && e.is_root())) continue;
    const int index = static_cast<int>(i);
    if (c.json) {
      json.BeginObject();
      WriteElement(&json, nodes[i], NodeWidePath(nodes, index, top));
      json.EndObject();
    } else {
      std::printf("%s\n", NodePath(nodes, index, e.path()).c_str());
    }
  }
  if (c.json) return PrintJson(c, json.EndArray());
  return std::fflush(stdout) == 0 ? 0
                                  : c.Fail("standard output", SystemReason());
}

}  // namespace qsplex
