#include <functional>
#include <string>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "qsstorage/qsstorage.h"
#include "standins/plex_controls.h"
#include "tests/element_helpers.h"
#include "tests/test_support.h"

namespace qss_test {
namespace {

using CopyMoveTest = RootTest;

std::string Pattern(size_t size) {
  std::string bytes(size, 0);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
  return bytes;
}

void Fill(IStorage* parent, const std::string& name, size_t size) {
  Ref<IStream> stream;
  ASSERT_EQ(S_OK, parent->CreateStream(W(name).c_str(), kReadWrite, 0, 0,
                                       stream.Out()));
  const std::string bytes = Pattern(size);
  ASSERT_EQ(S_OK,
            stream->Write(bytes.data(), static_cast<ULONG>(size), nullptr));
}

// The whole stream, read through a new read-only open.
std::string Bytes(IStorage* parent, const std::string& name) {
  Ref<IStream> stream;
  if (parent->OpenStream(W(name).c_str(), nullptr, kReadOnly, 0,
                         stream.Out()) != S_OK) {
    return "?";
  }
  std::string bytes(4096, 0);
  ULONG read = 0;
  stream->Read(&bytes[0], 4096, &read);
  return bytes.substr(0, read);
}

// A name block for snbExclude, null-terminated.
struct NameBlock {
  explicit NameBlock(const std::vector<std::string>& names) {
    for (const std::string& name : names) strings.push_back(W(name));
    for (WideString& name : strings) pointers.push_back(&name[0]);
    pointers.push_back(nullptr);
  }
  SNB get() { return strings.empty() ? nullptr : pointers.data(); }
  std::vector<WideString> strings;
  std::vector<OLECHAR*> pointers;
};

constexpr size_t kSizes[] = {0, 511, 512, 1536};

// src{1536 512 511 0 S{T}}: streams named by their sizes, newest first.
IStorage* SmallSource(IStorage* root) {
  IStorage* src = NewStorage(root, "src");
  Ref<IStorage> s(NewStorage(src, "S"));
  Fill(s.get(), "T", 5);
  for (size_t size : kSizes) Fill(src, std::to_string(size), size);
  return src;
}

// Everything SmallSource holds is in `dest`, byte for byte.
void ExpectSmallSourceIn(IStorage* dest) {
  for (size_t size : kSizes) {
    EXPECT_EQ(Pattern(size), Bytes(dest, std::to_string(size)));
  }
  Ref<IStorage> s;
  ASSERT_EQ(S_OK, dest->OpenStorage(W("S").c_str(), nullptr, kReadOnly, nullptr,
                                    0, s.Out()));
  EXPECT_EQ(Pattern(5), Bytes(s.get(), "T"));
}

TEST_F(CopyMoveTest, ExclusionsByInterfaceAndByName) {
  Ref<IStorage> src(NewStorage(root_.get(), "src"));
  Fill(src.get(), "W", 1);
  {
    Ref<IStorage> s(NewStorage(src.get(), "S"));
    Ref<IStorage> v(NewStorage(s.get(), "V"));
    Fill(v.get(), "X", 1);
    Fill(s.get(), "T", 2);
  }
  Fill(src.get(), "U", 3);
  ASSERT_EQ("{U(3) S{T(2) V{X(1)}} W(1)}", Dump(src.get()));
  const std::string all = "{W(1) S{V{X(1)} T(2)} U(3)}";
  const struct {
    std::vector<IID> interfaces;
    std::vector<std::string> names;
    std::string copied;
  } cases[] = {
      {{}, {}, all},
      {{IID_IStream}, {}, "{S{V{}}}"},
      {{IID_IStorage}, {"U"}, "{W(1) U(3)}"},
      {{}, {"W", "S"}, "{U(3)}"},
      {{}, {"T", "X", "u"}, all},
      {{IID_IUnknown}, {}, all},
      {{IID_IStorage, IID_IStream}, {}, "{}"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.copied);
    Ref<IStorage> dst(NewStorage(root_.get(), "dst" + std::to_string(n++)));
    NameBlock names(c.names);
    const IID* interfaces =
        c.interfaces.empty() ? nullptr : c.interfaces.data();
    EXPECT_EQ(S_OK, src->CopyTo(static_cast<DWORD>(c.interfaces.size()),
                                interfaces, names.get(), dst.get()));
    EXPECT_EQ(c.copied, Dump(dst.get()));
  }
}

TEST_F(CopyMoveTest, CopiesIntoSiblingsOtherSubtreesAndTheParent) {
  Ref<IStorage> src(SmallSource(root_.get()));
  const CLSID clsid = {0xC1A55, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  ASSERT_EQ(S_OK, src->SetClass(clsid));
  Ref<IStorage> a(NewStorage(root_.get(), "a"));
  Ref<IStorage> distant(NewStorage(a.get(), "distant"));
  Ref<IStorage> sibling(NewStorage(root_.get(), "sibling"));
  for (IStorage* dest : {sibling.get(), distant.get(), root_.get()}) {
    ASSERT_EQ(S_OK, src->CopyTo(0, nullptr, nullptr, dest));
    ExpectSmallSourceIn(dest);
  }
  EXPECT_EQ("{S{T(5)} 0(0) 511(511) 512(512) 1536(1536)}", Dump(distant.get()));
  Ref<IStorage> s;
  ASSERT_EQ(S_OK, sibling->OpenStorage(W("S").c_str(), nullptr, kReadOnly,
                                       nullptr, 0, s.Out()));
  STATSTG stat;
  ASSERT_EQ(S_OK, s->Stat(&stat, STATFLAG_NONAME));
  EXPECT_EQ(kReadWrite, stat.grfMode);
  ASSERT_EQ(S_OK, sibling->Stat(&stat, STATFLAG_NONAME));
  EXPECT_TRUE(IsEqualGUID(GUID_NULL, stat.clsid)) << "the walk copies none";

  // Given an interface list but no count, CopyTo only hands on the class.
  const IID ignored = IID_IStream;
  Ref<IStorage> only(NewStorage(root_.get(), "only"));
  EXPECT_EQ(S_OK, src->CopyTo(0, &ignored, nullptr, only.get()));
  EXPECT_EQ("{}", Dump(only.get()));
  ASSERT_EQ(S_OK, only->Stat(&stat, STATFLAG_NONAME));
  EXPECT_TRUE(IsEqualGUID(clsid, stat.clsid));
}

TEST_F(CopyMoveTest, FailurePartWayKeepsWhatWasCopied) {
  Ref<IStorage> src(NewStorage(root_.get(), "src"));
  Fill(src.get(), "a", 3);
  Fill(src.get(), "b", 2);
  Fill(src.get(), "c", 1);
  Ref<IStorage> dst(NewStorage(root_.get(), "dst"));
  Fill(dst.get(), "b", 9);
  EXPECT_EQ(STG_E_FILEALREADYEXISTS,
            src->CopyTo(0, nullptr, nullptr, dst.get()));
  EXPECT_EQ("{c(1) b(9)}", Dump(dst.get()));
}

TEST_F(CopyMoveTest, NeverOpenedStreamCanBeMovedButNotCopied) {
  {
    Ref<IStorage> src(NewStorage(root_.get(), "src"));
    Fill(src.get(), "t", 5);
    Ref<IStorage> dst(NewStorage(root_.get(), "dst"));
  }
  root_.Reset();
  QSStrg_RestoreRefCounts();
  *root_.Out() = GetRootIStorage();
  Ref<IStorage> src, dst;
  ASSERT_EQ(S_OK, root_->OpenStorage(W("src").c_str(), nullptr, kReadOnly,
                                     nullptr, 0, src.Out()));
  ASSERT_EQ(S_OK, root_->OpenStorage(W("dst").c_str(), nullptr, kReadWrite,
                                     nullptr, 0, dst.Out()));
  const int t = Child(Child(RootId(), "src"), "t");

  EXPECT_EQ(STG_E_ACCESSDENIED, src->CopyTo(0, nullptr, nullptr, dst.get()));
  EXPECT_EQ(S_OK, src->MoveElementTo(W("t").c_str(), dst.get(), W("t2").c_str(),
                                     STGMOVE_COPY));
  EXPECT_EQ(-1, Word(t, 4));
  EXPECT_EQ(STG_E_ACCESSDENIED,
            src->MoveElementTo(W("t").c_str(), dst.get(), W("t3").c_str(),
                               STGMOVE_MOVE))
      << "a storage opened for reading gives nothing away";
  EXPECT_EQ("{t2(5) t(0)}", Dump(dst.get()));
  EXPECT_EQ("{t(5)}", Dump(src.get()));
}

TEST_F(CopyMoveTest, MoveRestoresTheSourceOpenModeOnEveryPath) {
  const struct {
    bool storage;
    int mode;  // -1: not opened since the reset
    bool fail;
  } cases[] = {
      {false, -1, false},  {false, -1, true},    {false, 0x11, false},
      {false, 0x11, true}, {false, 0x10, false}, {true, -1, false},
      {true, -1, true},    {true, 0x10, false},  {true, 0x12, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.storage ? "storage " : "stream ") +
                 std::to_string(c.mode) + (c.fail ? " failing" : ""));
    QSStrg_ClearRootStorage();
    *root_.Out() = GetRootIStorage();
    {
      Ref<IStorage> src(NewStorage(root_.get(), "src"));
      if (c.storage) {
        NewStorage(src.get(), "e")->Release();
      } else {
        Fill(src.get(), "e", 3);
      }
      Ref<IStorage> dst(NewStorage(root_.get(), "dst"));
      if (c.fail) Fill(dst.get(), "new", 1);
    }
    root_.Reset();
    QSStrg_RestoreRefCounts();
    *root_.Out() = GetRootIStorage();
    Ref<IStorage> src, dst, storage;
    Ref<IStream> stream;
    root_->OpenStorage(W("src").c_str(), nullptr, kReadWrite, nullptr, 0,
                       src.Out());
    root_->OpenStorage(W("dst").c_str(), nullptr, kReadWrite, nullptr, 0,
                       dst.Out());
    if (c.mode != -1 && c.storage) {
      src->OpenStorage(W("e").c_str(), nullptr, c.mode, nullptr, 0,
                       storage.Out());
    } else if (c.mode != -1) {
      src->OpenStream(W("e").c_str(), nullptr, c.mode, 0, stream.Out());
    }
    const int e = Child(Child(RootId(), "src"), "e");
    EXPECT_EQ(c.fail ? STG_E_FILEALREADYEXISTS : S_OK,
              src->MoveElementTo(W("e").c_str(), dst.get(), W("new").c_str(),
                                 STGMOVE_COPY));
    EXPECT_EQ(c.mode, Word(e, 4));
    if (c.storage && c.mode == -1) {
      ASSERT_EQ(S_OK, src->OpenStorage(W("e").c_str(), nullptr, kReadWrite,
                                       nullptr, 0, storage.Out()));
      Ref<IStream> written;
      EXPECT_EQ(S_OK, storage->CreateStream(W("w").c_str(), kReadWrite, 0, 0,
                                            written.Out()));
    }
  }
}

TEST_F(CopyMoveTest, MovesWithinOneStorageAndAcross) {
  Ref<IStorage> src(NewStorage(root_.get(), "src"));
  {
    Ref<IStorage> g(NewStorage(src.get(), "g"));
    Fill(g.get(), "h", 2);
  }
  Fill(src.get(), "a", 4);
  Ref<IStorage> dst(NewStorage(root_.get(), "dst"));
  const int src_id = Child(RootId(), "src");
  const int old_a = Child(src_id, "a");
  Ref<IStream> open_a;
  ASSERT_EQ(S_OK, src->OpenStream(W("a").c_str(), nullptr, kReadOnly, 0,
                                  open_a.Out()));

  ASSERT_EQ(S_OK, src->MoveElementTo(W("a").c_str(), src.get(), W("b").c_str(),
                                     STGMOVE_MOVE));
  EXPECT_EQ("{b g{h}}", Tree(src_id));
  EXPECT_NE(old_a, Child(src_id, "b"));
  EXPECT_FALSE(QssPlex_IsLive(old_a)) << "freed, its open object detached";
  char byte;
  EXPECT_EQ(E_FAIL, open_a->Read(&byte, 1, nullptr));
  EXPECT_EQ(STG_E_FILEALREADYEXISTS,
            src->MoveElementTo(W("b").c_str(), src.get(), W("b").c_str(),
                               STGMOVE_MOVE));
  ASSERT_EQ(S_OK, src->MoveElementTo(W("g").c_str(), src.get(), W("g2").c_str(),
                                     STGMOVE_MOVE));
  EXPECT_EQ("{g2{h} b}", Tree(src_id));

  ASSERT_EQ(S_OK, src->MoveElementTo(W("b").c_str(), dst.get(), W("c").c_str(),
                                     STGMOVE_MOVE));
  ASSERT_EQ(S_OK, src->MoveElementTo(W("g2").c_str(), dst.get(),
                                     W("g3").c_str(), STGMOVE_MOVE));
  EXPECT_EQ("{}", Tree(src_id));
  EXPECT_EQ("{g3{h} c}", Tree(Child(RootId(), "dst")));
  EXPECT_EQ("{g3{h(2)} c(4)}", Dump(dst.get()));
  Ref<IStorage> g3;
  ASSERT_EQ(S_OK, dst->OpenStorage(W("g3").c_str(), nullptr, kReadOnly, nullptr,
                                   0, g3.Out()));
  STATSTG stat;
  ASSERT_EQ(S_OK, g3->Stat(&stat, STATFLAG_NONAME));
  EXPECT_EQ(0x11u, stat.grfMode) << "what a move creates: write access";
  EXPECT_EQ(Pattern(4), Bytes(dst.get(), "c"));
  Ref<IStream> gone;
  EXPECT_EQ(STG_E_FILENOTFOUND,
            src->OpenStream(W("b").c_str(), nullptr, kReadOnly, 0, gone.Out()));
}

TEST_F(CopyMoveTest, RefusesDestinationsInsideTheSourceAndBadArguments) {
  Ref<IStorage> src(NewStorage(root_.get(), "src"));
  Ref<IStorage> c(NewStorage(src.get(), "c"));
  Ref<IStorage> g(NewStorage(c.get(), "g"));
  Fill(src.get(), "s", 1);
  Ref<IStorage> src_again, dst(NewStorage(root_.get(), "dst"));
  root_->OpenStorage(W("src").c_str(), nullptr, kReadWrite, nullptr, 0,
                     src_again.Out());
  const WideString s = W("s"), c_name = W("c"), x = W("x");
  const struct {
    HRESULT result;
    HRESULT hr;
  } cases[] = {
      // A storage copied into itself meets the names it has and ends.
      {STG_E_FILEALREADYEXISTS, src->CopyTo(0, nullptr, nullptr, src.get())},
      {STG_E_FILEALREADYEXISTS,
       src->CopyTo(0, nullptr, nullptr, src_again.get())},
      {STG_E_ACCESSDENIED, src->CopyTo(0, nullptr, nullptr, c.get())},
      {STG_E_ACCESSDENIED, src->CopyTo(0, nullptr, nullptr, g.get())},
      {STG_E_ACCESSDENIED,
       src->MoveElementTo(c_name.c_str(), c.get(), x.c_str(), STGMOVE_COPY)},
      {STG_E_ACCESSDENIED,
       src->MoveElementTo(c_name.c_str(), g.get(), x.c_str(), STGMOVE_MOVE)},
      {STG_E_INVALIDPOINTER, src->CopyTo(0, nullptr, nullptr, nullptr)},
      {STG_E_INVALIDPOINTER, src->CopyTo(1, nullptr, nullptr, dst.get())},
      {STG_E_INVALIDPOINTER,
       src->MoveElementTo(nullptr, dst.get(), x.c_str(), STGMOVE_COPY)},
      {STG_E_INVALIDPOINTER,
       src->MoveElementTo(s.c_str(), nullptr, x.c_str(), STGMOVE_COPY)},
      {STG_E_INVALIDPOINTER,
       src->MoveElementTo(s.c_str(), dst.get(), nullptr, STGMOVE_COPY)},
      {STG_E_FILENOTFOUND,
       src->MoveElementTo(x.c_str(), dst.get(), x.c_str(), STGMOVE_COPY)},
  };
  for (const auto& row : cases) EXPECT_EQ(row.result, row.hr);
  EXPECT_EQ("{dst{} src{s c{g{}}}}", Tree(RootId()));

  EXPECT_EQ(S_OK, c->CopyTo(0, nullptr, nullptr, src.get()))
      << "the parent is no part of the source";
  EXPECT_EQ(S_OK, src->MoveElementTo(c_name.c_str(), src.get(), x.c_str(),
                                     STGMOVE_COPY));
  EXPECT_EQ("{x{g{}} g{} s c{g{}}}", Tree(Child(RootId(), "src")));
  ASSERT_EQ(S_OK, root_->DestroyElement(W("src").c_str()));
  EXPECT_EQ(STG_E_REVERTED, src->CopyTo(0, nullptr, nullptr, dst.get()));
  EXPECT_EQ(STG_E_REVERTED, c->MoveElementTo(W("g").c_str(), dst.get(),
                                             x.c_str(), STGMOVE_COPY));
}

// An element without a name is never copied, so a move that removed the
// source after the copy would lose it, with its content. The move is
// refused before anything is created, whatever the destination, and the
// element can still be copied around.
TEST_F(CopyMoveTest, MoveRefusesAStorageHoldingAnUnnamedElement) {
  const struct {
    bool storage;
    bool deep;
    const char* source;
  } cases[] = {
      {false, false, "{src{ deep{} kept}}"},
      {true, false, "{src{{inside} deep{} kept}}"},
      {false, true, "{src{deep{ inner{x}} kept}}"},
      {true, true, "{src{deep{{inside} inner{x}} kept}}"},
  };
  for (const auto& c : cases) {
    for (bool foreign : {false, true}) {
      SCOPED_TRACE(std::string(c.source) + (foreign ? " foreign" : ""));
      QSStrg_ClearRootStorage();
      *root_.Out() = GetRootIStorage();
      Ref<IStorage> src(NewStorage(root_.get(), "src"));
      Fill(src.get(), "kept", 3);
      Ref<IStorage> deep(NewStorage(src.get(), "deep"));
      if (c.deep) {
        Ref<IStorage> inner(NewStorage(deep.get(), "inner"));
        Fill(inner.get(), "x", 1);
      }
      IStorage* holder = c.deep ? deep.get() : src.get();
      if (c.storage) {
        Ref<IStorage> unnamed(NewStorage(holder, ""));
        Fill(unnamed.get(), "inside", 2);
      } else {
        Fill(holder, "", 5);
      }
      Ref<IStorage> dst(NewStorage(root_.get(), "dst"));
      Forwarder other(dst.get());
      IStorage* dest = foreign ? &other : dst.get();
      const std::string before = Dump(root_.get());
      ASSERT_EQ(std::string(c.source).insert(1, "dst{} "), Tree(RootId()));

      EXPECT_EQ(STG_E_INVALIDFUNCTION,
                root_->MoveElementTo(W("src").c_str(), dest, W("moved").c_str(),
                                     STGMOVE_MOVE));
      EXPECT_EQ(std::string(c.source).insert(1, "dst{} "), Tree(RootId()));
      EXPECT_EQ(before, Dump(root_.get())) << "bytes and all";
      EXPECT_EQ(S_OK, root_->MoveElementTo(W("src").c_str(), dest,
                                           W("copied").c_str(), STGMOVE_COPY));
      EXPECT_EQ(
          c.deep ? "{copied{kept deep{inner{x}}}}" : "{copied{kept deep{}}}",
          Tree(Child(RootId(), "dst")));
    }
  }
  // Not found by name, the unnamed element itself cannot be moved.
  Ref<IStorage> src;
  ASSERT_EQ(S_OK, root_->OpenStorage(W("src").c_str(), nullptr, kReadWrite,
                                     nullptr, 0, src.Out()));
  Ref<IStorage> deep;
  ASSERT_EQ(S_OK, src->OpenStorage(W("deep").c_str(), nullptr, kReadWrite,
                                   nullptr, 0, deep.Out()));
  EXPECT_EQ(STG_E_FILENOTFOUND,
            deep->MoveElementTo(W("").c_str(), root_.get(), W("x").c_str(),
                                STGMOVE_MOVE));
}

// A destination that calls back into the library each time it is asked to
// create an element, then forwards the request.
class CallingBackDestination : public Forwarder {
 public:
  CallingBackDestination(IStorage* inner, std::function<void()> call)
      : Forwarder(inner), call_(std::move(call)) {}
  HRESULT STDMETHODCALLTYPE CreateStream(const OLECHAR* name, DWORD mode,
                                         DWORD r1, DWORD r2,
                                         IStream** out) override {
    call_();
    return Forwarder::CreateStream(name, mode, r1, r2, out);
  }
  HRESULT STDMETHODCALLTYPE CreateStorage(const OLECHAR* name, DWORD mode,
                                          DWORD r1, DWORD r2,
                                          IStorage** out) override {
    call_();
    return Forwarder::CreateStorage(name, mode, r1, r2, out);
  }

 private:
  std::function<void()> call_;
};

TEST_F(CopyMoveTest, SourceStreamDestroyedByTheDestinationFailsTheCopy) {
  Ref<IStorage> src(NewStorage(root_.get(), "src"));
  Ref<IStorage> dst(NewStorage(root_.get(), "dst"));
  CallingBackDestination destroying(
      dst.get(), [&] { src->DestroyElement(W("data").c_str()); });
  Fill(src.get(), "data", 700);
  EXPECT_EQ(E_FAIL, src->CopyTo(0, nullptr, nullptr, &destroying));
  Fill(src.get(), "data", 700);
  EXPECT_EQ(E_FAIL, src->MoveElementTo(W("data").c_str(), &destroying,
                                       W("moved").c_str(), STGMOVE_MOVE));
  EXPECT_EQ("{moved(0) data(0)}", Dump(dst.get()));
}

struct ChainJob {
  IStorage* root;
  HRESULT copied;
  HRESULT moved;
};

void CopyAndMoveChain(ChainJob* job) {
  IStorage* chain = nullptr;
  IStorage* copy = nullptr;
  job->root->OpenStorage(W("chain").c_str(), nullptr, kReadWrite, nullptr, 0,
                         &chain);
  job->root->CreateStorage(W("copy").c_str(), kReadWrite, 0, 0, &copy);
  job->copied = chain->CopyTo(0, nullptr, nullptr, copy);
  job->moved = job->root->MoveElementTo(W("chain").c_str(), copy,
                                        W("moved").c_str(), STGMOVE_MOVE);
  chain->Release();
  copy->Release();
}

// The default stack of a 32-bit Windows thread.
constexpr unsigned kSmallStack = 1 << 20;

#if defined(_WIN32)
DWORD WINAPI RunChainJob(LPVOID job) {
  CopyAndMoveChain(static_cast<ChainJob*>(job));
  return 0;
}
void OnSmallStack(ChainJob* job) {
  HANDLE thread = CreateThread(nullptr, kSmallStack, RunChainJob, job,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}
#else
void* RunChainJob(void* job) {
  CopyAndMoveChain(static_cast<ChainJob*>(job));
  return nullptr;
}
void OnSmallStack(ChainJob* job) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kSmallStack);
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(&thread, &attributes, RunChainJob, job));
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}
#endif

TEST_F(CopyMoveTest, DeepChainsCopyAndMoveOnASmallStack) {
  constexpr int kDepth = 100000;
  IStorage* level = NewStorage(root_.get(), "chain");
  for (int i = 1; i < kDepth; ++i) {
    IStorage* next = NewStorage(level, "n");
    level->Release();
    level = next;
  }
  Fill(level, "end", 3);
  level->Release();

  ChainJob job{root_.get(), E_FAIL, E_FAIL};
  OnSmallStack(&job);
  EXPECT_EQ(S_OK, job.copied);
  EXPECT_EQ(S_OK, job.moved);
  const int copy = Child(RootId(), "copy");
  for (int node : {copy, Child(copy, "moved")}) {
    int links = 0;
    for (int next; (next = Child(node, "n")) != 0; node = next) ++links;
    EXPECT_EQ(kDepth - 1, links);
    EXPECT_NE(0, Child(node, "end"));
  }
  EXPECT_EQ(0, Child(RootId(), "chain"));
}

#if defined(_WIN32)
TEST_F(CopyMoveTest, CopiesIntoThePlatformsCompoundFile) {
  ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
  ILockBytes* bytes = nullptr;
  ASSERT_EQ(S_OK, CreateILockBytesOnHGlobal(nullptr, TRUE, &bytes));
  IStorage* doc = nullptr;
  ASSERT_EQ(S_OK, StgCreateDocfileOnILockBytes(bytes, STGM_CREATE | kReadWrite,
                                               0, &doc));
  {
    Ref<IStorage> src(SmallSource(root_.get()));
    const CLSID clsid = {0xC1A55, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    ASSERT_EQ(S_OK, src->SetClass(clsid));
    const IID ignored = IID_IStream;
    EXPECT_EQ(S_OK, src->CopyTo(0, &ignored, nullptr, doc));
    EXPECT_EQ(S_OK, src->CopyTo(0, nullptr, nullptr, doc));
    EXPECT_EQ(S_OK, src->MoveElementTo(W("1536").c_str(), doc, W("M").c_str(),
                                       STGMOVE_MOVE));
    // The compound file takes no write-only storage; its refusal comes
    // back as it is and the source keeps the element.
    EXPECT_EQ(
        STG_E_ACCESSDENIED,
        src->MoveElementTo(W("S").c_str(), doc, W("N").c_str(), STGMOVE_MOVE));
    // Nor an element without a name: a move of a storage holding one is
    // refused before the compound file is asked for anything.
    {
      Ref<IStorage> s;
      ASSERT_EQ(S_OK, src->OpenStorage(W("S").c_str(), nullptr, kReadWrite,
                                       nullptr, 0, s.Out()));
      Fill(s.get(), "", 2);
    }
    EXPECT_EQ(
        STG_E_INVALIDFUNCTION,
        src->MoveElementTo(W("S").c_str(), doc, W("N").c_str(), STGMOVE_MOVE));
    EXPECT_EQ("{512(512) 511(511) 0(0) S{(null)(2) T(5)}}", Dump(src.get()));
    STATSTG stat;
    ASSERT_EQ(S_OK, doc->Stat(&stat, STATFLAG_NONAME));
    EXPECT_TRUE(IsEqualGUID(clsid, stat.clsid));
  }
  ExpectSmallSourceIn(doc);
  EXPECT_EQ(Pattern(1536), Bytes(doc, "M"));
  doc->Release();
  bytes->Release();
  CoUninitialize();
}
#endif

// The name handed to the destination is the copy's own: names the
// destination has converted meanwhile do not replace it.
TEST_F(CopyMoveTest, DestinationSeesItsNamesWhateverItConvertsMeanwhile) {
  Ref<IStorage> src(NewStorage(root_.get(), "src"));
  Fill(src.get(), "data", 3);
  { Ref<IStorage> inner(NewStorage(src.get(), "inner")); }
  Ref<IStorage> dst(NewStorage(root_.get(), "dst"));
  Ref<IStream> journal;
  ASSERT_EQ(S_OK, root_->CreateStream(W("journal").c_str(), kReadWrite, 0, 0,
                                      journal.Out()));
  // It looks at one of our streams (a Stat, as for logging) first.
  CallingBackDestination looking(dst.get(), [&] {
    STATSTG stat;
    if (journal->Stat(&stat, STATFLAG_DEFAULT) == S_OK) {
      CoTaskMemFree(stat.pwcsName);
    }
  });
  ASSERT_EQ(S_OK, src->CopyTo(0, nullptr, nullptr, &looking));
  EXPECT_EQ("{data inner{}}", Tree(Child(RootId(), "dst")));
}

}  // namespace
}  // namespace qss_test
