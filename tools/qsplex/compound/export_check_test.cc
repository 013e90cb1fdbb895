#include "tools/qsplex/compound/export_check.h"

#include <gtest/gtest.h>

#include <tuple>

namespace qsplex {
namespace {

WideString Wide(const std::string& utf8) {
  WideString wide;
  EXPECT_TRUE(Utf8ToWide(utf8, &wide)) << utf8;
  return wide;
}

// A listing in LoadTree's shape from (name, parent, storage) triples; the
// top comes first.
std::vector<TreeNode> Listing(
    std::initializer_list<std::tuple<std::string, int, bool>> elements) {
  std::vector<TreeNode> nodes;
  for (const auto& e : elements) {
    TreeNode node{};
    node.name = Wide(std::get<0>(e));
    node.parent = std::get<1>(e);
    node.type = std::get<2>(e) ? STGTY_STORAGE : STGTY_STREAM;
    nodes.push_back(node);
  }
  return nodes;
}

// "node: reason" per problem.
std::vector<std::string> Problems(const std::vector<TreeNode>& nodes) {
  std::vector<std::string> out;
  for (const ExportProblem& p : CheckExportable(nodes)) {
    out.push_back(std::to_string(p.node) + ": " + p.reason);
  }
  return out;
}

TEST(ExportCheckTest, ATreeTheFormatHoldsPasses) {
  const std::string longest(31, 'n');
  // The top's own name never reaches the file; equal names in different
  // storages, and names equal only before upper-casing a letter that has no
  // upper case in the mapping, are distinct.
  const auto nodes = Listing({{"top/with:everything!", -1, true},
                              {longest, 0, true},
                              {"data", 1, false},
                              {"data", 0, false},
                              {"\xC3\xA9t\xC3\xA9", 0, false},
                              {"\x05SummaryInformation", 0, false},
                              {"\xC3\x9F", 0, false},
                              {"ss", 0, false},
                              {"\xE2\x82\xAC", 0, false}});
  EXPECT_EQ(std::vector<std::string>(), Problems(nodes));
}

TEST(ExportCheckTest, EveryOffendingNodeIsListedWithItsReason) {
  const auto nodes = Listing({{"", -1, true},
                              {"Data", 0, true},
                              {std::string(32, 'x'), 1, false},
                              {"a/b", 1, false},
                              {"back\\slash", 1, false},
                              {"c:", 1, false},
                              {"!", 1, false},
                              {"", 1, false},
                              {"DATA", 0, false},
                              {"data", 0, true},
                              {"\xC3\xA9t\xC3\xA9", 1, false},
                              {"\xC3\x89T\xC3\x89", 1, false}});
  const std::vector<std::string> expected = {
      "2: the name is longer than 31 characters (32)",
      "3: the name holds one of / \\ : !",
      "4: the name holds one of / \\ : !",
      "5: the name holds one of / \\ : !",
      "6: the name holds one of / \\ : !",
      "7: the name is empty",
      "8: the name differs only in case from its sibling Data",
      "9: the name differs only in case from its sibling Data",
      "11: the name differs only in case from its sibling \xC3\xA9t\xC3\xA9",
  };
  EXPECT_EQ(expected, Problems(nodes));
}

TEST(ExportCheckTest, LengthCountsUtf16Units) {
  // 15 characters outside the basic plane take 30 units; one more letter
  // makes 31, two make 32.
  std::string astral;
  for (int i = 0; i < 15; ++i) astral += "\xF0\x9F\x98\x80";
  EXPECT_EQ(NameFault::kNone, CompoundNameFault(Wide(astral + "a")));
  EXPECT_EQ(NameFault::kTooLong, CompoundNameFault(Wide(astral + "ab")));
  std::string accented;
  for (int i = 0; i < 31; ++i) accented += "\xC3\xA9";
  EXPECT_EQ(NameFault::kNone, CompoundNameFault(Wide(accented)));
  EXPECT_EQ(NameFault::kTooLong, CompoundNameFault(Wide(accented + "e")));
}

TEST(ExportCheckTest, KeysUpperCaseAsTheFormatCompares) {
  const struct {
    const char* name;
    const char* key;
  } cases[] = {
      {"abc-xyz_09", "ABC-XYZ_09"},
      {"\xC3\xA0\xC3\xBE\xC3\xB7", "\xC3\x80\xC3\x9E\xC3\xB7"},  // àþ÷
      {"\xC3\xBF", "\xC5\xB8"},                                  // ÿ -> Ÿ
      {"\xC5\x93\xC5\xA1\xC5\xBE", "\xC5\x92\xC5\xA0\xC5\xBD"},  // œšž
      {"\xC4\xBA\xC5\x82", "\xC4\xB9\xC5\x81"},                  // ĺł
      {"\xC6\x92\xC2\xB5", "\xC6\x91\xCE\x9C"},                  // ƒµ
      {"\xCE\xB1\xCF\x82\xCE\xAC", "\xCE\x91\xCE\xA3\xCE\x86"},  // αςά
      {"\xD0\xB6\xD1\x91", "\xD0\x96\xD0\x81"},                  // жё
      {"\xC3\x9F\xE2\x82\xAC", "\xC3\x9F\xE2\x82\xAC"},          // ß€ stay
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WideToUtf8(CompoundNameKey(Wide(c.name)).c_str()), c.key)
        << c.name;
  }
}

TEST(ExportCheckTest, RenamesGiveLegalUniqueNames) {
  const std::string astral = "\xF0\x9F\x98\x80";  // two units
  std::string long_astral(30, 'a');
  long_astral += astral;
  const auto nodes = Listing({{"", -1, true},
                              {"a:b", 0, false},
                              {"a_b", 0, false},
                              {"a/b", 0, false},
                              {std::string(40, 'x'), 0, true},
                              {std::string(31, 'x'), 0, false},
                              {std::string(41, 'x'), 0, false},
                              {"Data", 4, false},
                              {"DATA", 4, false},
                              {"data", 4, false},
                              {"data~1", 4, false},
                              {long_astral, 4, false},
                              {"", 4, false}});
  // Names that stay take theirs first; the renamed ones follow in node
  // order, each taking the lowest free ~N.
  const std::vector<std::string> expected = {
      "", "a_b~1", "", "a_b~2", "xxxxxxxxxxxxxxxxxxxxxxxxxxxxx~1", "",
      "xxxxxxxxxxxxxxxxxxxxxxxxxxxxx~2", "", "DATA~2", "data~3",
      "", std::string(30, 'a'), ""};
  std::vector<std::string> names;
  for (const WideString& name : ExportNames(nodes)) {
    names.push_back(WideToUtf8(name.c_str()));
  }
  EXPECT_EQ(expected, names);
  // What the renames give passes the check.
  auto renamed = nodes;
  for (size_t i = 0; i < renamed.size(); ++i) {
    if (!names[i].empty()) renamed[i].name = Wide(names[i]);
  }
  renamed.pop_back();
  EXPECT_EQ(std::vector<std::string>(), Problems(renamed));
}

}  // namespace
}  // namespace qsplex
