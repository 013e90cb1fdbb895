#include "tools/qsplex/compound/class_ids.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/element_helpers.h"

namespace qss_test {
namespace {

CLSID Class(uint32_t n) {
  return CLSID{n, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
}

// A storage over one of ours that, like the platform's compound file,
// reverts every storage opened below it once it is released: their calls
// then fail with STG_E_REVERTED. Opening a storage named `refused`, at any
// depth, fails with STG_E_ACCESSDENIED.
class RevertingStorage final : public qss_support::ForwardingStorage {
 public:
  // Takes over the reference `inner` carries; `above` are the liveness
  // flags of the storages it was opened from.
  RevertingStorage(IStorage* inner, std::vector<std::shared_ptr<bool>> above,
                   WideString refused = WideString())
      : ForwardingStorage(inner),
        alive_(std::move(above)),
        refused_(std::move(refused)) {
    alive_.push_back(std::make_shared<bool>(true));
  }
  ~RevertingStorage() override {
    *alive_.back() = false;
    inner()->Release();
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    if (--refs_ != 0) return refs_;
    delete this;
    return 0;
  }
  HRESULT STDMETHODCALLTYPE OpenStorage(const OLECHAR* name, IStorage* priority,
                                        DWORD mode, SNB exclude, DWORD reserved,
                                        IStorage** out) override {
    *out = nullptr;
    if (Reverted()) return STG_E_REVERTED;
    if (name == refused_) return STG_E_ACCESSDENIED;
    IStorage* opened = nullptr;
    const HRESULT hr =
        inner()->OpenStorage(name, priority, mode, exclude, reserved, &opened);
    if (SUCCEEDED(hr)) *out = new RevertingStorage(opened, alive_, refused_);
    return hr;
  }
  HRESULT STDMETHODCALLTYPE EnumElements(DWORD reserved1, void* reserved2,
                                         DWORD reserved3,
                                         IEnumSTATSTG** out) override {
    if (Reverted()) return STG_E_REVERTED;
    return inner()->EnumElements(reserved1, reserved2, reserved3, out);
  }
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) override {
    return Reverted() ? STG_E_REVERTED : inner()->SetClass(clsid);
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override {
    return Reverted() ? STG_E_REVERTED : inner()->Stat(stat, flags);
  }

 private:
  bool Reverted() const {
    for (const auto& alive : alive_) {
      if (!*alive) return true;
    }
    return false;
  }

  std::vector<std::shared_ptr<bool>> alive_;
  WideString refused_;
  ULONG refs_ = 1;
};

class ClassIdsTest : public RootTest {
 protected:
  static constexpr int kDepth = 9;

  // src and, below it, the chain l1/l2/.../l9, every odd level with a
  // class id and every level with a stream; then the same copied to dst
  // by the library, which leaves the class ids behind.
  void SetUp() override {
    RootTest::SetUp();
    ASSERT_EQ(S_OK, root_->CreateStorage(W("src").c_str(), kReadWrite, 0, 0,
                                         src_.Out()));
    ASSERT_EQ(S_OK, src_->SetClass(Class(100)));
    IStorage* parent = src_.get();
    std::vector<Ref<IStorage>> chain;
    for (int level = 1; level <= kDepth; ++level) {
      Ref<IStorage> storage;
      ASSERT_EQ(S_OK,
                parent->CreateStorage(W("l" + std::to_string(level)).c_str(),
                                      kReadWrite, 0, 0, storage.Out()));
      if (level % 2 == 1) {
        ASSERT_EQ(S_OK, storage->SetClass(Class(level)));
      }
      Ref<IStream> stream;
      ASSERT_EQ(S_OK, storage->CreateStream(W("s").c_str(), kReadWrite, 0, 0,
                                            stream.Out()));
      parent = storage.get();
      chain.push_back(std::move(storage));
    }
    while (!chain.empty()) chain.pop_back();
    ASSERT_EQ(S_OK, root_->CreateStorage(W("dst").c_str(), kReadWrite, 0, 0,
                                         dst_.Out()));
    ASSERT_EQ(S_OK, src_->CopyTo(0, nullptr, nullptr, dst_.get()));
  }
  void TearDown() override {
    src_.Reset();
    dst_.Reset();
    RootTest::TearDown();
  }

  // The class id of each storage from `top` down the chain, in hex words.
  static std::vector<uint32_t> ClassChain(IStorage* top) {
    std::vector<uint32_t> ids;
    Ref<IStorage> storage;
    top->AddRef();
    *storage.Out() = top;
    for (int level = 0; level <= kDepth; ++level) {
      STATSTG stat = {};
      EXPECT_EQ(S_OK, storage->Stat(&stat, STATFLAG_NONAME));
      ids.push_back(stat.clsid.Data1);
      if (level == kDepth) break;
      Ref<IStorage> child;
      EXPECT_EQ(S_OK, storage->OpenStorage(
                          W("l" + std::to_string(level + 1)).c_str(), nullptr,
                          kReadOnly, nullptr, 0, child.Out()));
      if (!child) break;
      storage = std::move(child);
    }
    return ids;
  }

  Ref<IStorage> src_, dst_;
};

TEST_F(ClassIdsTest, TheDoubleRevertsWhatIsOpenBelowAReleasedStorage) {
  dst_->AddRef();
  Ref<IStorage> top(new RevertingStorage(dst_.get(), {}));
  Ref<IStorage> l1, l2;
  ASSERT_EQ(S_OK, top->OpenStorage(W("l1").c_str(), nullptr, kReadWrite,
                                   nullptr, 0, l1.Out()));
  ASSERT_EQ(S_OK, l1->OpenStorage(W("l2").c_str(), nullptr, kReadWrite, nullptr,
                                  0, l2.Out()));
  l1.Reset();
  EXPECT_EQ(STG_E_REVERTED, l2->SetClass(Class(7)));
}

// Every storage stays open while the storages below it take their class
// ids, at any depth.
TEST_F(ClassIdsTest, ClassIdsReachTheDeepestStorageOfAStrictCopy) {
  const std::vector<uint32_t> wanted = ClassChain(src_.get());
  ASSERT_NE(wanted, ClassChain(dst_.get()));
  src_->AddRef();
  dst_->AddRef();
  Ref<IStorage> source(new RevertingStorage(src_.get(), {}));
  Ref<IStorage> strict(new RevertingStorage(dst_.get(), {}));
  qsplex::CopyFailure failure;
  ASSERT_EQ(S_OK, qsplex::CopyClassIds(source.get(), strict.get(), &failure));
  EXPECT_EQ(wanted, ClassChain(dst_.get()));
  EXPECT_TRUE(failure.names.empty());
}

// The same from a listing, for a move, whose source is gone.
TEST_F(ClassIdsTest, ClassIdsFromAListingReachTheDeepestStorage) {
  const std::vector<uint32_t> wanted = ClassChain(src_.get());
  std::vector<qsplex::TreeNode> nodes;
  for (int level = 0; level <= kDepth; ++level) {
    qsplex::TreeNode node{};
    node.name = level == 0 ? WideString() : W("l" + std::to_string(level));
    node.parent = level - 1;
    node.type = STGTY_STORAGE;
    node.clsid = wanted[level] == 0 ? CLSID{} : Class(wanted[level]);
    nodes.push_back(node);
  }
  dst_->AddRef();
  Ref<IStorage> strict(new RevertingStorage(dst_.get(), {}));
  ASSERT_EQ(S_OK, qsplex::SetClassIds(strict.get(), nodes));
  EXPECT_EQ(wanted, ClassChain(dst_.get()));
}

// A failure names the storage it happened at and the side it was on.
TEST_F(ClassIdsTest, AFailureSaysWhereAndOnWhichSide) {
  for (const bool in_dest : {false, true}) {
    SCOPED_TRACE(in_dest ? "destination" : "source");
    src_->AddRef();
    dst_->AddRef();
    // l4 cannot be opened on one side.
    Ref<IStorage> source(
        new RevertingStorage(src_.get(), {}, in_dest ? WideString() : W("l4")));
    Ref<IStorage> dest(
        new RevertingStorage(dst_.get(), {}, in_dest ? W("l4") : WideString()));
    qsplex::CopyFailure failure;
    EXPECT_EQ(STG_E_ACCESSDENIED,
              qsplex::CopyClassIds(source.get(), dest.get(), &failure));
    EXPECT_EQ(in_dest, failure.in_dest);
    std::vector<std::string> names;
    for (const auto& name : failure.names)
      names.push_back(Narrow(name.c_str()));
    EXPECT_EQ((std::vector<std::string>{"l1", "l2", "l3", "l4"}), names);
  }
}

}  // namespace
}  // namespace qss_test
