#include "records/names.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "records/plex.h"
#include "standins/plex_controls.h"
#include "tests/test_support.h"

namespace qss {
namespace {

using qss_test::W;
using qss_test::Word;

class NamesTest : public qss_test::PlexTest {};

// The byte comparison the word-wise one must agree with: the stored name
// ends at its first zero byte or at the end of its words.
bool BytesEqual(const int* node, const NodeLayout& layout, const char* ansi,
                size_t length) {
  const int words = node[layout.name_length_word];
  if (words <= 0 || length > 4 * static_cast<size_t>(words)) return false;
  const char* stored =
      reinterpret_cast<const char*>(node + layout.name_length_word + 1);
  return std::memcmp(stored, ansi, length) == 0 &&
         (length == 4 * static_cast<size_t>(words) || stored[length] == 0);
}

bool NameEquals(const int* node, const char* ansi, size_t length) {
  NameKey key;
  MakeNameKey(ansi, length, &key);
  return NodeNameEquals(node, kStorageLayout, key);
}

TEST_F(NamesTest, ConvertsToCodePage1252) {
  EXPECT_STREQ("Data", ToAnsiName(W("Data").c_str()));
  EXPECT_STREQ("caf\xE9 \x80", ToAnsiName(W("café €").c_str()));
  // Characters the code page lacks become '?', each half of a surrogate
  // pair too.
  EXPECT_STREQ("a?b??", ToAnsiName(W("a\u4e00b\U0001F600").c_str()));
  EXPECT_EQ(nullptr, ToAnsiName(nullptr));
}

TEST_F(NamesTest, RefusesAnsiFormsOverTheBuffer) {
  const char* ansi = nullptr;
  EXPECT_EQ(S_OK, ConvertName(W(std::string(1023, 'x')).c_str(), &ansi));
  EXPECT_EQ(1023u, std::strlen(ansi));
  EXPECT_EQ(STG_E_INVALIDNAME,
            ConvertName(W(std::string(1024, 'x')).c_str(), &ansi));
  EXPECT_EQ(nullptr, ansi);
  EXPECT_EQ(STG_E_INVALIDPOINTER, ConvertName(nullptr, &ansi));
}

TEST_F(NamesTest, RoundTripsThroughWide) {
  OLECHAR wide[kWideNameBufferChars];
  ASSERT_NE(0, AnsiToWide("caf\xE9 \x80\x81", wide, kWideNameBufferChars));
  EXPECT_EQ(W("café €\u0081"), qss_test::WideString(wide));
}

// Word layout of a storage node's name: n = (len + 3) / 4 words, the last one
// zero padded, no terminator when len is a multiple of 4.
TEST_F(NamesTest, StoresNamesInWholeWords) {
  struct Case {
    const char* name;
    int words;
  } cases[] = {{"Root", 1}, {"Stream", 2}, {"ABCDEFGH", 2}, {"", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int id = AllocateNamedNode(kStorageLayout, c.name);
    ASSERT_NE(0, id);
    EXPECT_EQ(9 + c.words, QssPlex_BlockWords(id));
    EXPECT_EQ(c.words, Word(id, kStorageNameLengthWord));
    char stored[16] = {};
    std::memcpy(stored, LocateBlock(id) + kStorageNameWord, 4 * c.words);
    EXPECT_EQ(std::string(c.name), std::string(stored));
    if (c.words > 0 && std::strlen(c.name) % 4 != 0) {
      EXPECT_EQ(0, stored[std::strlen(c.name)]);
    }
    char* read = ReadNodeName(id, kStorageLayout);
    if (c.words == 0) {
      EXPECT_EQ(nullptr, read);  // no name at all
    } else {
      EXPECT_STREQ(c.name, read);
    }
    std::free(read);
    FreeBlock(id);
  }
}

TEST_F(NamesTest, NullNameIsOneZeroWordReadingAsEmpty) {
  const int id = AllocateNamedNode(kStreamLayout, nullptr);
  EXPECT_EQ(1, Word(id, kStreamNameLengthWord));
  EXPECT_EQ(0, Word(id, kStreamNameWord));
  char* read = ReadNodeName(id, kStreamLayout);
  EXPECT_STREQ("", read);
  std::free(read);
  FreeBlock(id);
}

TEST_F(NamesTest, RenamingKeepsTheBlockAndResizesOnlyWhenWordsChange) {
  QssPlex_SetMoveOnRealloc(1);
  const int id = AllocateNamedNode(kStorageLayout, "a");
  LocateBlock(id)[kStorageOpenModeWord] = 0x12;
  ASSERT_TRUE(StoreNodeName(id, kStorageLayout, "abcde"));
  EXPECT_EQ(11, QssPlex_BlockWords(id));
  EXPECT_EQ(0x12, Word(id, kStorageOpenModeWord));
  QssPlexCounts before;
  QssPlex_GetCounts(&before);
  ASSERT_TRUE(StoreNodeName(id, kStorageLayout, "vwxyz"));
  QssPlexCounts after;
  QssPlex_GetCounts(&after);
  EXPECT_EQ(before.reallocs, after.reallocs);
  ASSERT_TRUE(StoreNodeName(id, kStorageLayout, "b"));
  EXPECT_EQ(10, QssPlex_BlockWords(id));
  char* read = ReadNodeName(id, kStorageLayout);
  EXPECT_STREQ("b", read);
  std::free(read);
  QssPlex_SetMoveOnRealloc(0);
  FreeBlock(id);
}

TEST_F(NamesTest, ComparesInPlaceByteForByte) {
  const int id = AllocateNamedNode(kStorageLayout, "Data");
  const int* node = LocateBlock(id);
  EXPECT_TRUE(NameEquals(node, "Data", 4));
  EXPECT_FALSE(NameEquals(node, "data", 4));
  EXPECT_FALSE(NameEquals(node, "Dat", 3));
  EXPECT_FALSE(NameEquals(node, "Data1", 5));
  const int padded = AllocateNamedNode(kStorageLayout, "Dat");
  EXPECT_TRUE(NameEquals(LocateBlock(padded), "Dat", 3));
  EXPECT_FALSE(NameEquals(LocateBlock(padded), "Da", 2));
  const int unnamed = AllocateNamedNode(kStorageLayout, "");
  EXPECT_FALSE(NameEquals(LocateBlock(unnamed), "", 0));
  FreeBlock(id);
  FreeBlock(padded);
  FreeBlock(unnamed);
}

// The word-wise comparison of a lookup against the byte comparison, over
// stored names as a foreign plex may hold them too: junk after the zero
// that ends a name, spare zero words, a lone zero word, no words at all.
TEST_F(NamesTest, WordComparisonAgreesWithBytes) {
  const std::string stored[] = {
      "Data",
      std::string("Dat\0", 4),
      std::string("Da\0X", 4),
      std::string("Data\0\0\0\0", 8),
      std::string("Data\0XYZ", 8),
      std::string(4, '\0'),
      "",
      "element00042",
      std::string("element0004\0", 12),
      std::string("DataDat\0", 8),
      std::string("D\0\0\0", 4),
      std::string("DataX\0\0\0", 8),
  };
  const char* const queries[] = {
      "",
      "D",
      "Da",
      "Dat",
      "Data",
      "data",
      "Datb",
      "DataX",
      "DataDat",
      "X",
      "element00042",
      "element0004",
      "element00043",
      "element000420",
  };
  for (const std::string& bytes : stored) {
    const int words = static_cast<int>(bytes.size() / 4);
    const int id = AllocateBlock(NodeWords(kStreamLayout, words));
    int* node = LocateBlock(id);
    node[kStreamNameLengthWord] = words;
    std::memcpy(node + kStreamNameWord, bytes.data(), bytes.size());
    for (const char* query : queries) {
      NameKey key;
      MakeNameKey(query, std::strlen(query), &key);
      EXPECT_EQ(BytesEqual(node, kStreamLayout, query, std::strlen(query)),
                NodeNameEquals(node, kStreamLayout, key))
          << "stored \"" << bytes << "\" (" << words << " words), query \""
          << query << "\"";
    }
    FreeBlock(id);
  }
}

}  // namespace
}  // namespace qss
