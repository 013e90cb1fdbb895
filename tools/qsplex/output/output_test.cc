#include "tools/qsplex/output/output.h"

#include <gtest/gtest.h>

namespace qsplex {
namespace {

TEST(OutputTest, HumanSizesRoundUpAndChangeUnitAt1024) {
  const struct {
    uint64_t bytes;
    const char* text;
  } cases[] = {
      {0, "0 B"},           {1023, "1023 B"},        {1024, "1.0 KiB"},
      {1025, "1.1 KiB"},    {1536, "1.5 KiB"},       {10239, "10 KiB"},
      {10240, "10 KiB"},    {10241, "11 KiB"},       {1048575, "1.0 MiB"},
      {1048577, "1.1 MiB"}, {5ull << 30, "5.0 GiB"}, {~0ull, "16 EiB"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, HumanSize(c.bytes)) << c.bytes;
  EXPECT_EQ("1536", SizeText(1536, false));
  EXPECT_EQ("1.5 KiB", SizeText(1536, true));
}

WideString Wide(const char* ascii) {
  WideString out;
  for (; *ascii != 0; ++ascii) out.push_back(static_cast<OLECHAR>(*ascii));
  return out;
}

TreeNode Node(const char* name, int parent, DWORD type, uint64_t size,
              int depth, bool last) {
  TreeNode node;
  node.name = Wide(name);
  node.parent = parent;
  node.type = type;
  node.size = size;
  node.mode = 0;
  node.clsid = CLSID{};
  node.depth = depth;
  node.last = last;
  return node;
}

// top/ { b (5), A/ { z (1), y (9) } (total 10), c (7) }, as LoadTree
// gives it: depth first, each storage's children in the library's order.
std::vector<TreeNode> Sample() {
  return {Node("top", -1, STGTY_STORAGE, 22, 0, true),
          Node("b", 0, STGTY_STREAM, 5, 1, false),
          Node("A", 0, STGTY_STORAGE, 10, 1, false),
          Node("z", 2, STGTY_STREAM, 1, 2, false),
          Node("y", 2, STGTY_STREAM, 9, 2, true),
          Node("c", 0, STGTY_STREAM, 7, 1, true)};
}

// "name@parent-name" per node, and which nodes are last.
std::string Shape(const std::vector<TreeNode>& nodes) {
  std::string shape;
  for (const TreeNode& node : nodes) {
    shape += WideToUtf8(node.name.c_str());
    if (node.parent >= 0) {
      shape += "@" + WideToUtf8(nodes[node.parent].name.c_str());
    }
    shape += node.last ? "! " : " ";
  }
  return shape;
}

TEST(OutputTest, SortTreeKeepsParentsBeforeChildren) {
  std::vector<TreeNode> nodes = Sample();
  SortTree(&nodes, SortOrder::kNone, true);
  EXPECT_EQ("top! b@top A@top z@A y@A! c@top! ", Shape(nodes));
  SortTree(&nodes, SortOrder::kName, true);
  EXPECT_EQ("top! A@top y@A z@A! b@top c@top! ", Shape(nodes));
  nodes = Sample();
  SortTree(&nodes, SortOrder::kSize, true);
  EXPECT_EQ("top! A@top y@A z@A! c@top b@top! ", Shape(nodes));
  EXPECT_EQ(10u, nodes[1].size);  // totals are kept, not only sorted by
  nodes = Sample();
  SortTree(&nodes, SortOrder::kSize, false);
  EXPECT_EQ("top! c@top b@top A@top! y@A z@A! ", Shape(nodes));
  EXPECT_EQ(10u, nodes[3].size);
}

TEST(OutputTest, EqualSizesSortByNameUpperCaseFirst) {
  std::vector<TreeNode> siblings = {Node("b", 0, STGTY_STREAM, 3, 1, false),
                                    Node("B", 0, STGTY_STORAGE, 0, 1, false),
                                    Node("a", 0, STGTY_STREAM, 3, 1, false),
                                    Node("C", 0, STGTY_STREAM, 3, 1, false),
                                    Node("A", 0, STGTY_STREAM, 0, 1, true)};
  SortSiblings(&siblings, SortOrder::kSize);
  std::string order;
  for (const TreeNode& node : siblings) order += WideToUtf8(node.name.c_str());
  EXPECT_EQ("CabAB", order);
}

// Names sort as their UTF-8 bytes do, also where UTF-16 units do not:
// characters past U+FFFF come after U+E000 to U+FFFF.
TEST(OutputTest, NamesSortInCodePointOrder) {
  const struct {
    const char* before;
    const char* after;
  } cases[] = {
      {"A", "a"},
      {"a", "ab"},
      {"", "a"},
      {"Z", "_"},
      {"z", "\xC3\xA9"},                     // U+00E9
      {"\xC3\xA9", "\xE2\x82\xAC"},          // U+20AC, 0x80 in 1252
      {"\xEF\xBF\xBD", "\xF0\x9F\x98\x80"},  // U+FFFD, U+1F600
  };
  for (const auto& c : cases) {
    WideString before, after;
    ASSERT_TRUE(Utf8ToWide(c.before, &before));
    ASSERT_TRUE(Utf8ToWide(c.after, &after));
    EXPECT_TRUE(NameBefore(before, after)) << c.before << " " << c.after;
    EXPECT_FALSE(NameBefore(after, before)) << c.before << " " << c.after;
    EXPECT_LT(std::string(c.before), std::string(c.after));
  }
}

}  // namespace
}  // namespace qsplex
