// Persisted layout of the tree in the plex. The plex outlives this library
// and is saved with the host's simulation: never renumber a word.
//
// StorageNode, 9 + n words        StreamNode, 8 + n words
//   0-3  class id (CLSID bytes)     0  data block id (0 = none)
//   4    open mode (-1 = closed)    1  capacity in words
//   5    deleted flag               2  capacity in bytes
//   6    first ElementEntry         3  size in bytes
//   7    open count                 4  open mode (-1 = closed)
//   8    name length n (words)      5  open count
//   9..  name, ANSI, zero padded    6  deleted flag
//                                   7  name length n (words)
//                                   8..  name, ANSI, zero padded
// ElementEntry, 4 words: next, previous, kind (0 storage, 1 stream), child.
// Lists run newest first; walks skip entries of other kinds or child 0.
// The list words, deleted flags and open counts are read and written only
// through records/element_list.h and records/lifetime.h (outside the library
// read through check/element_lists.h); no open count is raised (lifetime.h).
#ifndef QSSTORAGE_RECORDS_NODE_RECORDS_H_
#define QSSTORAGE_RECORDS_NODE_RECORDS_H_

namespace qss {

constexpr int kStorageClassIdWord = 0;  // words 0 to 3
constexpr int kStorageOpenModeWord = 4;
constexpr int kStorageDeletedWord = 5;
constexpr int kStorageFirstEntryWord = 6;
constexpr int kStorageOpenCountWord = 7;
constexpr int kStorageNameLengthWord = 8;
constexpr int kStorageNameWord = 9;

constexpr int kStreamDataBlockWord = 0;
constexpr int kStreamCapacityWordsWord = 1;
constexpr int kStreamCapacityBytesWord = 2;
constexpr int kStreamSizeWord = 3;
constexpr int kStreamOpenModeWord = 4;
constexpr int kStreamOpenCountWord = 5;
constexpr int kStreamDeletedWord = 6;
constexpr int kStreamNameLengthWord = 7;
constexpr int kStreamNameWord = 8;

constexpr int kEntryNextWord = 0;
constexpr int kEntryPreviousWord = 1;
constexpr int kEntryKindWord = 2;
constexpr int kEntryChildWord = 3;
constexpr int kEntryWords = 4;

// The host's anchor of the root storage: this word of this block holds the
// root's StorageNode id, 0 while there is none.
constexpr int kAnchorBlock = 2;
constexpr int kAnchorWord = 52;

constexpr int kKindStorage = 0;
constexpr int kKindStream = 1;

constexpr int kNotOpen = -1;

// The words a node kind keeps where the two kinds differ.
struct NodeLayout {
  int deleted_word;
  int open_count_word;
  int name_length_word;  // the name follows it
  int kind;
};

constexpr NodeLayout kStorageLayout = {kStorageDeletedWord,
                                       kStorageOpenCountWord,
                                       kStorageNameLengthWord, kKindStorage};
constexpr NodeLayout kStreamLayout = {kStreamDeletedWord, kStreamOpenCountWord,
                                      kStreamNameLengthWord, kKindStream};

inline const NodeLayout& LayoutOf(int kind) {
  return kind == kKindStorage ? kStorageLayout : kStreamLayout;
}

// Words of a node of this layout with a name of `name_words` words.
constexpr int NodeWords(const NodeLayout& layout, int name_words) {
  return layout.name_length_word + 1 + name_words;
}

// Open for writing: open and holding STGM_WRITE or STGM_READWRITE.
constexpr bool ModeAllowsWriting(int mode) {
  return mode != kNotOpen && (mode & 3) != 0;
}
// Readable (streams): open and without STGM_WRITE.
constexpr bool ModeAllowsReading(int mode) {
  return mode != kNotOpen && (mode & 1) == 0;
}
// The mode reported to callers: a closed node reports 0.
constexpr int ReportedMode(int mode) { return mode == kNotOpen ? 0 : mode; }

}  // namespace qss

#endif  // QSSTORAGE_RECORDS_NODE_RECORDS_H_
