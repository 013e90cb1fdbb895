// find: the paths of a subtree whose names and kinds match, as find(1)
// prints them, in the order ls lists them.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/os/system.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/glob.h"
#include "tools/qsplex/output/json.h"
#include "tools/qsplex/tree/lookup.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {
namespace {

// What an element must be to be printed: every -name pattern matches its
// name and it is of every -type given.
struct FindFilter {
  std::vector<Glob> names;
  DWORD type = 0;        // 0: either kind
  bool nothing = false;  // two different -type: no element is both
};

// -name GLOB, refused at once when GLOB is empty (as when it is missing)
// or not UTF-8.
bool TakeName(const std::string& value, Context* c, std::string* problem) {
  if (value.empty()) {
    *problem = "takes a pattern (GLOB), which matches no empty name";
    return false;
  }
  Glob glob;
  if (!glob.Parse(value, problem)) return false;
  c->values.emplace_back("name", value);
  return true;
}

DWORD TypeOf(const std::string& value) {
  if (value == "s" || value == "d") return STGTY_STORAGE;
  return value == "f" ? static_cast<DWORD>(STGTY_STREAM) : 0;
}

bool TakeType(const std::string& value, Context* c, std::string* problem) {
  if (TypeOf(value) != 0) {
    c->values.emplace_back("type", value);
    return true;
  }
  *problem = "takes s (storages) or f (streams), not '" + value + "'";
  return false;
}

// The filter the command line's -name and -type make.
FindFilter FilterOf(const Context& c) {
  FindFilter filter;
  for (const auto& option : c.values) {
    if (option.first == "name") {
      Glob glob;
      std::string problem;
      glob.Parse(option.second, &problem);  // checked by TakeName
      filter.names.push_back(glob);
      continue;
    }
    const DWORD type = TypeOf(option.second);
    filter.nothing =
        filter.nothing || (filter.type != 0 && filter.type != type);
    filter.type = type;
  }
  return filter;
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

int RunFind(const Context& c) {
  const FindFilter filter = FilterOf(c);
  Element e;
  std::vector<TreeNode> nodes;
  if (!ListPathOperand(c, &e, &nodes)) return kExitFailure;
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

}  // namespace

const Command kFindCommand = {
    "find",
    "IMAGE [PATH] [-name GLOB] [-type s|f] [--json]",
    {{0, "name", true, TakeName, true},
     {0, "type", true, TakeType, true},
     kJsonOption},
    0,
    1,
    Access::kRead,
    "list the paths below a storage that match",
    "Prints the path of every element of the subtree at PATH (default /),\n"
    "PATH itself included, as find(1) does: depth first, each storage's\n"
    "elements by name as ls lists them, escaped as ls shows names. A test\n"
    "given more than once must hold each time.\n"
    "  -name GLOB  only elements whose name, as ls shows it, matches GLOB\n"
    "              (quoted, so that the shell leaves it alone): * any\n"
    "              characters, ? one, [a-z] one of a set, [!a-z] one not in\n"
    "              it; \\ makes the next character itself\n"
    "  -type s|f   only storages (s; or d, as find(1) says it) or streams (f)\n"
    "  --json      the elements as a JSON array, each as an entry of\n"
    "              'ls --json' (docs/qsplex-json.md)\n",
    "qsplex find t.img -name '*.txt'\nqsplex find t.img /docs -type s\n"
    "qsplex find --json t.img -name 'run-[0-9]*' -type f",
    RunFind,
    {"search", "locate"}};

}  // namespace qsplex
