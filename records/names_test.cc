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

// The stored name as Stat reads it; "(none)" for a name of 0 words.
std::string ReadName(int id, const NodeLayout& layout) {
  OLECHAR buffer[kWideNameBufferChars];
  const OLECHAR* wide = ReadWideNodeName(id, layout, buffer);
  return wide == nullptr ? "(none)" : qss_test::Narrow(wide);
}

bool NameEquals(const int* node, const char* ansi, size_t length) {
  NameKey key;
  MakeNameKey(ansi, length, &key);
  return NodeNameEquals(node, kStorageLayout, key);
}

// The ANSI bytes a prepared key holds, checking that the key reads as the
// key of the same name made from those bytes: words, mask, zero padding.
std::string Prepared(const std::string& utf8) {
  NameKey key;
  if (PrepareName(W(utf8).c_str(), &key) != S_OK) return "(refused)";
  const std::string ansi(reinterpret_cast<const char*>(key.word));
  NameKey expected;
  MakeNameKey(ansi.data(), ansi.size(), &expected);
  EXPECT_EQ(expected.words, key.words);
  EXPECT_EQ(expected.fills_last_word, key.fills_last_word);
  EXPECT_EQ(expected.last_mask, key.last_mask);
  for (int i = 0; i < key.words; ++i) EXPECT_EQ(expected.word[i], key.word[i]);
  return ansi;
}

TEST_F(NamesTest, PreparesKeysInCodePage1252) {
  EXPECT_EQ("Data", Prepared("Data"));
  EXPECT_EQ("caf\xE9 \x80", Prepared("café €"));
  // Characters the code page lacks become '?', each half of a surrogate
  // pair too.
  EXPECT_EQ("a?b??", Prepared("a\u4e00b\U0001F600"));
  EXPECT_EQ("", Prepared(""));
  EXPECT_EQ("abcdefg", Prepared("abcdefg"));
  NameKey key;
  EXPECT_EQ(STG_E_INVALIDPOINTER, PrepareName(nullptr, &key));
}

TEST_F(NamesTest, RefusesAnsiFormsOverTheBuffer) {
  EXPECT_EQ(std::string(1023, 'x'), Prepared(std::string(1023, 'x')));
  EXPECT_EQ("(refused)", Prepared(std::string(1024, 'x')));
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
    const int id = AllocateNamedNode(kStorageLayout, NameKeyOf(c.name));
    ASSERT_NE(0, id);
    EXPECT_EQ(9 + c.words, QssPlex_BlockWords(id));
    EXPECT_EQ(c.words, Word(id, kStorageNameLengthWord));
    char stored[16] = {};
    std::memcpy(stored, LocateBlock(id) + kStorageNameWord, 4 * c.words);
    EXPECT_EQ(std::string(c.name), std::string(stored));
    if (c.words > 0 && std::strlen(c.name) % 4 != 0) {
      EXPECT_EQ(0, stored[std::strlen(c.name)]);
    }
    // A name of 0 words is no name at all.
    EXPECT_EQ(c.words == 0 ? "(none)" : c.name, ReadName(id, kStorageLayout));
    FreeBlock(id);
  }
}

TEST_F(NamesTest, NullNameIsOneZeroWordReadingAsEmpty) {
  const int id = AllocateNamedNode(kStreamLayout, NameKeyOf(nullptr));
  EXPECT_EQ(1, Word(id, kStreamNameLengthWord));
  EXPECT_EQ(0, Word(id, kStreamNameWord));
  EXPECT_EQ("", ReadName(id, kStreamLayout));
  FreeBlock(id);
}

TEST_F(NamesTest, RenamingKeepsTheBlockAndResizesOnlyWhenWordsChange) {
  QssPlex_SetMoveOnRealloc(1);
  const int id = AllocateNamedNode(kStorageLayout, NameKeyOf("a"));
  LocateBlock(id)[kStorageOpenModeWord] = 0x12;
  ASSERT_TRUE(StoreNodeName(id, kStorageLayout, NameKeyOf("abcde")));
  EXPECT_EQ(11, QssPlex_BlockWords(id));
  EXPECT_EQ(0x12, Word(id, kStorageOpenModeWord));
  QssPlexCounts before;
  QssPlex_GetCounts(&before);
  ASSERT_TRUE(StoreNodeName(id, kStorageLayout, NameKeyOf("vwxyz")));
  QssPlexCounts after;
  QssPlex_GetCounts(&after);
  EXPECT_EQ(before.reallocs, after.reallocs);
  ASSERT_TRUE(StoreNodeName(id, kStorageLayout, NameKeyOf("b")));
  EXPECT_EQ(10, QssPlex_BlockWords(id));
  EXPECT_EQ("b", ReadName(id, kStorageLayout));
  QssPlex_SetMoveOnRealloc(0);
  FreeBlock(id);
}

TEST_F(NamesTest, ComparesInPlaceByteForByte) {
  const int id = AllocateNamedNode(kStorageLayout, NameKeyOf("Data"));
  const int* node = LocateBlock(id);
  EXPECT_TRUE(NameEquals(node, "Data", 4));
  EXPECT_FALSE(NameEquals(node, "data", 4));
  EXPECT_FALSE(NameEquals(node, "Dat", 3));
  EXPECT_FALSE(NameEquals(node, "Data1", 5));
  const int padded = AllocateNamedNode(kStorageLayout, NameKeyOf("Dat"));
  EXPECT_TRUE(NameEquals(LocateBlock(padded), "Dat", 3));
  EXPECT_FALSE(NameEquals(LocateBlock(padded), "Da", 2));
  const int unnamed = AllocateNamedNode(kStorageLayout, NameKeyOf(""));
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
