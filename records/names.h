// Element names: held in node records as their ANSI bytes, compared byte
// for byte and case-sensitively. A name of 0 words is "no name" and matches
// nothing; a node made with a null name holds one zero word, the empty
// string.
#ifndef QSSTORAGE_RECORDS_NAMES_H_
#define QSSTORAGE_RECORDS_NAMES_H_

#include <cstddef>
#include <cstdint>

#include "platform/com.h"
#include "records/node_records.h"

namespace qss {

constexpr int kMaxAnsiNameBytes = 1023;
constexpr int kWideNameBufferChars = 1024;

// A name laid out as the records hold it, in whole zero-padded words, for
// comparing with many stored names: a lookup makes it once and then
// compares words in place, with the answer of a byte-for-byte comparison of
// the stored name (up to its first zero byte) with the sought one.
struct NameKey {
  int words;             // (length + 3) / 4
  bool fills_last_word;  // length is a multiple of 4
  uint32_t last_mask;    // the last word's name bytes and the zero after
  int32_t word[kMaxAnsiNameBytes / 4 + 1];
};

// `ansi` has `length` bytes, at most kMaxAnsiNameBytes.
void MakeNameKey(const char* ansi, size_t length, NameKey* key);

// The key of a name held as a C string; null gives the one zero word a
// node made without a name holds.
NameKey NameKeyOf(const char* ansi);

// A caller's wide name converted once to its key: STG_E_INVALIDPOINTER for
// null, STG_E_INVALIDNAME when its ANSI form is longer than 1023 bytes.
HRESULT PrepareName(const OLECHAR* name, NameKey* key);

// Allocates a node of this layout in the bead, with its name length and
// name words set from `key`; every other word is 0. Returns its id, or 0.
int AllocateNamedNode(const NodeLayout& layout, const NameKey& key);

// Stores a new name, reallocating the node when its word count changes.
// Returns false, with the node unchanged, when the store cannot hold it.
bool StoreNodeName(int block_id, const NodeLayout& layout, const NameKey& key);

// The node's name converted to UTF-16 into `buffer` (1024 units); null for
// a name of 0 words.
const OLECHAR* ReadWideNodeName(int block_id, const NodeLayout& layout,
                                OLECHAR* buffer);

// The name part of Stat. With STATFLAG_NONAME, `pwcsName` stays as the
// caller had it; otherwise it becomes a CoTaskMemAlloc copy of the node's
// name (the caller frees it) or null for a name of 0 words, and
// E_OUTOFMEMORY, with it null, when the copy cannot be made.
HRESULT StatName(int block_id, const NodeLayout& layout, DWORD flag,
                 STATSTG* stat);

// The byte comparison's answer for the key's name. Inline: a lookup calls it
// for every sibling it visits.
inline bool NodeNameEquals(const int* node, const NodeLayout& layout,
                           const NameKey& key) {
  const int words = node[layout.name_length_word];
  if (words <= 0 || words < key.words) return false;
  const int* stored = node + layout.name_length_word + 1;
  const int last = key.words - 1;
  // Siblings' names tend to share a prefix and differ at the end, so the
  // last word decides most comparisons. Its mask takes in the zero that
  // must follow a name ending inside the word, and leaves out what a
  // stored name may hold after that zero.
  if (last >= 0 && (static_cast<uint32_t>(stored[last]) & key.last_mask) !=
                       static_cast<uint32_t>(key.word[last])) {
    return false;
  }
  for (int i = 0; i < last; ++i) {
    if (stored[i] != key.word[i]) return false;
  }
  // A name that fills its words ends at the words' end, or at a zero byte
  // opening the next stored word.
  if (key.fills_last_word && words > key.words) {
    return *reinterpret_cast<const unsigned char*>(stored + key.words) == 0;
  }
  return true;
}

}  // namespace qss

#endif  // QSSTORAGE_RECORDS_NAMES_H_
