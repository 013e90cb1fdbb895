#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "qsstorage/qsstorage.h"
#include "standins/plex_controls.h"
#include "tests/element_helpers.h"
#include "tests/test_support.h"

namespace qss_test {
namespace {

const std::string kLongName(1024, 'x');  // one byte over the limit
constexpr DWORD kCreate = STGM_CREATE;

void Drop(IUnknown* object) {
  if (object != nullptr) object->Release();
}

class ElementsTest : public PlexTest {
 protected:
  void SetUp() override {
    PlexTest::SetUp();
    root_ = GetRootIStorage();
    ASSERT_NE(nullptr, root_);
  }
  void TearDown() override {
    Drop(root_);
    PlexTest::TearDown();
  }

  static IStream* NewStream(IStorage* parent, const std::string& name,
                            const std::string& bytes = "") {
    IStream* stream = nullptr;
    EXPECT_EQ(S_OK,
              parent->CreateStream(W(name).c_str(), kReadWrite, 0, 0, &stream));
    if (stream != nullptr && !bytes.empty()) {
      EXPECT_EQ(S_OK, stream->Write(bytes.data(),
                                    static_cast<ULONG>(bytes.size()), nullptr));
    }
    return stream;
  }
  static std::string ReadAll(IStream* stream) {
    LARGE_INTEGER start = {};
    char buffer[256];
    ULONG got = 0;
    if (stream->Seek(start, STREAM_SEEK_SET, nullptr) != S_OK ||
        stream->Read(buffer, sizeof buffer, &got) != S_OK) {
      return "?";
    }
    return std::string(buffer, got);
  }

  IStorage* root_ = nullptr;
};

// Every operation of a storage whose node is gone answers its own code.
void ExpectDetached(IStorage* storage) {
  Ref<IStream> stream;
  Ref<IStorage> child;
  STATSTG stat = {};
  const OLECHAR* n = OLESTR("n");
  EXPECT_EQ(E_FAIL, storage->CreateStream(n, kReadWrite, 0, 0, stream.Out()));
  EXPECT_EQ(E_FAIL,
            storage->OpenStream(n, nullptr, kReadWrite, 0, stream.Out()));
  EXPECT_EQ(E_FAIL, storage->CreateStorage(n, kReadWrite, 0, 0, child.Out()));
  EXPECT_EQ(E_FAIL, storage->OpenStorage(n, nullptr, kReadWrite, nullptr, 0,
                                         child.Out()));
  EXPECT_EQ(E_FAIL, storage->Stat(&stat, STATFLAG_DEFAULT));
  EXPECT_EQ(STG_E_REVERTED, storage->DestroyElement(n));
  EXPECT_EQ(STG_E_REVERTED, storage->RenameElement(n, n));
  EXPECT_EQ(STG_E_REVERTED, storage->SetClass(GUID_NULL));
  EXPECT_EQ(S_OK, storage->Commit(0));
  EXPECT_EQ(S_OK, storage->Revert());
  EXPECT_EQ(S_OK, storage->SetStateBits(0, 0));
  EXPECT_EQ(E_NOTIMPL,
            storage->SetElementTimes(nullptr, nullptr, nullptr, nullptr));
}

enum Op { kCreateStream, kCreateStorage, kOpenStream, kOpenStorage };
enum Parent { kWritable, kReadOnlyParent, kClosed };

struct CheckCase {
  Op op;
  Parent parent;
  DWORD mode;
  const char* name;  // null: a null name
  HRESULT expected;
};

class CheckOrderTest : public ElementsTest,
                       public testing::WithParamInterface<CheckCase> {
 protected:
  // "p" holding a stream "s" and a storage "g", in the state asked for.
  IStorage* MakeParent(Parent state) {
    Ref<IStorage> parent(NewStorage(root_, "p"));
    Drop(NewStream(parent.get(), "s"));
    Drop(NewStorage(parent.get(), "g"));
    parent.Reset();
    QSStrg_RestoreRefCounts();
    Ref<IStorage> root(GetRootIStorage());
    IStorage* reopened = nullptr;
    EXPECT_EQ(S_OK, root->OpenStorage(
                        OLESTR("p"), nullptr,
                        state == kReadOnlyParent ? kReadOnly : kReadWrite,
                        nullptr, 0, &reopened));
    if (state == kClosed) QSStrg_RestoreRefCounts();
    return reopened;
  }
};

TEST_P(CheckOrderTest, ChecksRunInOrderAndFailuresChangeNothing) {
  const CheckCase& c = GetParam();
  Ref<IStorage> parent(MakeParent(c.parent));
  ASSERT_NE(nullptr, parent.get());
  const int node = Child(RootId(), "p");
  const std::string before = Tree(node);
  const WideString name = W(c.name != nullptr ? c.name : "");
  const OLECHAR* arg = c.name != nullptr ? name.c_str() : nullptr;
  // A stale value shows whether the out pointer is cleared on failure.
  static int stale;
  IStream* stream = reinterpret_cast<IStream*>(&stale);
  IStorage* storage = reinterpret_cast<IStorage*>(&stale);
  HRESULT hr = E_FAIL;
  switch (c.op) {
    case kCreateStream:
      hr = parent->CreateStream(arg, c.mode, 0, 0, &stream);
      break;
    case kOpenStream:
      hr = parent->OpenStream(arg, nullptr, c.mode, 0, &stream);
      break;
    case kCreateStorage:
      hr = parent->CreateStorage(arg, c.mode, 0, 0, &storage);
      break;
    case kOpenStorage:
      hr = parent->OpenStorage(arg, nullptr, c.mode, nullptr, 0, &storage);
      break;
  }
  EXPECT_EQ(c.expected, hr);
  const bool is_stream = c.op == kCreateStream || c.op == kOpenStream;
  if (hr == S_OK) {
    Drop(is_stream ? static_cast<IUnknown*>(stream) : storage);
    return;
  }
  EXPECT_EQ(nullptr, is_stream ? static_cast<void*>(stream) : storage);
  EXPECT_EQ(before, Tree(node));
}

constexpr Parent kRW = kWritable, kRO = kReadOnlyParent;
const CheckCase kCheckCases[] = {
    // Creating: liveness, access, flags, then the name.
    {kCreateStream, kRW, 0x12, "n", S_OK},
    {kCreateStream, kRW, 0x32, "n", S_OK},  // deny-read holds 0x10
    {kCreateStream, kRW, 0x12 | kCreate, "n", S_OK},
    {kCreateStream, kRW, 0x2, "n", STG_E_INVALIDFLAG},
    {kCreateStream, kRW, 0x12 | STGM_TRANSACTED, "n", STG_E_INVALIDFLAG},
    {kCreateStream, kRW, 0x12 | STGM_CONVERT, "n", STG_E_INVALIDFLAG},
    {kCreateStream, kRW, 0x12 | STGM_DELETEONRELEASE, "n", STG_E_INVALIDFLAG},
    {kCreateStream, kRO, 0x2, "n", STG_E_ACCESSDENIED},
    {kCreateStream, kClosed, 0x12, "n", STG_E_ACCESSDENIED},
    {kCreateStream, kRW, 0x12 | kCreate, "s", STG_E_FILEALREADYEXISTS},
    {kCreateStream, kRW, 0x12, "g", STG_E_FILEALREADYEXISTS},
    {kCreateStream, kRW, 0x12, nullptr, STG_E_INVALIDPOINTER},
    {kCreateStream, kRW, 0x12, kLongName.c_str(), STG_E_INVALIDNAME},
    {kCreateStream, kRW, 0x2, nullptr, STG_E_INVALIDFLAG},
    {kCreateStorage, kRO, 0x12, nullptr, STG_E_ACCESSDENIED},
    {kCreateStorage, kRW, 0x12, "n", S_OK},
    {kCreateStorage, kRW, 0x2, "n", STG_E_INVALIDFLAG},
    {kCreateStorage, kRW, 0x12 | kCreate, "s", STG_E_FILEALREADYEXISTS},
    {kCreateStorage, kRW, 0x12, "g", STG_E_FILEALREADYEXISTS},
    // Opening: liveness, access asked against the parent's, flags, name.
    {kOpenStream, kRO, 0x10, "s", S_OK},
    {kOpenStream, kRO, 0x12, "s", STG_E_ACCESSDENIED},
    {kOpenStream, kClosed, 0x10, "s", S_OK},
    {kOpenStream, kClosed, 0x12, "s", STG_E_ACCESSDENIED},
    {kOpenStream, kRO, 0x2, "s", STG_E_ACCESSDENIED},
    {kOpenStream, kRW, 0x12 | kCreate, "s", STG_E_INVALIDFLAG},
    {kOpenStream, kRW, 0x12, "g", STG_E_FILENOTFOUND},
    {kOpenStream, kRW, 0x12, "S", STG_E_FILENOTFOUND},
    {kOpenStream, kRW, 0x12, kLongName.c_str(), STG_E_INVALIDNAME},
    {kOpenStorage, kRO, 0x10, "g", S_OK},
    {kOpenStorage, kRO, 0x12, "g", STG_E_ACCESSDENIED},
    {kOpenStorage, kRW, 0x12 | kCreate, "g", STG_E_INVALIDFLAG},
    {kOpenStorage, kRW, 0x12, "s", STG_E_FILENOTFOUND},
    {kOpenStorage, kRW, 0x12, "G", STG_E_FILENOTFOUND},
    {kOpenStorage, kRW, 0x12, nullptr, STG_E_INVALIDPOINTER},
};
INSTANTIATE_TEST_SUITE_P(Table, CheckOrderTest, testing::ValuesIn(kCheckCases));

TEST_F(ElementsTest, PointersRefusedAfterLivenessAndBeforeAnyChange) {
  Ref<IStorage> storage(NewStorage(root_, "p"));
  Ref<IStorage> out;
  const OLECHAR* n = OLESTR("n");
  EXPECT_EQ(STG_E_INVALIDPOINTER,
            storage->CreateStream(n, kReadWrite, 0, 0, nullptr));
  EXPECT_EQ(STG_E_INVALIDPOINTER,
            storage->OpenStream(n, nullptr, kReadWrite, 0, nullptr));
  EXPECT_EQ(STG_E_INVALIDPOINTER,
            storage->CreateStorage(n, kReadWrite, 0, 0, nullptr));
  EXPECT_EQ(STG_E_INVALIDPOINTER,
            storage->OpenStorage(n, nullptr, kReadWrite, nullptr, 0, nullptr));
  EXPECT_EQ(STG_E_INVALIDPOINTER, storage->Stat(nullptr, STATFLAG_DEFAULT));
  EXPECT_EQ(STG_E_INVALIDPOINTER, storage->DestroyElement(nullptr));
  // A priority storage or exclusion list goes before access and flags.
  Ref<IStorage> read_only(NewStorage(root_, "r", kReadOnly));
  EXPECT_EQ(
      STG_E_INVALIDPOINTER,
      read_only->OpenStorage(n, storage.get(), 0x2, nullptr, 0, out.Out()));
  EXPECT_EQ(STG_E_INVALIDPOINTER,
            read_only->OpenStorage(n, nullptr, 0x2, reinterpret_cast<SNB>(&out),
                                   0, out.Out()));
  ASSERT_EQ(S_OK, root_->DestroyElement(OLESTR("p")));
  EXPECT_EQ(E_FAIL, storage->CreateStream(nullptr, 0x2, 0, 0, nullptr));
  EXPECT_EQ(STG_E_REVERTED, storage->DestroyElement(nullptr));
}

TEST_F(ElementsTest, EveryStreamOpenSetsTheModeOfAllItsObjects) {
  Ref<IStream> created(NewStream(root_, "s"));
  Ref<IStream> reader, writer;
  ASSERT_EQ(S_OK, root_->OpenStream(OLESTR("s"), nullptr, kReadOnly, 0,
                                    reader.Out()));
  EXPECT_EQ(STG_E_ACCESSDENIED, created->Write("x", 1, nullptr));
  ASSERT_EQ(S_OK, root_->OpenStream(OLESTR("s"), nullptr, kReadWrite, 0,
                                    writer.Out()));
  EXPECT_EQ(S_OK, reader->Write("x", 1, nullptr));
}

TEST_F(ElementsTest, AStorageKeepsTheModeOfItsFirstOpen) {
  Drop(NewStorage(root_, "p"));
  QSStrg_RestoreRefCounts();
  Ref<IStorage> root(GetRootIStorage());
  Ref<IStorage> first, second;
  ASSERT_EQ(S_OK, root->OpenStorage(OLESTR("p"), nullptr, kReadOnly, nullptr, 0,
                                    first.Out()));
  ASSERT_EQ(S_OK, root->OpenStorage(OLESTR("p"), nullptr, kReadWrite, nullptr,
                                    0, second.Out()));
  STATSTG stat = {};
  ASSERT_EQ(S_OK, second->Stat(&stat, STATFLAG_NONAME));
  EXPECT_EQ(kReadOnly, stat.grfMode);
  Ref<IStream> stream;
  const OLECHAR* n = OLESTR("n");
  EXPECT_EQ(STG_E_ACCESSDENIED,
            second->CreateStream(n, kReadWrite, 0, 0, stream.Out()));
  EXPECT_EQ(STG_E_ACCESSDENIED, second->DestroyElement(n));
  EXPECT_EQ(STG_E_ACCESSDENIED, second->RenameElement(n, n));
  const CLSID clsid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(STG_E_ACCESSDENIED, second->SetClass(clsid));
  EXPECT_EQ(0, Word(Child(RootId(), "p"), 0));
}

TEST_F(ElementsTest, CreateFlagReplacesAStorageAndItsSubtree) {
  Ref<IStorage> old(NewStorage(root_, "x"));
  Ref<IStorage> inner(NewStorage(old.get(), "inner"));
  Ref<IStream> data(NewStream(inner.get(), "d", "bytes"));
  Drop(NewStream(old.get(), "s", "more"));
  Drop(NewStorage(root_, "y"));
  Ref<IStorage> fresh;
  ASSERT_EQ(S_OK, root_->CreateStorage(OLESTR("x"), kReadWrite | kCreate, 0, 0,
                                       fresh.Out()));
  EXPECT_EQ("{x{} y{}}", Tree(RootId()));
  ExpectDetached(old.get());
  ExpectDetached(inner.get());
  ULONG got = 9;
  char byte;
  EXPECT_EQ(E_FAIL, data->Read(&byte, 1, &got));
  EXPECT_EQ(0u, got);
  Drop(NewStream(fresh.get(), "s"));
}

TEST_F(ElementsTest, DestroyedElementsDetachTheirObjects) {
  Ref<IStorage> sub(NewStorage(root_, "sub"));
  Ref<IStorage> deeper(NewStorage(sub.get(), "deeper"));
  Ref<IStream> inside(NewStream(deeper.get(), "d", "abc"));
  Ref<IStream> top(NewStream(root_, "t", "xyz"));
  const int top_node = Child(RootId(), "t");
  EXPECT_EQ(S_OK, root_->DestroyElement(OLESTR("t")));
  EXPECT_EQ(S_OK, root_->DestroyElement(OLESTR("sub")));
  EXPECT_EQ("{}", Tree(RootId()));
  ExpectDetached(sub.get());
  ExpectDetached(deeper.get());
  EXPECT_EQ(E_FAIL, inside->Write("q", 1, nullptr));
  // A destroyed stream's node goes at once; its objects were detached.
  EXPECT_FALSE(QssPlex_IsLive(top_node));
  ULONG got = 9;
  char byte;
  EXPECT_EQ(E_FAIL, top->Read(&byte, 1, &got));
  EXPECT_EQ(0u, got);
  top.Reset();
  // Without objects it goes at once, with its data block and entry.
  Drop(NewStream(root_, "t", std::string(300, 'a')));
  Drop(NewStorage(root_, "sub"));
  const int live = QssPlex_LiveBlocks();
  EXPECT_EQ(S_OK, root_->DestroyElement(OLESTR("t")));
  EXPECT_EQ(live - 3, QssPlex_LiveBlocks());
  EXPECT_EQ("{sub{}}", Tree(RootId()));
}

TEST_F(ElementsTest, ClearedTreeDetachesItsObjects) {
  Ref<IStorage> sub(NewStorage(root_, "sub"));
  Ref<IStream> stream(NewStream(sub.get(), "s", "abc"));
  EXPECT_EQ(1, QSStrg_ClearRootStorage());
  ExpectDetached(root_);
  ExpectDetached(sub.get());
  EXPECT_EQ(E_FAIL, stream->Write("q", 1, nullptr));
}

struct RenameCase {
  const char* from;  // null: a null name
  const char* to;
  HRESULT expected;
};

class RenameErrorsTest : public ElementsTest,
                         public testing::WithParamInterface<RenameCase> {};

TEST_P(RenameErrorsTest, RenameChecksInOrder) {
  const RenameCase& c = GetParam();
  Drop(NewStream(root_, "s"));
  Drop(NewStorage(root_, "g"));
  const WideString from = W(c.from ? c.from : ""), to = W(c.to ? c.to : "");
  EXPECT_EQ(c.expected, root_->RenameElement(c.from ? from.c_str() : nullptr,
                                             c.to ? to.c_str() : nullptr));
  EXPECT_EQ(c.expected == S_OK ? "{g{} t}" : "{g{} s}", Tree(RootId()));
}

const RenameCase kRenameCases[] = {
    {"s", "t", S_OK},
    {"s", "s", STG_E_FILEALREADYEXISTS},
    {"s", "g", STG_E_FILEALREADYEXISTS},
    {"x", "g", STG_E_FILENOTFOUND},  // the old name is looked up first
    {"S", "t", STG_E_FILENOTFOUND},
    {nullptr, "t", STG_E_INVALIDPOINTER},
    {"s", nullptr, STG_E_INVALIDPOINTER},
    {"s", kLongName.c_str(), STG_E_INVALIDNAME},
};
INSTANTIATE_TEST_SUITE_P(Table, RenameErrorsTest,
                         testing::ValuesIn(kRenameCases));

class RenameGrowthTest : public ElementsTest,
                         public testing::WithParamInterface<bool> {
 protected:
  void TearDown() override {
    QssPlex_SetMoveOnRealloc(0);
    ElementsTest::TearDown();
  }
};

TEST_P(RenameGrowthTest, NodesGrowAndShrinkUnderOpenObjects) {
  QssPlex_SetMoveOnRealloc(GetParam() ? 1 : 0);
  Ref<IStorage> storage(NewStorage(root_, "a"));
  Ref<IStream> stream(NewStream(root_, "s", "hello"));
  const int storage_node = Child(RootId(), "a");
  const int stream_node = Child(RootId(), "s");
  ASSERT_EQ(S_OK, root_->RenameElement(OLESTR("a"), OLESTR("abcde")));
  ASSERT_EQ(S_OK, root_->RenameElement(OLESTR("s"), OLESTR("stream")));
  EXPECT_EQ(11, QssPlex_BlockWords(storage_node));
  EXPECT_EQ(10, QssPlex_BlockWords(stream_node));
  EXPECT_EQ("{stream abcde{}}", Tree(RootId()));
  EXPECT_EQ("abcde", StatName(storage.get()));
  Drop(NewStream(storage.get(), "in"));
  EXPECT_EQ("hello", ReadAll(stream.get()));
  ASSERT_EQ(S_OK, root_->RenameElement(OLESTR("abcde"), OLESTR("b")));
  ASSERT_EQ(S_OK, root_->RenameElement(OLESTR("stream"), OLESTR("t")));
  EXPECT_EQ(10, QssPlex_BlockWords(storage_node));
  EXPECT_EQ(9, QssPlex_BlockWords(stream_node));
  EXPECT_EQ(storage_node, Child(RootId(), "b"));
  EXPECT_EQ("{t b{in}}", Tree(RootId()));
  EXPECT_EQ(S_OK, stream->Write("!", 1, nullptr));
  EXPECT_EQ("hello!", ReadAll(stream.get()));
}
INSTANTIATE_TEST_SUITE_P(MoveOnRealloc, RenameGrowthTest, testing::Bool());

struct NameCase {
  const char* name;
  std::vector<int> words;  // the name words as stored
};

class NameLayoutTest : public ElementsTest,
                       public testing::WithParamInterface<NameCase> {};

// Streams take their names at creation, storages here by renaming.
TEST_P(NameLayoutTest, NamesFillWholeWordsAndReadBack) {
  const NameCase& c = GetParam();
  const WideString name = W(c.name);
  Drop(NewStream(root_, c.name));
  Ref<IStorage> box(NewStorage(root_, "box"));
  Ref<IStorage> storage(NewStorage(box.get(), "g"));
  ASSERT_EQ(S_OK, box->RenameElement(OLESTR("g"), name.c_str()));
  const int stream_node = Word(Word(Word(RootId(), 6), 0), 3);
  const int storage_node = Word(Word(Child(RootId(), "box"), 6), 3);
  ASSERT_EQ(static_cast<int>(c.words.size()), Word(stream_node, 7));
  ASSERT_EQ(static_cast<int>(c.words.size()), Word(storage_node, 8));
  for (size_t k = 0; k < c.words.size(); ++k) {
    EXPECT_EQ(c.words[k], Word(stream_node, 8 + static_cast<int>(k)));
    EXPECT_EQ(c.words[k], Word(storage_node, 9 + static_cast<int>(k)));
  }
  // The empty name has no name: Stat reports none, lookups never find it.
  EXPECT_EQ(c.words.empty() ? "(null)" : c.name, StatName(storage.get()));
  Ref<IStream> found;
  EXPECT_EQ(
      c.words.empty() ? STG_E_FILENOTFOUND : S_OK,
      root_->OpenStream(name.c_str(), nullptr, kReadWrite, 0, found.Out()));
  if (c.words.empty()) Drop(NewStream(box.get(), c.name));  // no clash
}

const NameCase kNameCases[] = {
    {"abcd", {0x64636261}},
    {"abcdefgh", {0x64636261, 0x68676665}},
    {"abcde", {0x64636261, 0x65}},
    {"", {}},
};
INSTANTIATE_TEST_SUITE_P(Table, NameLayoutTest, testing::ValuesIn(kNameCases));

TEST_F(ElementsTest, CharactersTheCodePageLacksMakeOneName) {
  Drop(NewStream(root_, "\u4e00"));
  Ref<IStream> second, found;
  EXPECT_EQ(
      STG_E_FILEALREADYEXISTS,
      root_->CreateStream(W("\u4e8c").c_str(), kReadWrite, 0, 0, second.Out()));
  EXPECT_EQ(S_OK, root_->OpenStream(W("\u4e8c").c_str(), nullptr, kReadWrite, 0,
                                    found.Out()));
  EXPECT_EQ("{?}", Tree(RootId()));
}

TEST_F(ElementsTest, StatReportsNameTypeModeAndClass) {
  STATSTG stat = {};
  stat.cbSize.QuadPart = 77;
  ASSERT_EQ(S_OK, root_->Stat(&stat, STATFLAG_DEFAULT));
  EXPECT_EQ("Root", Narrow(stat.pwcsName));
  CoTaskMemFree(stat.pwcsName);
  EXPECT_EQ(static_cast<DWORD>(STGTY_STORAGE), stat.type);
  EXPECT_EQ(0x42u, stat.grfMode);
  const CLSID root_class = {0xBE0E1A90,
                            0xBCFD,
                            0x11D2,
                            {0x82, 0x3A, 0x00, 0xC0, 0x4F, 0x6E, 0x77, 0x1B}};
  EXPECT_TRUE(IsEqualGUID(root_class, stat.clsid));
  EXPECT_EQ(77u, stat.cbSize.QuadPart);  // not Stat's to write

  Ref<IStorage> created(NewStorage(root_, "p"));
  Ref<IStorage> reopened;
  ASSERT_EQ(S_OK, root_->OpenStorage(OLESTR("p"), nullptr, kReadOnly, nullptr,
                                     0, reopened.Out()));
  OLECHAR caller_name[] = {'k', 0};
  stat.pwcsName = caller_name;
  ASSERT_EQ(S_OK, reopened->Stat(&stat, STATFLAG_NONAME));
  EXPECT_EQ(caller_name, stat.pwcsName);
  EXPECT_EQ(kReadWrite, stat.grfMode);  // the first open's
  EXPECT_TRUE(IsEqualGUID(GUID_NULL, stat.clsid));
  const CLSID clsid = {0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14}};
  ASSERT_EQ(S_OK, created->SetClass(clsid));
  ASSERT_EQ(S_OK, reopened->Stat(&stat, STATFLAG_NONAME));
  EXPECT_TRUE(IsEqualGUID(clsid, stat.clsid));
  EXPECT_EQ(0x07080506, Word(Child(RootId(), "p"), 1));
}

TEST_F(ElementsTest, RunningOutOfPlexLeavesTreeAndStoreAsTheyWere) {
  // A stream takes a node, a data block and an entry; a storage no data.
  for (const bool is_stream : {true, false}) {
    const OLECHAR* name = is_stream ? OLESTR("s") : OLESTR("g");
    int failing = 0;
    for (HRESULT hr = E_FAIL; hr != S_OK; ++failing) {
      const int live = QssPlex_LiveBlocks();
      QssPlex_FailAllocAfter(failing);
      Ref<IStream> stream;
      Ref<IStorage> storage;
      hr = is_stream
               ? root_->CreateStream(name, kReadWrite, 0, 0, stream.Out())
               : root_->CreateStorage(name, kReadWrite, 0, 0, storage.Out());
      QssPlex_FailAllocAfter(-1);
      if (hr == S_OK) continue;
      EXPECT_EQ(E_OUTOFMEMORY, hr);
      EXPECT_EQ(nullptr,
                is_stream ? static_cast<void*>(stream.get()) : storage.get());
      EXPECT_EQ(live, QssPlex_LiveBlocks());
    }
    EXPECT_EQ(is_stream ? 4 : 3, failing);
  }
  // A rename that cannot grow the node keeps the old name.
  QssPlex_FailAllocAfter(0);
  EXPECT_EQ(E_OUTOFMEMORY, root_->RenameElement(OLESTR("s"), OLESTR("longer")));
  QssPlex_FailAllocAfter(-1);
  // Replacing frees the old storage before the new one fails to be made.
  QssPlex_FailAllocAfter(0);
  Ref<IStorage> replaced;
  EXPECT_EQ(E_OUTOFMEMORY,
            root_->CreateStorage(OLESTR("g"), kReadWrite | kCreate, 0, 0,
                                 replaced.Out()));
  QssPlex_FailAllocAfter(-1);
  EXPECT_EQ("{s}", Tree(RootId()));
}

// Random creates, replacements, renames and destroys, with objects held
// across them, checked against a model of the root's children.
TEST_F(ElementsTest, RandomChurnKeepsTheTreeAndLeaksNothing) {
  std::mt19937 random(20240607);
  const char* const kNames[] = {"a", "b", "c", "d", "e", "f"};
  std::map<std::string, bool> is_stream;
  std::vector<IStream*> streams;
  std::vector<IStorage*> storages;
  for (int i = 0; i < 4000; ++i) {
    const std::string name = kNames[random() % 6];
    const std::string other = kNames[random() % 6];
    const WideString wide = W(name);
    const auto found = is_stream.find(name);
    const bool exists = found != is_stream.end();
    const bool hold = random() % 2 != 0;
    IStream* stream = nullptr;
    IStorage* storage = nullptr;
    HRESULT expected = S_OK;
    switch (random() % 6) {
      case 0:
        expected = exists ? STG_E_FILEALREADYEXISTS : S_OK;
        ASSERT_EQ(expected,
                  root_->CreateStream(wide.c_str(), kReadWrite, 0, 0, &stream));
        if (expected == S_OK) is_stream[name] = true;
        if (stream != nullptr) {
          const std::string bytes(random() % 700, 'b');
          stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()),
                        nullptr);
        }
        break;
      case 1: {
        const bool replace = random() % 2 != 0;
        expected = !exists || (replace && !found->second)
                       ? S_OK
                       : STG_E_FILEALREADYEXISTS;
        ASSERT_EQ(expected,
                  root_->CreateStorage(wide.c_str(),
                                       kReadWrite | (replace ? kCreate : 0), 0,
                                       0, &storage));
        if (expected != S_OK) break;
        is_stream[name] = false;
        Drop(NewStorage(storage, "inner"));
        Drop(NewStream(storage, "data", "x"));
        break;
      }
      case 2:
        ASSERT_EQ(exists ? S_OK : STG_E_FILENOTFOUND,
                  root_->DestroyElement(wide.c_str()));
        is_stream.erase(name);
        break;
      case 3:
        expected = !exists                       ? STG_E_FILENOTFOUND
                   : is_stream.count(other) != 0 ? STG_E_FILEALREADYEXISTS
                                                 : S_OK;
        ASSERT_EQ(expected,
                  root_->RenameElement(wide.c_str(), W(other).c_str()));
        if (expected != S_OK) break;
        is_stream[other] = found->second;
        is_stream.erase(name);
        break;
      case 4:
        if (exists && found->second) {
          ASSERT_EQ(S_OK, root_->OpenStream(wide.c_str(), nullptr, kReadWrite,
                                            0, &stream));
        } else if (exists) {
          ASSERT_EQ(S_OK, root_->OpenStorage(wide.c_str(), nullptr, kReadWrite,
                                             nullptr, 0, &storage));
        }
        break;
      case 5:
        // Held objects are used whatever became of their nodes since.
        for (IStream* s : streams) s->Write("z", 1, nullptr);
        for (IStorage* s : storages) {
          if (s->CreateStream(OLESTR("n"), kReadWrite, 0, 0, &stream) == S_OK) {
            stream->Release();
            s->DestroyElement(OLESTR("n"));
          }
          stream = nullptr;
        }
        for (IStream* s : streams) s->Release();
        for (IStorage* s : storages) s->Release();
        streams.clear();
        storages.clear();
        break;
    }
    if (stream != nullptr) hold ? streams.push_back(stream) : Drop(stream);
    if (storage != nullptr) hold ? storages.push_back(storage) : Drop(storage);
  }
  for (IStream* s : streams) s->Release();
  for (IStorage* s : storages) s->Release();
  size_t children = 0;
  for (int entry = Word(RootId(), 6); entry != 0; entry = Word(entry, 0)) {
    EXPECT_EQ(1u, is_stream.count(ChildName(entry)));
    ++children;
  }
  EXPECT_EQ(is_stream.size(), children);
}

// A caller takes the root, builds elements, closes everything, and finds
// them again by name in the plex saved and loaded by the host.
TEST_F(ElementsTest, ElementsSurviveRestoreSaveAndReload) {
  {
    Ref<IStorage> object(NewStorage(root_, "object"));
    Drop(NewStream(object.get(), "data", "payload"));
    Drop(NewStorage(object.get(), "nested"));
  }
  Drop(root_);
  root_ = nullptr;
  QSStrg_RestoreRefCounts();
  const int object_node = Child(RootId(), "object");
  EXPECT_EQ(-1, Word(Child(object_node, "data"), 4));
  const std::string path = testing::TempDir() + "qss_elements_road.plex";
  ASSERT_EQ(0, QssPlex_Save(path.c_str()));
  QssPlex_Reset();
  ASSERT_EQ(0, QssPlex_Load(path.c_str()));
  std::remove(path.c_str());

  root_ = GetRootIStorage();
  ASSERT_NE(nullptr, root_);
  Ref<IStorage> object;
  ASSERT_EQ(S_OK, root_->OpenStorage(OLESTR("object"), nullptr, kReadWrite,
                                     nullptr, 0, object.Out()));
  Ref<IStream> data;
  ASSERT_EQ(S_OK, object->OpenStream(OLESTR("data"), nullptr, kReadWrite, 0,
                                     data.Out()));
  EXPECT_EQ("payload", ReadAll(data.get()));
  EXPECT_EQ("{object{nested{} data}}", Tree(RootId()));
}

}  // namespace
}  // namespace qss_test
