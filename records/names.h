// Element names: held in node records as their ANSI bytes, compared byte
// for byte and case-sensitively. A name of 0 words is "no name" and matches
// nothing; a node made with a null name holds one zero word, the empty
// string.
#ifndef QSSTORAGE_RECORDS_NAMES_H_
#define QSSTORAGE_RECORDS_NAMES_H_

#include <cstddef>

#include "platform/com.h"
#include "records/node_records.h"

namespace qss {

constexpr int kMaxAnsiNameBytes = 1023;
constexpr int kWideNameBufferChars = 1024;

// Returns `name` converted to ANSI in the shared conversion buffer, or null
// for a null name or one whose ANSI form is longer than 1023 bytes.
// Valid until the next call.
const char* ToAnsiName(const OLECHAR* name);

// The usual refusal of a wide name argument: STG_E_INVALIDPOINTER for
// null, STG_E_INVALIDNAME when too long, S_OK with `*ansi` set otherwise.
HRESULT ConvertName(const OLECHAR* name, const char** ansi);

// Name words for an ANSI name; a null name takes one word.
int NameWordCount(const char* ansi);

// Allocates a node of this layout in the bead, with its name length and
// name words set; every other word is 0. Returns its id, or 0.
int AllocateNamedNode(const NodeLayout& layout, const char* ansi);

// Stores a new name, reallocating the node when its word count changes.
// Returns false, with the node unchanged, when the store cannot hold it.
bool StoreNodeName(int block_id, const NodeLayout& layout, const char* ansi);

// The node's name in a new malloc buffer the caller frees; null for a name
// of 0 words or when malloc fails.
char* ReadNodeName(int block_id, const NodeLayout& layout);

// The node's name converted to UTF-16 into `buffer` (1024 units); null for
// a name of 0 words.
const OLECHAR* ReadWideNodeName(int block_id, const NodeLayout& layout,
                                OLECHAR* buffer);

// Whether the node's name equals `ansi` (of `length` bytes), compared in
// place in the plex.
bool NodeNameEquals(const int* node, const NodeLayout& layout,
                    const char* ansi, size_t length);

}  // namespace qss

#endif  // QSSTORAGE_RECORDS_NAMES_H_
