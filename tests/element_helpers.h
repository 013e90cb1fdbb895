// Helpers for the element tests: an owning interface pointer, and the tree
// read straight from the plex records, so that the persisted layout, not
// just what the interfaces report, is what the tests check.
#ifndef QSSTORAGE_TESTS_ELEMENT_HELPERS_H_
#define QSSTORAGE_TESTS_ELEMENT_HELPERS_H_

#include <cstring>
#include <string>

#include "qsstorage/qsstorage.h"
#include "tests/test_support.h"

namespace qss_test {

constexpr DWORD kReadWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;  // 0x12
constexpr DWORD kReadOnly = STGM_READ | STGM_SHARE_EXCLUSIVE;        // 0x10

// Releases its object when it goes, so a failed assertion leaks nothing.
template <class T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* p) : p_(p) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Reset(); }

  void Reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }
  // For an out parameter: releases the current object first.
  T** Out() {
    Reset();
    return &p_;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }

 private:
  T* p_ = nullptr;
};

// The name of a node whose name length is word `length_word`.
inline std::string NodeName(int node, int length_word) {
  std::string name;
  for (int k = 0; k < Word(node, length_word); ++k) {
    const int word = Word(node, length_word + 1 + k);
    char bytes[4];
    std::memcpy(bytes, &word, 4);
    name.append(bytes, 4);
  }
  return name.substr(0, name.find('\0'));
}

inline std::string ChildName(int entry) {
  const int child = Word(entry, 3);
  return NodeName(child, Word(entry, 2) == 0 ? 8 : 7);
}

// The children of a StorageNode, newest first: "{a{} s}" for a storage a
// and a stream s.
inline std::string Tree(int storage) {
  std::string out = "{";
  for (int entry = Word(storage, 6); entry != 0; entry = Word(entry, 0)) {
    if (out.size() > 1) out += ' ';
    out += ChildName(entry);
    if (Word(entry, 2) == 0) out += Tree(Word(entry, 3));
  }
  return out + "}";
}

// The node of the child named `name`, or 0.
inline int Child(int storage, const std::string& name) {
  for (int entry = Word(storage, 6); entry != 0; entry = Word(entry, 0)) {
    if (ChildName(entry) == name) return Word(entry, 3);
  }
  return 0;
}

// The storage's name as Stat reports it ("(null)" for none).
inline std::string StatName(IStorage* storage) {
  STATSTG stat = {};
  if (storage->Stat(&stat, STATFLAG_DEFAULT) != S_OK) return "?";
  std::string name = Narrow(stat.pwcsName);
  CoTaskMemFree(stat.pwcsName);
  return name;
}

}  // namespace qss_test

#endif  // QSSTORAGE_TESTS_ELEMENT_HELPERS_H_
