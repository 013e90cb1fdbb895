#include "tools/qsplex/output/glob.h"

#include <gtest/gtest.h>

namespace qsplex {
namespace {

TEST(GlobTest, MatchesAsFindNameDoes) {
  const struct {
    const char* pattern;
    const char* text;
    bool matches;
  } cases[] = {
      {"*", "", true},
      {"*", "anything", true},
      {"a*", "abc", true},
      {"a*", "bac", false},
      {"*.txt", "a.txt.txt", true},
      {"*.txt", "a.txt.bak", false},
      {"a*b*c", "aXbYbZc", true},
      {"a*b*c", "aXbYc d", false},
      {"?", "é", true},  // one character, two bytes
      {"??", "é", false},
      {"d?nn?es*", "données €ÿ", true},
      {"[abc]x", "bx", true},
      {"[abc]x", "dx", false},
      {"[a-c0-9]", "7", true},
      {"[!a-c]", "b", false},
      {"[^a-c]", "d", true},
      {"[]]", "]", true},
      {"[!]]", "]", false},
      {"[a-]", "-", true},
      {"[é-ë]", "ê", true},
      {"[", "[", true},  // no ']' closes it
      {"a[b", "a[b", true},
      {"\\*", "*", true},
      {"\\*", "x", false},
      {"[\\]]", "]", true},
      {"%05*", "%05SummaryInformation", true},
      {"x", "X", false},
      {"", "", true},
      {"", "a", false},
      {"**a", "ba", true},
  };
  for (const auto& c : cases) {
    Glob glob;
    std::string problem;
    ASSERT_TRUE(glob.Parse(c.pattern, &problem)) << c.pattern;
    EXPECT_EQ(c.matches, glob.Matches(c.text)) << c.pattern << " " << c.text;
  }
}

TEST(GlobTest, RefusesAPatternThatIsNotUtf8) {
  Glob glob;
  std::string problem;
  EXPECT_FALSE(glob.Parse("a\xff", &problem));
  EXPECT_NE(std::string::npos, problem.find("UTF-8"));
}

TEST(GlobTest, DecodesCharactersPastTheBasicPlane) {
  std::u32string decoded;
  ASSERT_TRUE(DecodeUtf8("a\xF0\x9F\x98\x80", &decoded));
  EXPECT_EQ(std::u32string(U"a\U0001F600"), decoded);
  Glob glob;
  std::string problem;
  ASSERT_TRUE(glob.Parse("a?", &problem));
  EXPECT_TRUE(glob.Matches("a\xF0\x9F\x98\x80"));
}

}  // namespace
}  // namespace qsplex
