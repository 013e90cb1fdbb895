// What the argument bytes of an operation select from: fixed tables of
// names and values, each with the edges of what the library takes.
#ifndef QSSTORAGE_RELIABILITY_ARGUMENTS_H_
#define QSSTORAGE_RELIABILITY_ARGUMENTS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/com.h"
#include "reliability/model.h"

namespace qss_reliability {

// Element names, weighted towards a few short ones so that operations meet
// the elements earlier ones made; with the edges of the name format among
// them: 4 and 8 bytes, the empty name, characters the code page lacks or
// keeps as controls, ANSI forms of 1023 and 1024 bytes, and null.
const std::vector<NameArg>& Names();

// Block names as the host keeps them (ANSI, any length: the host hands out
// at most 255 bytes), around the 250 bytes that leave room for "_UOSB".
const std::vector<std::string>& BlockNames();

template <class T, size_t N>
const T& Pick(const T (&table)[N], uint8_t arg) {
  return table[arg % N];
}

// Slot `arg` of `count`, or -1 when there is none.
inline int PickSlot(size_t count, uint8_t arg) {
  return count == 0 ? -1 : static_cast<int>(arg % count);
}

// Rare variants of an operation: null pointers and the like.
inline bool Variant(uint8_t arg, int which) { return arg % 16 == which; }

// IUnknown, IStorage, IStream, ISequentialStream, IEnumSTATSTG or an
// interface no object offers, by `index` modulo 6.
const IID& Iid(int index);

}  // namespace qss_reliability

#endif  // QSSTORAGE_RELIABILITY_ARGUMENTS_H_
