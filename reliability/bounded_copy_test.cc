// A copy whose destination lies inside its source, reached through a
// storage that is not one of ours: the library cannot tell where such a
// destination is, so the copy takes copies of its own copies until the
// store is full. It must then end with a failure code and a valid tree that
// a clear frees completely, never crash or run out of stack.
#include "qsstorage/qsstorage.h"
#include "standins/plex_controls.h"
#include "tests/element_helpers.h"
#include "tests/test_support.h"

namespace qss_test {
namespace {

// Any other IStorage implementation: forwards every call to one of ours.
class Forwarder final : public IStorage {
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

class BoundedCopyTest : public PlexTest {
 protected:
  // A small store, so that filling it takes a moment.
  void SetUp() override {
    QssPlex_SetReservationBytes(16u << 20);
    PlexTest::SetUp();
  }
  void TearDown() override {
    PlexTest::TearDown();
    QssPlex_SetReservationBytes(0);
    QssPlex_Reset();
  }
};

TEST_F(BoundedCopyTest, CopyIntoItsOwnSubtreeThroughAnotherStorageEndsFull) {
  Ref<IStorage> root(GetRootIStorage());
  Ref<IStorage> inside;
  ASSERT_EQ(S_OK, root->CreateStorage(W("inside").c_str(), kReadWrite, 0, 0,
                                      inside.Out()));
  Ref<IStream> stream;
  ASSERT_EQ(S_OK,
            root->CreateStream(W("s").c_str(), kReadWrite, 0, 0, stream.Out()));
  ASSERT_EQ(S_OK, stream->Write("abc", 3, nullptr));
  stream.Reset();
  Forwarder dest(inside.get());

  const HRESULT copied = root->CopyTo(0, nullptr, nullptr, &dest);
  EXPECT_TRUE(copied == E_OUTOFMEMORY || copied == STG_E_MEDIUMFULL)
      << std::hex << copied;
  const HRESULT moved = root->MoveElementTo(W("inside").c_str(), &dest,
                                            W("again").c_str(), STGMOVE_COPY);
  EXPECT_TRUE(moved == E_OUTOFMEMORY || moved == STG_E_MEDIUMFULL)
      << std::hex << moved;

  // Full, but whole: every block the copies made hangs in the tree.
  EXPECT_EQ(QssPlex_LiveBlocks(), ReachableBlocks());
  inside.Reset();
  root.Reset();
  QSStrg_ClearRootStorage();
  EXPECT_EQ(2, QssPlex_LiveBlocks());
}

}  // namespace
}  // namespace qss_test
