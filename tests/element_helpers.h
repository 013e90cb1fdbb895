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

// Any other IStorage implementation: forwards every call to one of ours.
// It lives on the caller's stack, so counting references is left out.
class Forwarder : public IStorage {
 public:
  explicit Forwarder(IStorage* inner) : inner_(inner) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    return inner_->QueryInterface(riid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateStream(const OLECHAR* name, DWORD mode,
                                         DWORD r1, DWORD r2,
                                         IStream** out) override {
    return inner_->CreateStream(name, mode, r1, r2, out);
  }
  HRESULT STDMETHODCALLTYPE OpenStream(const OLECHAR* name, void* r1,
                                       DWORD mode, DWORD r2,
                                       IStream** out) override {
    return inner_->OpenStream(name, r1, mode, r2, out);
  }
  HRESULT STDMETHODCALLTYPE CreateStorage(const OLECHAR* name, DWORD mode,
                                          DWORD r1, DWORD r2,
                                          IStorage** out) override {
    return inner_->CreateStorage(name, mode, r1, r2, out);
  }
  HRESULT STDMETHODCALLTYPE OpenStorage(const OLECHAR* name, IStorage* priority,
                                        DWORD mode, SNB exclude, DWORD reserved,
                                        IStorage** out) override {
    return inner_->OpenStorage(name, priority, mode, exclude, reserved, out);
  }
  HRESULT STDMETHODCALLTYPE CopyTo(DWORD count, const IID* iids, SNB names,
                                   IStorage* dest) override {
    return inner_->CopyTo(count, iids, names, dest);
  }
  HRESULT STDMETHODCALLTYPE MoveElementTo(const OLECHAR* name, IStorage* dest,
                                          const OLECHAR* new_name,
                                          DWORD flags) override {
    return inner_->MoveElementTo(name, dest, new_name, flags);
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override {
    return inner_->Commit(flags);
  }
  HRESULT STDMETHODCALLTYPE Revert() override { return inner_->Revert(); }
  HRESULT STDMETHODCALLTYPE EnumElements(DWORD r1, void* r2, DWORD r3,
                                         IEnumSTATSTG** out) override {
    return inner_->EnumElements(r1, r2, r3, out);
  }
  HRESULT STDMETHODCALLTYPE DestroyElement(const OLECHAR* name) override {
    return inner_->DestroyElement(name);
  }
  HRESULT STDMETHODCALLTYPE RenameElement(const OLECHAR* old_name,
                                          const OLECHAR* new_name) override {
    return inner_->RenameElement(old_name, new_name);
  }
  HRESULT STDMETHODCALLTYPE SetElementTimes(const OLECHAR* name,
                                            const FILETIME* c,
                                            const FILETIME* a,
                                            const FILETIME* m) override {
    return inner_->SetElementTimes(name, c, a, m);
  }
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) override {
    return inner_->SetClass(clsid);
  }
  HRESULT STDMETHODCALLTYPE SetStateBits(DWORD bits, DWORD mask) override {
    return inner_->SetStateBits(bits, mask);
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flag) override {
    return inner_->Stat(stat, flag);
  }

 private:
  IStorage* inner_;
};

// A storage created under `parent`, or null with a failure recorded.
inline IStorage* NewStorage(IStorage* parent, const std::string& name,
                            DWORD mode = kReadWrite) {
  IStorage* storage = nullptr;
  EXPECT_EQ(S_OK, parent->CreateStorage(W(name).c_str(), mode, 0, 0, &storage));
  return storage;
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
