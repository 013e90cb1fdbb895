// Helpers for the element tests: an owning interface pointer, and the tree
// read straight from the plex records, so that the persisted layout, not
// just what the interfaces report, is what the tests check.
#ifndef QSSTORAGE_TESTS_ELEMENT_HELPERS_H_
#define QSSTORAGE_TESTS_ELEMENT_HELPERS_H_

#include <cstring>
#include <string>

#include "qsstorage/qsstorage.h"
#include "support/com_ref.h"
#include "support/forwarding_storage.h"
#include "tests/test_support.h"

namespace qss_test {

constexpr DWORD kReadWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;  // 0x12
constexpr DWORD kReadOnly = STGM_READ | STGM_SHARE_EXCLUSIVE;        // 0x10

using qss_support::Ref;

// Any other IStorage implementation: forwards every call to one of ours.
// It lives on the caller's stack, so counting references is left out.
class Forwarder : public qss_support::ForwardingStorage {
 public:
  using ForwardingStorage::ForwardingStorage;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    return inner()->QueryInterface(riid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

// A storage created under `parent`, or null with a failure recorded.
inline IStorage* NewStorage(IStorage* parent, const std::string& name,
                            DWORD mode = kReadWrite) {
  IStorage* storage = nullptr;
  EXPECT_EQ(S_OK, parent->CreateStorage(W(name).c_str(), mode, 0, 0, &storage));
  return storage;
}

// A stream created under `parent` holding `data`, failures recorded.
inline void PutStream(IStorage* parent, const std::string& name,
                      const std::string& data) {
  Ref<IStream> stream;
  ASSERT_EQ(S_OK, parent->CreateStream(W(name).c_str(), kReadWrite, 0, 0,
                                       stream.Out()));
  ASSERT_EQ(S_OK, stream->Write(data.data(), static_cast<ULONG>(data.size()),
                                nullptr));
}

// A plex with its root storage held for the test.
class RootTest : public PlexTest {
 protected:
  void SetUp() override {
    PlexTest::SetUp();
    *root_.Out() = GetRootIStorage();
  }
  void TearDown() override {
    root_.Reset();
    PlexTest::TearDown();
  }

  Ref<IStorage> root_;
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
// and a stream s; "{ s}" when an unnamed element comes first.
inline std::string Tree(int storage) {
  std::string out = "{";
  for (int entry = Word(storage, 6); entry != 0; entry = Word(entry, 0)) {
    if (entry != Word(storage, 6)) out += ' ';
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
