#include "tools/qsplex/output/json.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace qsplex {
namespace {

// UTF-16 text from a char16_t literal, whose \x escapes may spell any
// unit, a lone surrogate too.
WideString W(const std::u16string& units) {
  return WideString(units.begin(), units.end());
}

// Reads back a quoted string as JsonQuote writes it; -1 in the result
// marks what a JSON reader would reject.
std::vector<int> Unquote(const std::string& quoted) {
  std::vector<int> units;
  if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') {
    return {-1};
  }
  for (size_t i = 1; i + 1 < quoted.size(); ++i) {
    const unsigned char c = quoted[i];
    if (c < 0x20 || c > 0x7E || c == '"') return {-1};
    if (c != '\\') {
      units.push_back(c);
      continue;
    }
    const char kind = quoted[++i];
    const char* const kShort = "\"\\/bfnrt";
    const char* const kMeaning = "\"\\/\b\f\n\r\t";
    if (const char* at = std::strchr(kShort, kind); at != nullptr && kind) {
      units.push_back(kMeaning[at - kShort]);
    } else if (kind == 'u' && i + 4 < quoted.size()) {
      units.push_back(std::stoi(quoted.substr(i + 1, 4), nullptr, 16));
      i += 4;
    } else {
      return {-1};
    }
  }
  return units;
}

TEST(JsonTest, QuotingEscapesWhatJsonRequiresAndEverythingPastAscii) {
  const struct {
    WideString wide;
    const char* quoted;
  } cases[] = {
      {W(u""), "\"\""},
      {W(u"a\"b\\"), "\"a\\\"b\\\\\""},
      {W(u"\x05S\x1F\x7F"), "\"\\u0005S\\u001f\\u007f\""},
      {W(u"\n\r\t\b\f"), "\"\\n\\r\\t\\b\\f\""},
      {W(u"/<>"), "\"/<>\""},
      {W(u"\xE9\x20AC\x81"), "\"\\u00e9\\u20ac\\u0081\""},
      {W(u"\xD83D\xDE00"), "\"\\ud83d\\ude00\""},
      {W(u"x\xDC00y"), "\"x\\udc00y\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.quoted, JsonQuote(c.wide.c_str()));
  }
  EXPECT_EQ("\"\"", JsonQuote(static_cast<const OLECHAR*>(nullptr)));
}

TEST(JsonTest, EveryUtf16UnitReadsBackUnchanged) {
  for (unsigned unit = 1; unit <= 0xFFFF; ++unit) {
    const WideString wide = W({u'a', static_cast<char16_t>(unit), u'z'});
    const std::vector<int> expected = {'a', static_cast<int>(unit), 'z'};
    ASSERT_EQ(expected, Unquote(JsonQuote(wide.c_str()))) << unit;
  }
}

TEST(JsonTest, Utf8IsDecodedAndOtherBytesReadAsTheCodePage) {
  EXPECT_EQ("\"caf\\u00e9 \\u20ac\"",
            JsonQuote(std::string("caf\xC3\xA9 \xE2\x82\xAC")));
  EXPECT_EQ("\"\\ud83d\\ude00\"", JsonQuote(std::string("\xF0\x9F\x98\x80")));
  EXPECT_EQ("\"\\u0005\\n\"", JsonQuote(std::string("\x05\n")));
  // Not UTF-8: every byte through code page 1252, none lost.
  EXPECT_EQ("\"\\u20acab\\u00e9\"", JsonQuote(std::string("\x80"
                                                          "ab\xE9")));
  EXPECT_EQ("\"a\\u0000b\"", JsonQuote(std::string("a\0b", 3)));
  EXPECT_EQ("\"\\u00c3(\"", JsonQuote(std::string("\xC3(")));
}

TEST(JsonTest, WriterNestsAndSeparatesValues) {
  JsonWriter json;
  json.BeginObject().Key("name").String("a\"b").Key("size").Number(42);
  json.Key("none").Null().Key("ok").Bool(true).Key("offset").Signed(-3);
  json.Key("list").BeginArray().Number(1).BeginObject().EndObject();
  json.BeginArray().EndArray().EndArray();
  json.Key("empty").BeginObject().EndObject().EndObject();
  EXPECT_EQ(
      "{\n"
      "  \"name\": \"a\\\"b\",\n"
      "  \"size\": 42,\n"
      "  \"none\": null,\n"
      "  \"ok\": true,\n"
      "  \"offset\": -3,\n"
      "  \"list\": [\n"
      "    1,\n"
      "    {},\n"
      "    []\n"
      "  ],\n"
      "  \"empty\": {}\n"
      "}\n",
      json.Text());
  JsonWriter alone;
  alone.String(W(u"\x05x").c_str());
  EXPECT_EQ("\"\\u0005x\"\n", alone.Text());
}

}  // namespace
}  // namespace qsplex
