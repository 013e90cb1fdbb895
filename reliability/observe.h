// How the reliability driver writes down what a caller of the library can
// see: result codes, names, STATSTG records with the fields a call left
// alone, stream bytes, and the content of a copy's destination. Both the
// library's answers and the model's go through the same text, so that
// comparing them is comparing strings.
#ifndef QSSTORAGE_RELIABILITY_OBSERVE_H_
#define QSSTORAGE_RELIABILITY_OBSERVE_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/com.h"
#include "reliability/model.h"

namespace qss_reliability {

std::string Hex(uint64_t value);
// "STG_E_ACCESSDENIED", or the value in hex.
std::string Code(int hr);
// A wide name in quotes, with \uXXXX for what is not printable ASCII; long
// names by their ends and length.
std::string Printable(const OLECHAR* name);
// Length and a hash.
std::string Digest(const uint8_t* data, size_t size);
std::string Join(const std::vector<std::string>& facts);

// Out records and pointers start filled with this byte, so that a field a
// call leaves alone shows as "untouched".
constexpr unsigned char kFiller = 0xA5;

template <class T>
bool Untouched(const T& field) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&field);
  return std::all_of(bytes, bytes + sizeof field,
                     [](unsigned char b) { return b == kFiller; });
}

template <class T>
T* FilledPointer() {
  T* pointer;
  std::memset(static_cast<void*>(&pointer), kFiller, sizeof pointer);
  return pointer;
}

// "null", "untouched" or "object".
template <class T>
std::string OutText(T* out) {
  if (out == nullptr) return "null";
  return Untouched(out) ? "untouched" : "object";
}

STATSTG FilledRecord();
std::string RecordText(const STATSTG& record);
// Frees a name a call wrote into the record.
void FreeName(STATSTG* record);

// The content of a destination, independent of its order: names, kinds and
// stream bytes, sorted by name at every level. `moved`: the name a move gave
// its element, which reaches a foreign destination as the caller wrote it,
// not through the code page.
std::string DescribeModel(const ModelNode& node,
                          const WideString* moved = nullptr);
#if defined(_WIN32)
std::string DescribeForeign(IStorage* storage);
// A compound file of the platform's, deleted when released; null if none.
IStorage* NewCompoundFile();
#endif

}  // namespace qss_reliability

#endif  // QSSTORAGE_RELIABILITY_OBSERVE_H_
