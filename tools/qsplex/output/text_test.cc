#include "tools/qsplex/output/text.h"

#include <gtest/gtest.h>

namespace qsplex {
namespace {

WideString Units(std::initializer_list<unsigned> units) {
  WideString out;
  for (unsigned unit : units) out.push_back(static_cast<OLECHAR>(unit));
  return out;
}

TEST(TextTest, Utf8DecodesToUtf16AndBack) {
  const struct {
    const char* utf8;
    WideString wide;
  } cases[] = {
      {"", Units({})},
      {"a/b", Units({'a', '/', 'b'})},
      {"\xC3\xA9", Units({0xE9})},
      {"\xE2\x82\xAC", Units({0x20AC})},
      {"\xF0\x9F\x98\x80", Units({0xD83D, 0xDE00})},
  };
  for (const auto& c : cases) {
    WideString wide;
    EXPECT_TRUE(Utf8ToWide(c.utf8, &wide)) << c.utf8;
    EXPECT_EQ(c.wide, wide) << c.utf8;
    EXPECT_EQ(c.utf8, WideToUtf8(wide.c_str()));
  }
}

TEST(TextTest, InvalidUtf8IsRefused) {
  const std::string cases[] = {
      "\xFF",         "\xC3",
      "\xC0\xAF",     "\xE0\x80\xAF",
      "\xED\xA0\x80", "\xF4\x90\x80\x80",
      "a\xC3(",       std::string("a\0b", 3),
  };
  for (const std::string& utf8 : cases) {
    WideString wide;
    EXPECT_FALSE(Utf8ToWide(utf8, &wide)) << testing::PrintToString(utf8);
  }
}

TEST(TextTest, LoneSurrogateBecomesReplacementCharacter) {
  EXPECT_EQ("x\xEF\xBF\xBDy", WideToUtf8(Units({'x', 0xD800, 'y'}).c_str()));
}

TEST(TextTest, PathsSplitIntoNamesAndJoinBack) {
  std::vector<WideString> names;
  ASSERT_TRUE(SplitPath("/", &names));
  EXPECT_TRUE(names.empty());
  EXPECT_EQ("/", JoinPath(names, 0));
  ASSERT_TRUE(SplitPath("a//b\xC3\xA9/", &names));
  ASSERT_EQ(2u, names.size());
  EXPECT_EQ("/a/b\xC3\xA9", JoinPath(names, 2));
  EXPECT_EQ("/a", JoinPath(names, 1));
}

TEST(TextTest, ClassIdsParseWithOrWithoutBraces) {
  CLSID clsid;
  ASSERT_TRUE(ParseClassId("{01234567-89AB-CDEF-0123-456789abcdef}", &clsid));
  EXPECT_EQ(0x01234567u, clsid.Data1);
  EXPECT_EQ(0x89AB, clsid.Data2);
  EXPECT_EQ(0xCDEF, clsid.Data3);
  EXPECT_EQ(0x01, clsid.Data4[0]);
  EXPECT_EQ(0xEF, clsid.Data4[7]);
  EXPECT_EQ("{01234567-89AB-CDEF-0123-456789ABCDEF}", FormatClassId(clsid));
  EXPECT_TRUE(ParseClassId("01234567-89ab-cdef-0123-456789abcdef", &clsid));
  for (const char* bad : {"", "{01234567-89AB-CDEF-0123-456789ABCDE}",
                          "0123456789ABCDEF0123456789ABCDEF",
                          "01234567-89AB-CDEF-0123+456789ABCDEF",
                          "0123456g-89AB-CDEF-0123-456789ABCDEF",
                          "{01234567-89AB-CDEF-0123-456789ABCDEF"}) {
    EXPECT_FALSE(ParseClassId(bad, &clsid)) << bad;
  }
}

TEST(TextTest, ElementNamesCompareAsTheLibraryDoes) {
  // Characters the ANSI code page lacks become the same default character.
  EXPECT_TRUE(
      SameElementName(Units({0x4E2D}).c_str(), Units({0x6587}).c_str()));
  EXPECT_TRUE(SameElementName(Units({0xE9}).c_str(), Units({0xE9}).c_str()));
  EXPECT_FALSE(SameElementName(Units({'a'}).c_str(), Units({'A'}).c_str()));
}

TEST(TextTest, NamesOutsideTheCodePageArePlacedByCharacter) {
  const struct {
    WideString name;
    size_t place;
    uint32_t character;
  } cases[] = {
      {Units({0xFC, 0x20AC, ' ', 0xFF}), 0, 0},  // "ü€ ÿ": all in 1252
      {Units({0xFC, 0x20AC, ' ', 0x65E5, 0x672C}), 4, 0x65E5},
      {Units({'a', 0xD83D, 0xDE00, 'b'}), 2, 0x1F600},  // a pair counts once
      {Units({0x100}), 1, 0x100},  // best fit would make it 'A'
  };
  for (const auto& c : cases) {
    uint32_t character = 0;
    EXPECT_EQ(c.place, FirstCharacterOutsideCodePage(c.name, &character))
        << WideToUtf8(c.name.c_str());
    if (c.place != 0) {
      EXPECT_EQ(c.character, character);
    }
  }
  EXPECT_EQ("(no name)", ShownName(Units({}).c_str()));
  EXPECT_EQ("(no name)", ShownName(nullptr));
}

TEST(NameEscapeTest, EachUseEscapesItsCharactersAndDecodesBack) {
  const struct {
    WideString name;
    const char* shown;
    const char* posix;
    const char* windows;
  } cases[] = {
      {Units({5, 'S', 'u', 'm'}), "%05Sum", "%05Sum", "%05Sum"},
      {Units({'1', '0', '0', '%'}), "100%25", "100%25", "100%25"},
      {Units({'a', '/', 'b'}), "a%2Fb", "a%2Fb", "a%2Fb"},
      {Units({0x1F, 0x7F, 0x81, 0x9D}), "%1F%7F%81%9D", "%1F%7F%81%9D",
       "%1F%7F%81%9D"},
      {Units({'a', ':', '*', '?'}), "a:*?", "a:*?", "a%3A%2A%3F"},
      {Units({'<', '"', '\\', '|', '>'}), "<\"\\|>", "<\"\\|>",
       "%3C%22%5C%7C%3E"},
      {Units({'e', 'n', 'd', '.'}), "end.", "end.", "end%2E"},
      {Units({'e', 'n', 'd', ' '}), "end ", "end ", "end%20"},
      {Units({'.', ' ', '.'}), ". .", ". .", ". %2E"},
      {Units({'.'}), ".", "%2E", "%2E"},
      {Units({'.', '.'}), "..", ".%2E", ".%2E"},
      {Units({'.', '.', '.'}), "...", "...", "..%2E"},
      // Characters beyond ASCII stay themselves: only the controls escape.
      {Units({0xE9, 0x20AC, 0xD83D, 0xDE00}),
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    const std::pair<NameUse, const char*> uses[] = {
        {NameUse::kShown, c.shown},
        {NameUse::kPosixFile, c.posix},
        {NameUse::kWindowsFile, c.windows}};
    for (const auto& use : uses) {
      EXPECT_EQ(use.second, EscapeName(c.name, use.first)) << use.second;
      WideString back;
      std::string problem;
      EXPECT_TRUE(UnescapeName(use.second, &back, &problem))
          << use.second << ": " << problem;
      EXPECT_EQ(c.name, back) << use.second;
    }
  }
  EXPECT_EQ("(no name)", ShownName(nullptr));
  EXPECT_EQ("%05x", ShownName(Units({5, 'x'}).c_str()));
}

TEST(NameEscapeTest, OnlyTheEscapedFormDecodes) {
  const char* const bad[] = {
      "50%",   "50%2",  "%zz", "%2f",  // lower-case hex is not the form
      "%41",                           // 'A' is never escaped
      "%00",                           // no name holds a zero
      "a%2Eb", "a%20b",                // dot and space only at the end
      "\xFF",  "",
  };
  for (const char* text : bad) {
    WideString name;
    std::string problem;
    EXPECT_FALSE(UnescapeName(text, &name, &problem)) << text;
    EXPECT_FALSE(problem.empty()) << text;
  }
  WideString name;
  std::string problem;
  ASSERT_FALSE(UnescapeName("ab%4", &name, &problem));
  EXPECT_NE(std::string::npos, problem.find("character 3 of 'ab%4'"))
      << problem;
  // A raw control character is not the canonical form but names the same.
  ASSERT_TRUE(UnescapeName("\x05x", &name, &problem));
  EXPECT_EQ(Units({5, 'x'}), name);
}

TEST(NameEscapeTest, PathsDecodeEachNameAndShowEscaped) {
  std::vector<WideString> names;
  std::string problem;
  ASSERT_TRUE(SplitPath("/%05Sum/100%25/a%2Fb", &names, &problem));
  ASSERT_EQ(3u, names.size());
  EXPECT_EQ(Units({5, 'S', 'u', 'm'}), names[0]);
  EXPECT_EQ(Units({'a', '/', 'b'}), names[2]);
  EXPECT_EQ("/%05Sum/100%25/a%2Fb", JoinPath(names, 3));
  EXPECT_FALSE(SplitPath("/ok/100%", &names, &problem));
  EXPECT_NE(std::string::npos, problem.find("'%' itself is %25")) << problem;
  EXPECT_EQ("/a%05/b%25/\xC3\xA9%81", ShownPath("/a\x05/b%/\xC3\xA9\xC2\x81"));
}

TEST(TextTest, ResultCodesAreNamed) {
  EXPECT_EQ("no such element (STG_E_FILENOTFOUND)",
            DescribeResult(STG_E_FILENOTFOUND));
  EXPECT_EQ("result 0x80001234",
            DescribeResult(static_cast<HRESULT>(0x80001234)));
}

}  // namespace
}  // namespace qsplex
