#include "stream/stream_plex.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "records/element_list.h"
#include "records/lifetime.h"
#include "records/node_records.h"
#include "records/plex.h"
#include "standins/plex_controls.h"
#include "storage/storage_plex.h"
#include "tests/test_support.h"

namespace qss {
namespace {

using qss_test::Narrow;
using qss_test::Word;
using Shape = std::vector<int>;  // capacity words, capacity bytes, size

constexpr uint64_t k4GiB = uint64_t{1} << 32;

LARGE_INTEGER Move(int64_t value) {
  LARGE_INTEGER li;
  li.QuadPart = value;
  return li;
}

ULARGE_INTEGER Count(uint64_t value) {
  ULARGE_INTEGER li;
  li.QuadPart = value;
  return li;
}

// A CopyTo destination that records each Write; one call can take half of
// what it is given, or fail, and the first can call back into the library.
class RecordingStream : public IStream {
 public:
  std::vector<ULONG> writes;
  std::string bytes;
  int short_call = -1;
  int failing_call = -1;
  std::function<void()> on_first_write;

  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb,
                                  ULONG* pcbWritten) override {
    const int call = static_cast<int>(writes.size());
    writes.push_back(cb);
    if (call == 0 && on_first_write) on_first_write();
    if (call == failing_call) return STG_E_ACCESSDENIED;
    const ULONG n = call == short_call ? cb / 2 : cb;
    bytes.append(static_cast<const char*>(pv), n);
    *pcbWritten = n;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override {
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Read(void*, ULONG, ULONG*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD,
                                 ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                   ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER,
                                       DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER,
                                         DWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }
};

// Streams linked into an anchored root, so the leak check can reach them.
class StreamTest : public qss_test::PlexTest {
 protected:
  void SetUp() override {
    PlexTest::SetUp();
    root_ = CreateStorageNode(NameKeyOf("Root"));
    ASSERT_NE(root_, nullptr);
    LocateBlock(2)[52] = root_->block_id();
  }
  void TearDown() override {
    QssPlex_SetMoveOnRealloc(0);
    for (CImplIStreamPlex* stream : streams_) stream->Release();
    root_->Release();
    PlexTest::TearDown();
  }

  CImplIStreamPlex* Make(const char* name = "s", int mode = STGM_READWRITE,
                         int capacity = 256) {
    CImplIStreamPlex* stream = CreateStreamNode(NameKeyOf(name), capacity);
    EXPECT_NE(stream, nullptr);
    stream->SetOpenMode(mode);
    LinkElement(root_->block_id(), stream->block_id(), kKindStream);
    streams_.push_back(stream);
    return stream;
  }
  CImplIStreamPlex* Open(CImplIStreamPlex* stream) {
    streams_.push_back(new CImplIStreamPlex(stream->block_id()));
    return streams_.back();
  }
  static Shape ShapeOf(CImplIStreamPlex* s) {
    const int id = s->block_id();
    return {Word(id, kStreamCapacityWordsWord),
            Word(id, kStreamCapacityBytesWord), Word(id, kStreamSizeWord)};
  }
  static int DataBlock(CImplIStreamPlex* s) {
    return Word(s->block_id(), kStreamDataBlockWord);
  }
  // The stream's bytes as the plex holds them.
  static std::string Contents(CImplIStreamPlex* s) {
    const char* data = reinterpret_cast<const char*>(LocateBlock(DataBlock(s)));
    return std::string(data, Word(s->block_id(), kStreamSizeWord));
  }
  static void Put(CImplIStreamPlex* s, const std::string& bytes) {
    ULONG written = 0;
    const auto n = static_cast<ULONG>(bytes.size());
    ASSERT_EQ(S_OK, s->Write(bytes.data(), n, &written));
    ASSERT_EQ(n, written);
  }
  static void SeekTo(CImplIStreamPlex* s, uint64_t at) {
    ASSERT_EQ(S_OK, s->Seek(Move(static_cast<int64_t>(at)), 0, nullptr));
  }
  static uint64_t Position(CImplIStreamPlex* s) {
    ULARGE_INTEGER at = Count(0);
    s->Seek(Move(0), STREAM_SEEK_CUR, &at);
    return at.QuadPart;
  }

  CIStoragePlex* root_ = nullptr;
  std::vector<CImplIStreamPlex*> streams_;
};

TEST_F(StreamTest, CreateStreamNodeLaysOutTheNode) {
  struct Case {
    const char* name;
    int capacity;
    int capacity_words;
    int name_words;
    const char* read_back;
  };
  const Case cases[] = {
      {"data", 256, 64, 1, "data"}, {"abcde", 1, 64, 2, "abcde"},
      {"x", 257, 128, 1, "x"},      {"x", 0, 0, 1, "x"},
      {nullptr, 256, 64, 1, ""},    {"", 256, 64, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.read_back ? c.read_back : "(no name)");
    CImplIStreamPlex* s = Make(c.name, kNotOpen, c.capacity);
    const int id = s->block_id();
    EXPECT_EQ(c.capacity_words == 0, DataBlock(s) == 0);
    if (DataBlock(s) != 0) {
      EXPECT_EQ(c.capacity_words, QssPlex_BlockWords(DataBlock(s)));
    }
    EXPECT_EQ(Shape({c.capacity_words, 4 * c.capacity_words, 0}), ShapeOf(s));
    EXPECT_EQ(kNotOpen, Word(id, kStreamOpenModeWord));
    EXPECT_EQ(0, Word(id, kStreamOpenCountWord) | Word(id, kStreamDeletedWord));
    EXPECT_EQ(c.name_words, Word(id, kStreamNameLengthWord));
    EXPECT_EQ(8 + c.name_words, QssPlex_BlockWords(id));
    const std::string expected = c.read_back ? c.read_back : "(null)";
    STATSTG stat;
    ASSERT_EQ(S_OK, s->Stat(&stat, STATFLAG_DEFAULT));
    EXPECT_EQ(expected, stat.pwcsName ? Narrow(stat.pwcsName) : "(null)");
    CoTaskMemFree(stat.pwcsName);
  }
}

// A stream made without a data block has none to locate for an empty write.
TEST_F(StreamTest, EmptyWriteWithoutDataBlockTouchesNothing) {
  CImplIStreamPlex* s = Make("s", STGM_READWRITE, 0);
  ASSERT_EQ(0, DataBlock(s));
  ULONG written = 7;
  EXPECT_EQ(S_OK, s->Write("", 0, &written));
  EXPECT_EQ(0u, written);
  EXPECT_EQ(0, DataBlock(s));
}

TEST_F(StreamTest, CreateStreamNodeLeavesNothingWhenTheStoreIsFull) {
  for (int failing : {0, 1}) {  // the node, then the data block
    const int before = QssPlex_LiveBlocks();
    QssPlex_FailAllocAfter(failing);
    EXPECT_EQ(nullptr, CreateStreamNode(NameKeyOf("s"), 256));
    EXPECT_EQ(before, QssPlex_LiveBlocks());
  }
}

TEST_F(StreamTest, WriteGrowsTheBlockInSteps256BytesLongReadTakesWhatIsLeft) {
  CImplIStreamPlex* s = Make();
  Put(s, std::string(300, 'a'));
  EXPECT_EQ(Shape({128, 512, 300}), ShapeOf(s));
  Put(s, std::string(212, 'b'));
  EXPECT_EQ(Shape({128, 512, 512}), ShapeOf(s));
  Put(s, "c");
  EXPECT_EQ(Shape({192, 768, 513}), ShapeOf(s));
  EXPECT_EQ(192, QssPlex_BlockWords(DataBlock(s)));
  EXPECT_EQ(std::string(300, 'a') + std::string(212, 'b') + "c", Contents(s));
  SeekTo(s, 510);
  char buffer[20];
  ULONG read = 99;
  EXPECT_EQ(S_OK, s->Read(buffer, sizeof buffer, &read));
  EXPECT_EQ("bbc", std::string(buffer, read));
  EXPECT_EQ(513u, Position(s));
  EXPECT_EQ(S_OK, s->Read(buffer, sizeof buffer, &read));
  EXPECT_EQ(0u, read);
}

// Pieces of up to 16 bytes are copied without the C runtime; every length
// around the 4- and 8-byte pieces, at every alignment, must land exactly.
TEST_F(StreamTest, SmallPiecesLandExactlyAtEveryLengthAndOffset) {
  CImplIStreamPlex* s = Make();
  std::string expected;
  for (int length = 0; length <= 20; ++length) {
    std::string piece;
    for (int i = 0; i < length; ++i)
      piece += static_cast<char>('A' + (length + i) % 26);
    Put(s, piece);
    expected += piece;
  }
  ASSERT_EQ(expected, Contents(s));
  for (size_t at = 0; at < 8; ++at) {
    for (ULONG length = 0; length <= 20; ++length) {
      SeekTo(s, at);
      char buffer[24];
      std::memset(buffer, '#', sizeof buffer);
      ULONG read = 99;
      ASSERT_EQ(S_OK, s->Read(buffer, length, &read));
      ASSERT_EQ(length, read);
      EXPECT_EQ(expected.substr(at, length), std::string(buffer, length));
      EXPECT_EQ(std::string(sizeof buffer - length, '#'),
                std::string(buffer + length, sizeof buffer - length));
    }
  }
}

TEST_F(StreamTest, WriteZeroFillsTheGapEvenOverBytesAShrinkLeft) {
  CImplIStreamPlex* s = Make();
  Put(s, std::string(100, 'x'));
  ASSERT_EQ(S_OK, s->SetSize(Count(5)));
  SeekTo(s, 1000);
  Put(s, std::string(10, 'y'));
  EXPECT_EQ(Shape({256, 1024, 1010}), ShapeOf(s));
  EXPECT_EQ(std::string(5, 'x') + std::string(995, '\0') + std::string(10, 'y'),
            Contents(s));
  SeekTo(s, 1500);
  Put(s, "");
  EXPECT_EQ(std::string(490, '\0'), Contents(s).substr(1010));
}

enum Op { kRead, kWrite, kSetSize, kSeek, kStat, kCopyTo, kClone };

// Runs `op` with every output given; a failure must leave the out counts 0
// and the out pointer null.
HRESULT RunOp(CImplIStreamPlex* s, Op op) {
  char buffer[4] = {};
  ULONG n = 77;
  ULARGE_INTEGER read = Count(0), written = Count(0);
  RecordingStream destination;
  STATSTG stat = {};
  IStream* clone = nullptr;
  HRESULT hr = S_FALSE;
  switch (op) {
    case kRead:
      hr = s->Read(buffer, 4, &n);
      break;
    case kWrite:
      hr = s->Write(buffer, 4, &n);
      break;
    case kSetSize:
      return s->SetSize(Count(512));
    case kSeek:
      return s->Seek(Move(0), STREAM_SEEK_SET, nullptr);
    case kStat:
      hr = s->Stat(&stat, STATFLAG_DEFAULT);
      CoTaskMemFree(stat.pwcsName);
      return hr;
    case kCopyTo:
      read = written = Count(77);
      hr = s->CopyTo(&destination, Count(4), &read, &written);
      n = 0;
      break;
    case kClone:
      clone = s;
      hr = s->Clone(&clone);
      if (SUCCEEDED(hr)) clone->Release();
      n = 0;
      break;
  }
  if (FAILED(hr)) {
    EXPECT_EQ(0u, n + read.QuadPart + written.QuadPart);
    EXPECT_EQ(nullptr, clone);
  }
  return hr;
}

TEST_F(StreamTest, RightsFollowTheOpenModeSharedByAllObjects) {
  constexpr HRESULT kDenied = STG_E_ACCESSDENIED;
  struct Case {
    int mode;
    HRESULT read_side;   // Read, CopyTo, Clone
    HRESULT write_side;  // Write, SetSize
  };
  const Case cases[] = {
      {kNotOpen, kDenied, kDenied}, {STGM_READ, S_OK, kDenied},
      {STGM_WRITE, kDenied, S_OK},  {STGM_READWRITE, S_OK, S_OK},
      {0x12, S_OK, S_OK},           {0x10, S_OK, kDenied},
      {3, kDenied, S_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    CImplIStreamPlex* s = Make();
    Open(s)->SetOpenMode(c.mode);
    for (Op op : {kRead, kCopyTo, kClone}) EXPECT_EQ(c.read_side, RunOp(s, op));
    for (Op op : {kWrite, kSetSize}) EXPECT_EQ(c.write_side, RunOp(s, op));
    for (Op op : {kSeek, kStat}) EXPECT_EQ(S_OK, RunOp(s, op));
  }
}

TEST_F(StreamTest, NullArgumentsAreRefused) {
  CImplIStreamPlex* s = Make();
  EXPECT_EQ(STG_E_INVALIDPOINTER, s->Read(nullptr, 1, nullptr));
  EXPECT_EQ(STG_E_INVALIDPOINTER, s->Write(nullptr, 1, nullptr));
  EXPECT_EQ(S_OK, s->Write(nullptr, 0, nullptr));
  EXPECT_EQ(STG_E_INVALIDPOINTER, s->Stat(nullptr, STATFLAG_DEFAULT));
  EXPECT_EQ(STG_E_INVALIDPOINTER, s->Clone(nullptr));
  EXPECT_EQ(STG_E_INVALIDPOINTER,
            s->CopyTo(nullptr, Count(1), nullptr, nullptr));
  EXPECT_EQ(E_POINTER, s->QueryInterface(IID_IStream, nullptr));
}

TEST_F(StreamTest, SeekFromEachOriginKeepsThePositionOnFailure) {
  constexpr HRESULT kBad = STG_E_INVALIDFUNCTION;
  struct Case {
    DWORD origin;
    int64_t move;
    HRESULT hr;
    uint64_t position;  // from 4 in a stream of 10 bytes
  };
  const Case cases[] = {
      {STREAM_SEEK_SET, 7, S_OK, 7},
      {STREAM_SEEK_SET, -1, kBad, 4},
      {STREAM_SEEK_SET, 1LL << 32, S_OK, k4GiB},
      {STREAM_SEEK_CUR, -4, S_OK, 0},
      {STREAM_SEEK_CUR, -5, kBad, 4},
      {STREAM_SEEK_CUR, INT64_MAX, kBad, 4},
      {STREAM_SEEK_CUR, INT64_MIN, kBad, 4},
      {STREAM_SEEK_END, 5, S_OK, 15},
      {STREAM_SEEK_END, -11, kBad, 4},
      {STREAM_SEEK_END, INT64_MAX, kBad, 4},
      {3, 0, kBad, 4},
  };
  CImplIStreamPlex* s = Make();
  Put(s, "0123456789");
  s->SetOpenMode(kNotOpen);  // seeking needs no rights
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.origin << " " << c.move);
    SeekTo(s, 4);
    ULARGE_INTEGER out = Count(12345);
    EXPECT_EQ(c.hr, s->Seek(Move(c.move), c.origin, &out));
    EXPECT_EQ(c.hr == S_OK ? c.position : 12345u, out.QuadPart);
    EXPECT_EQ(c.position, Position(s));
  }
}

TEST_F(StreamTest, SetSizeGrowsShrinksOrKeepsTheBlockNeverThePosition) {
  struct Case {
    uint64_t size;
    HRESULT hr;
    Shape shape;  // from a size of 10 in 256 bytes
  };
  const Case cases[] = {
      {1000, S_OK, {256, 1024, 10}},
      {256, S_OK, {64, 256, 10}},
      {20, S_OK, {5, 20, 10}},
      {5, S_OK, {2, 5, 5}},
      {0, S_OK, {0, 0, 0}},
      {k4GiB, STG_E_INVALIDFUNCTION, {64, 256, 10}},
      {k4GiB - 1, STG_E_MEDIUMFULL, {64, 256, 10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    CImplIStreamPlex* s = Make();
    const int data = DataBlock(s);
    Put(s, "0123456789");
    SeekTo(s, 200);
    EXPECT_EQ(c.hr, s->SetSize(Count(c.size)));
    EXPECT_EQ(c.shape, ShapeOf(s));
    EXPECT_EQ(data, DataBlock(s));
    EXPECT_EQ(c.shape[0], QssPlex_BlockWords(data));
    EXPECT_EQ(200u, Position(s));
    STATSTG stat;
    ASSERT_EQ(S_OK, s->Stat(&stat, STATFLAG_NONAME));
    EXPECT_EQ(static_cast<uint64_t>(c.shape[2]), stat.cbSize.QuadPart);
  }
  CImplIStreamPlex* emptied = streams_[4];
  SeekTo(emptied, 0);
  Put(emptied, "ab");
  EXPECT_EQ(Shape({64, 256, 2}), ShapeOf(emptied));
}

class SharedNodeTest : public StreamTest,
                       public testing::WithParamInterface<int> {};

TEST_P(SharedNodeTest, ObjectsStayInsideTheBlockAnotherObjectShrank) {
  QssPlex_SetMoveOnRealloc(GetParam());
  CImplIStreamPlex* a = Make();
  CImplIStreamPlex* b = Open(a);
  CImplIStreamPlex* c = Open(a);
  Put(a, std::string(1000, 'a'));
  SeekTo(b, 900);
  SeekTo(c, 500);
  ASSERT_EQ(S_OK, a->SetSize(Count(10)));
  char buffer[8];
  ULONG read = 1;
  EXPECT_EQ(S_OK, c->Read(buffer, sizeof buffer, &read));
  EXPECT_EQ(0u, read);
  Put(b, "zz");
  EXPECT_EQ(Shape({256, 1024, 902}), ShapeOf(a));
  EXPECT_EQ(256, QssPlex_BlockWords(DataBlock(a)));
  EXPECT_EQ(std::string(10, 'a') + std::string(890, '\0') + "zz", Contents(a));
}

INSTANTIATE_TEST_SUITE_P(InPlaceAndMoving, SharedNodeTest,
                         testing::Values(0, 1));

TEST_F(StreamTest, DestroyedStreamIsFreedAndItsObjectsDetached) {
  CImplIStreamPlex* a = Make();
  const int id = a->block_id();
  const int data = DataBlock(a);
  CImplIStreamPlex* b = Open(a);
  IStream* clone = nullptr;
  ASSERT_EQ(S_OK, a->Clone(&clone));
  DestroyChild(root_->block_id(), id, kKindStream);
  EXPECT_FALSE(QssPlex_IsLive(id));
  EXPECT_FALSE(QssPlex_IsLive(data));
  EXPECT_EQ(0, a->block_id());
  EXPECT_EQ(E_FAIL, RunOp(a, kRead));
  EXPECT_EQ(E_FAIL, RunOp(b, kSeek));
  clone->Release();
  // Detached for good: the strict store would abort on the freed id.
  for (Op op : {kRead, kWrite, kSetSize, kSeek, kStat, kCopyTo, kClone}) {
    EXPECT_EQ(E_FAIL, RunOp(a, op));
  }
  EXPECT_EQ(S_OK, a->Commit(0) | a->Revert());
  EXPECT_EQ(E_NOTIMPL, a->LockRegion(Count(0), Count(1), 0));
  EXPECT_EQ(E_NOTIMPL, a->UnlockRegion(Count(0), Count(1), 0));
}

TEST_F(StreamTest, CopyToPassesAtMost1024BytesPerWrite) {
  struct Case {
    uint64_t from;
    uint64_t count;
    std::vector<ULONG> writes;
  };
  const Case cases[] = {
      {0, 3000, {1024, 1024, 452}},
      {0, 1024, {1024}},
      {2500, 100, {0}},
      {0, 0, {}},
      {100, ~0ull, {1024, 1024, 352}},
      {0, k4GiB, {1024, 1024, 452}},  // not "the low half: nothing"
  };
  CImplIStreamPlex* s = Make();
  std::string source;
  for (int i = 0; i < 2500; ++i) source.push_back(static_cast<char>(i * 7));
  Put(s, source);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    SeekTo(s, c.from);
    RecordingStream destination;
    ULARGE_INTEGER read, written;
    EXPECT_EQ(S_OK, s->CopyTo(&destination, Count(c.count), &read, &written));
    EXPECT_EQ(c.writes, destination.writes);
    EXPECT_EQ(destination.bytes.size(), read.QuadPart);
    EXPECT_EQ(destination.bytes.size(), written.QuadPart);
    EXPECT_EQ(source.substr(c.from, read.QuadPart), destination.bytes);
    EXPECT_EQ(c.from + read.QuadPart, Position(s));
  }
  CImplIStreamPlex* copy = Make("copy");
  SeekTo(s, 0);
  EXPECT_EQ(S_OK, s->CopyTo(copy, Count(~0ull), nullptr, nullptr));
  EXPECT_EQ(source, Contents(copy));
}

TEST_F(StreamTest, CopyToReportsADestinationThatTakesLess) {
  CImplIStreamPlex* s = Make();
  Put(s, std::string(3000, 'q'));
  for (bool fails : {false, true}) {
    SeekTo(s, 0);
    RecordingStream destination;
    (fails ? destination.failing_call : destination.short_call) = 1;
    ULARGE_INTEGER read, written;
    EXPECT_EQ(STG_E_MEDIUMFULL,
              s->CopyTo(&destination, Count(3000), &read, &written));
    EXPECT_EQ(2048u, read.QuadPart);
    EXPECT_EQ(fails ? 1024u : 1536u, written.QuadPart);
    EXPECT_EQ(2u, destination.writes.size());
  }
}

// A destination that destroys the stream it is copying, or reopens it for
// writing, stops the copy: a short count with S_OK would read as the end.
TEST_F(StreamTest, CopyToFailsWhenTheDestinationTakesItsStreamAway) {
  const struct {
    bool destroys;
    HRESULT result;
  } cases[] = {{true, E_FAIL}, {false, STG_E_ACCESSDENIED}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.destroys);
    CImplIStreamPlex* s = Make();
    Put(s, std::string(3000, 'q'));
    SeekTo(s, 0);
    RecordingStream destination;
    destination.on_first_write = [&] {
      if (c.destroys) {
        DestroyChild(root_->block_id(), s->block_id(), kKindStream);
      } else {
        s->SetOpenMode(STGM_WRITE);
      }
    };
    ULARGE_INTEGER read, written;
    EXPECT_EQ(c.result, s->CopyTo(&destination, Count(3000), &read, &written));
    EXPECT_EQ(1024u, read.QuadPart);
    EXPECT_EQ(1024u, written.QuadPart);
    EXPECT_EQ(1u, destination.writes.size());
  }
}

TEST_F(StreamTest, StatReportsNameSizeAndSharedMode) {
  OLECHAR kept[] = OLESTR("kept");
  struct Case {
    const char* name;
    int mode;
    DWORD flag;
    std::string reported_name;
    DWORD reported_mode;
  };
  const Case cases[] = {
      {"data", 0x12, STATFLAG_DEFAULT, "data", 0x12},
      {"data", STGM_WRITE, STATFLAG_NOOPEN, "data", STGM_WRITE},
      {"data", 0x10, STATFLAG_NONAME, "kept", 0x10},
      {"\xE9t\xE9", STGM_READ, 7, "\xC3\xA9t\xC3\xA9", STGM_READ},
      {nullptr, STGM_READ, STATFLAG_DEFAULT, "", STGM_READ},
      {"", kNotOpen, STATFLAG_DEFAULT, "(null)", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reported_name);
    CImplIStreamPlex* s = Make(c.name);
    Put(s, "abc");
    s->SetOpenMode(c.mode);
    STATSTG stat;
    std::memset(&stat, 0x5A, sizeof stat);
    stat.pwcsName = kept;
    ASSERT_EQ(S_OK, s->Stat(&stat, c.flag));
    EXPECT_EQ(c.reported_name, Narrow(stat.pwcsName));
    EXPECT_EQ(static_cast<DWORD>(STGTY_STREAM), stat.type);
    EXPECT_EQ(3u, stat.cbSize.QuadPart);
    EXPECT_EQ(c.reported_mode, stat.grfMode);
    EXPECT_EQ(0u, stat.grfLocksSupported);
    EXPECT_EQ(0x5A5A5A5Au,
              stat.mtime.dwLowDateTime & stat.clsid.Data1 & stat.grfStateBits);
    if (stat.pwcsName != kept) CoTaskMemFree(stat.pwcsName);
  }
}

TEST_F(StreamTest, CloneHasItsOwnPositionAndTheStreamInterfaces) {
  CImplIStreamPlex* s = Make();
  Put(s, "0123456789abc");
  SeekTo(s, 10);
  IStream* clone = nullptr;
  ASSERT_EQ(S_OK, s->Clone(&clone));
  char buffer[8];
  ULONG read = 0;
  clone->Read(buffer, sizeof buffer, &read);
  EXPECT_EQ("abc", std::string(buffer, read));
  EXPECT_EQ(10u, Position(s));
  Put(s, "ABCD");
  clone->Seek(Move(-2), STREAM_SEEK_END, nullptr);
  clone->Read(buffer, sizeof buffer, &read);
  EXPECT_EQ("CD", std::string(buffer, read));
  for (const IID* iid :
       {&IID_IUnknown, &IID_ISequentialStream, &IID_IStream, &IID_IStorage}) {
    void* out = &out;
    const bool stream = iid != &IID_IStorage;
    EXPECT_EQ(stream ? S_OK : E_NOINTERFACE, clone->QueryInterface(*iid, &out));
    EXPECT_EQ(stream ? clone : nullptr, out);
    if (stream) {
      EXPECT_EQ(1u, clone->Release());
    }
  }
  EXPECT_EQ(0u, clone->Release());
}

TEST_F(StreamTest, FailedGrowthLeavesTheStreamAsItWas) {
  for (int capacity : {256, 0}) {  // resizing, then allocating, the block
    SCOPED_TRACE(capacity);
    CImplIStreamPlex* s = Make("s", STGM_READWRITE, capacity);
    if (capacity != 0) Put(s, "0123456789");
    const Shape shape = ShapeOf(s);
    const int data = DataBlock(s);
    const std::string bytes(300, 'x');
    ULONG written = 1;
    QssPlex_FailAllocAfter(0);
    EXPECT_EQ(STG_E_MEDIUMFULL, s->Write(bytes.data(), 300, &written));
    QssPlex_FailAllocAfter(0);
    EXPECT_EQ(STG_E_MEDIUMFULL, s->SetSize(Count(1000)));
    EXPECT_EQ(0u, written);
    EXPECT_EQ(shape, ShapeOf(s));
    EXPECT_EQ(data, DataBlock(s));
    EXPECT_EQ(capacity == 0 ? 0u : 10u, Position(s));
  }
}

TEST_F(StreamTest, PositionsAtOrPast4GiBNeverWrap) {
  CImplIStreamPlex* s = Make();
  Put(s, "abc");
  for (uint64_t at : {k4GiB, k4GiB - 1, k4GiB + 1, uint64_t{kMaxStreamBytes}}) {
    SCOPED_TRACE(at);
    SeekTo(s, at);
    ULONG n = 7;
    // The last end fits the words, but no store holds 4 GiB.
    EXPECT_EQ(STG_E_MEDIUMFULL,
              s->Write("z", at == kMaxStreamBytes ? 0 : 1, &n));
    EXPECT_EQ(0u, n);
    char buffer[4];
    EXPECT_EQ(S_OK, s->Read(buffer, sizeof buffer, &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(at, Position(s));
  }
  EXPECT_EQ(Shape({64, 256, 3}), ShapeOf(s));
  EXPECT_EQ("abc", Contents(s));
}

}  // namespace
}  // namespace qss
