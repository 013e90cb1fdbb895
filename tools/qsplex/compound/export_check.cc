#include "tools/qsplex/compound/export_check.h"

#include <map>
#include <set>
#include <utility>

namespace qsplex {
namespace {

// Latin Extended-A pairs its letters upper then lower, except in the runs
// U+0139-U+0148 and U+0179-U+017E, where the lower letter comes second at
// an even code point.
char16_t UpperLatinExtendedA(char16_t c) {
  if (c == 0x131) return u'I';
  if (c == 0x17F) return u'S';
  if (c == 0x130 || c == 0x138 || c == 0x149 || c == 0x178) return c;
  const bool odd_upper = (c >= 0x139 && c <= 0x148) || c >= 0x179;
  const bool lower = odd_upper ? c % 2 == 0 : c % 2 == 1;
  return lower ? static_cast<char16_t>(c - 1) : c;
}

char16_t UpperGreek(char16_t c) {
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return static_cast<char16_t>(c - 0x25);
  if (c == 0x3C2) return 0x3A3;
  if (c >= 0x3B1 && c <= 0x3CB) return static_cast<char16_t>(c - 0x20);
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return static_cast<char16_t>(c - 0x3F);
  return c;
}

// The simple upper-case mapping of the scripts that code page 1252 and its
// neighbours write; surrogates and everything else stay.
char16_t UpperUnit(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c < 0xB5) return c;
  if (c == 0xB5) return 0x39C;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
    return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) return UpperLatinExtendedA(c);
  if (c == 0x192) return 0x191;
  if (c >= 0x3AC && c <= 0x3CE) return UpperGreek(c);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

std::string Describe(NameFault fault, size_t units) {
  switch (fault) {
    case NameFault::kEmpty:
      return "the name is empty";
    case NameFault::kTooLong:
      return "the name is longer than 31 characters (" + std::to_string(units) +
             ")";
    case NameFault::kForbiddenCharacter:
      return "the name holds one of / \\ : !";
    case NameFault::kNone:
      break;
  }
  return std::string();
}

}  // namespace

NameFault CompoundNameFault(const WideString& name) {
  if (name.empty()) return NameFault::kEmpty;
  if (name.size() > kMaxCompoundNameUnits) return NameFault::kTooLong;
  if (name.find_first_of(OLESTR("/\\:!")) != WideString::npos) {
    return NameFault::kForbiddenCharacter;
  }
  return NameFault::kNone;
}

WideString CompoundNameKey(const WideString& name) {
  WideString key(name);
  for (OLECHAR& unit : key) {
    unit = static_cast<OLECHAR>(UpperUnit(static_cast<char16_t>(unit)));
  }
  return key;
}

std::vector<ExportProblem> CheckExportable(const std::vector<TreeNode>& nodes) {
  std::vector<ExportProblem> problems;
  // The first node of each (parent, key) pair.
  std::map<std::pair<int, WideString>, int> first;
  for (size_t i = 1; i < nodes.size(); ++i) {
    const TreeNode& node = nodes[i];
    const int index = static_cast<int>(i);
    const NameFault fault = CompoundNameFault(node.name);
    if (fault != NameFault::kNone) {
      problems.push_back({index, Describe(fault, node.name.size())});
      continue;
    }
    const auto found = first.emplace(
        std::make_pair(node.parent, CompoundNameKey(node.name)), index);
    if (!found.second) {
      const TreeNode& other = nodes[found.first->second];
      problems.push_back(
          {index, "the name differs only in case from its sibling " +
                      ShownName(other.name.c_str())});
    }
  }
  return problems;
}

namespace {

// The first `units` units of `name`, one fewer rather than half a
// surrogate pair.
WideString Cut(const WideString& name, size_t units) {
  if (name.size() <= units) return name;
  const auto last = static_cast<char16_t>(name[units - 1]);
  if (last >= 0xD800 && last <= 0xDBFF) --units;
  return name.substr(0, units);
}

}  // namespace

std::vector<WideString> ExportNames(const std::vector<TreeNode>& nodes) {
  std::vector<WideString> names(nodes.size());
  // The keys taken in each storage: first those of the names that stay.
  std::set<std::pair<int, WideString>> taken;
  const std::vector<ExportProblem> problems = CheckExportable(nodes);
  std::vector<bool> renamed(nodes.size(), false);
  for (const ExportProblem& p : problems) {
    renamed[static_cast<size_t>(p.node)] = !nodes[p.node].name.empty();
  }
  for (size_t i = 1; i < nodes.size(); ++i) {
    if (!renamed[i]) {
      taken.emplace(nodes[i].parent, CompoundNameKey(nodes[i].name));
    }
  }
  for (size_t i = 1; i < nodes.size(); ++i) {
    if (!renamed[i]) continue;
    WideString base(nodes[i].name);
    for (OLECHAR& unit : base) {
      if (unit == '/' || unit == '\\' || unit == ':' || unit == '!') {
        unit = '_';
      }
    }
    WideString name = Cut(base, kMaxCompoundNameUnits);
    for (int n = 1; !taken.emplace(nodes[i].parent, CompoundNameKey(name))
                        .second;
         ++n) {
      WideString suffix;
      for (const char c : "~" + std::to_string(n)) {
        suffix += static_cast<OLECHAR>(c);
      }
      name = Cut(base, kMaxCompoundNameUnits - suffix.size()) + suffix;
    }
    names[i] = name;
  }
  return names;
}

}  // namespace qsplex
