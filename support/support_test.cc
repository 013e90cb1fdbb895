// The support library: the owning pointer's reference counting, every
// forwarded IStorage call reaching our library, and UTF-8 at the edges of
// each encoded length.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "qsstorage/qsstorage.h"
#include "support/com_ref.h"
#include "support/forwarding_storage.h"
#include "support/utf8.h"
#include "tests/test_support.h"

namespace qss_support {
namespace {

// Counts its references; nothing else.
struct Counted {
  int refs = 1;
  void Release() { --refs; }
};

TEST(RefTest, ReleasesWhatItHoldsOnceAndOnlyOnce) {
  Counted a, b;
  {
    Ref<Counted> held(&a);
    EXPECT_TRUE(held);
    Ref<Counted> moved(std::move(held));
    EXPECT_FALSE(held);
    EXPECT_EQ(&a, moved.get());
    EXPECT_EQ(1, a.refs);
    *moved.Out() = &b;  // an out parameter lets go of the old object first
    EXPECT_EQ(0, a.refs);
    Ref<Counted> other;
    other = std::move(moved);
    EXPECT_EQ(&b, other.get());
    EXPECT_EQ(1, b.refs);
  }
  EXPECT_EQ(0, a.refs);
  EXPECT_EQ(0, b.refs);
}

// A caller's own IStorage in front of ours, living on the stack.
class Front : public ForwardingStorage {
 public:
  using ForwardingStorage::ForwardingStorage;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override {
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

using ForwardingStorageTest = qss_test::PlexTest;

TEST_F(ForwardingStorageTest, EveryCallReachesTheInnerStorage) {
  using qss_test::W;
  Ref<IStorage> root(GetRootIStorage());
  Front front(root.get());
  constexpr DWORD kMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
  Ref<IStorage> storage;
  Ref<IStream> stream;
  ASSERT_EQ(S_OK,
            front.CreateStorage(W("d").c_str(), kMode, 0, 0, storage.Out()));
  ASSERT_EQ(S_OK,
            front.CreateStream(W("s").c_str(), kMode, 0, 0, stream.Out()));
  stream.Reset();
  storage.Reset();
  EXPECT_EQ(S_OK,
            front.OpenStream(W("s").c_str(), nullptr, kMode, 0, stream.Out()));
  EXPECT_EQ(S_OK, front.OpenStorage(W("d").c_str(), nullptr, kMode, nullptr, 0,
                                    storage.Out()));
  stream.Reset();
  EXPECT_EQ(S_OK, front.RenameElement(W("s").c_str(), W("t").c_str()));
  EXPECT_EQ(S_OK, front.MoveElementTo(W("t").c_str(), storage.get(),
                                      W("u").c_str(), STGMOVE_COPY));
  EXPECT_EQ("{t(0) d{u(0)}}", qss_test::Dump(root.get()));
  // Our own copy's check: not into a storage inside the source.
  EXPECT_EQ(STG_E_ACCESSDENIED,
            front.CopyTo(0, nullptr, nullptr, storage.get()));
  EXPECT_EQ(S_OK, front.DestroyElement(W("t").c_str()));
  const CLSID clsid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(S_OK, front.SetClass(clsid));
  STATSTG stat = {};
  ASSERT_EQ(S_OK, front.Stat(&stat, STATFLAG_NONAME));
  EXPECT_EQ(0, std::memcmp(&clsid, &stat.clsid, sizeof clsid));
  Ref<IEnumSTATSTG> elements;
  EXPECT_EQ(S_OK, front.EnumElements(0, nullptr, 0, elements.Out()));
  EXPECT_EQ(S_OK, front.Commit(0));
  EXPECT_EQ(S_OK, front.Revert());
  EXPECT_EQ(S_OK, front.SetStateBits(0, 0));
  EXPECT_EQ(E_NOTIMPL,
            front.SetElementTimes(W("d").c_str(), nullptr, nullptr, nullptr));
}

TEST(Utf8Test, EachEncodedLengthAtItsEdges) {
  const uint32_t edges[] = {0x01,   0x7F,   0x80,   0x7FF,   0x800,   0xD7FF,
                            0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
  const size_t lengths[] = {1, 1, 2, 2, 3, 3, 3, 3, 3, 4, 4, 4};
  for (size_t i = 0; i < sizeof edges / sizeof edges[0]; ++i) {
    std::string utf8;
    AppendUtf8(edges[i], &utf8);
    EXPECT_EQ(lengths[i], utf8.size()) << std::hex << edges[i];
    WideString wide;
    ASSERT_TRUE(Utf8ToWide(utf8, &wide)) << std::hex << edges[i];
    EXPECT_EQ(edges[i] >= 0x10000 ? 2u : 1u, wide.size());
    EXPECT_EQ(utf8, WideToUtf8(wide.c_str())) << std::hex << edges[i];
  }
  EXPECT_EQ("", WideToUtf8(nullptr));
  const OLECHAR lone_low[] = {0xDC00, 'x', 0};
  EXPECT_EQ("\xEF\xBF\xBDx", WideToUtf8(lone_low));
  WideString wide;
  EXPECT_FALSE(Utf8ToWide(std::string("a\0b", 3), &wide));
  EXPECT_FALSE(Utf8ToWide("\xE2\x82", &wide));  // cut short
}

}  // namespace
}  // namespace qss_support
