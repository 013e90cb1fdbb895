// The operations on a stream held.
#include <algorithm>
#include <limits>

#include "reliability/arguments.h"
#include "reliability/operations.h"

namespace qss_reliability {
namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr uint64_t kAll = ~uint64_t{0};
constexpr uint32_t kReadCounts[] = {0,   1,    5,    100,       511,
                                    512, 1024, 3000, 0xFFFFFFFF};
constexpr uint32_t kWriteLengths[] = {0,    1,    3,    4,    5,    17,
                                      255,  256,  257,  511,  512,  513,
                                      1000, 1023, 1024, 1025, 2047, 3000};
// Positions stay below 16 MiB or beyond what any store holds: the model
// knows which writes the store takes only at those two ends.
constexpr int64_t kSeekMoves[] = {
    0,           1,          5,          100,        255,
    256,         257,        1000,       1024,       3000,
    5000,        -1,         -5,         -100,       -1000,
    0xC0000000,  0xFFFFFEFF, 0xFFFFFF00, 0xFFFFFFFF, 0x100000000,
    0x100000005, 1ll << 62,  kMax,       -kMax - 1,  -(1ll << 62)};
constexpr uint32_t kSeekOrigins[] = {0, 0, 1, 1, 2, 2, 3, 0xFFFFFFFF};
constexpr uint64_t kSizes[] = {0,          1,           5,           255,
                               256,        257,         511,         512,
                               1000,       1024,        3000,        5000,
                               0x40000001, 0xC0000000,  0xFFFFFF00,  0xFFFFFF01,
                               0xFFFFFFFF, 0x100000000, 0x200000001, kAll};
constexpr uint64_t kCopyCounts[] = {
    0,    1,    100,        512,        1024,
    1025, 3000, 0xFFFFFFFF, 1ull << 32, (1ull << 32) + 10,
    kAll};

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<uint8_t>(seed * 31 + i * 7 + (i >> 8));
  }
  return bytes;
}

bool ResolveRead(RunState& s, const uint8_t* a, Call* call) {
  if (!s.PickStream(a[0], call)) return false;
  call->value = Pick(kReadCounts, a[1]);
  call->null_a = Variant(a[2], 0);  // buffer
  call->null_b = Variant(a[2], 1);  // count read
  // Room for what the model expects and a guard after it: a read past it
  // shows as a changed guard, or to AddressSanitizer.
  const ModelStream& t = *s.streams[call->stream].model;
  const uint64_t size = t.node->bytes.size();
  const uint64_t left = t.position < size ? size - t.position : 0;
  call->buffer_size =
      static_cast<size_t>(std::min<uint64_t>(call->value, left)) + 64;
  return true;
}

void ReadLibrary(RunState& s, Call& c, Outcome* out) {
  IStream* stream = s.streams[c.stream].real;
  std::vector<uint8_t> buffer(c.buffer_size, 0xCC);
  ULONG read = 0xA5A5A5A5;
  out->Result(s.Library([&] {
    return stream->Read(c.null_a ? nullptr : buffer.data(),
                        static_cast<ULONG>(c.value),
                        c.null_b ? nullptr : &read);
  }));
  if (!c.null_b) out->Fact("read " + std::to_string(read));
  out->Fact("buffer " + Digest(buffer.data(), buffer.size()));
}

void ReadModel(RunState& s, Call& c, Outcome* out) {
  std::vector<uint8_t> got;
  out->Result(s.model.Read(*s.streams[c.stream].model,
                           static_cast<uint32_t>(c.value), c.null_a, &got));
  if (!c.null_b) out->Fact("read " + std::to_string(got.size()));
  std::vector<uint8_t> buffer(c.buffer_size, 0xCC);
  std::copy(got.begin(), got.end(), buffer.begin());
  out->Fact("buffer " + Digest(buffer.data(), buffer.size()));
}

bool ResolveWrite(RunState& s, const uint8_t* a, Call* call) {
  if (!s.PickStream(a[0], call)) return false;
  call->data = Pattern(Pick(kWriteLengths, a[1]), a[2]);
  call->null_a = Variant(a[3], 0);
  call->null_b = Variant(a[3], 1);
  return true;
}

void WriteLibrary(RunState& s, Call& c, Outcome* out) {
  IStream* stream = s.streams[c.stream].real;
  ULONG written = 0xA5A5A5A5;
  out->Result(s.Library([&] {
    return stream->Write(c.null_a ? nullptr : c.data.data(),
                         static_cast<ULONG>(c.data.size()),
                         c.null_b ? nullptr : &written);
  }));
  if (!c.null_b) out->Fact("written " + std::to_string(written));
}

void WriteModel(RunState& s, Call& c, Outcome* out) {
  uint32_t written = 0;
  out->Result(
      s.model.Write(*s.streams[c.stream].model, c.data, c.null_a, &written));
  if (!c.null_b) out->Fact("written " + std::to_string(written));
}

bool ResolveSeek(RunState& s, const uint8_t* a, Call* call) {
  if (!s.PickStream(a[0], call)) return false;
  call->move = Pick(kSeekMoves, a[1]);
  call->flag = Pick(kSeekOrigins, a[2]);
  call->null_out = Variant(a[3], 0);
  return true;
}

void SeekLibrary(RunState& s, Call& c, Outcome* out) {
  IStream* stream = s.streams[c.stream].real;
  LARGE_INTEGER move;
  move.QuadPart = c.move;
  ULARGE_INTEGER position;
  position.QuadPart = 0xA5A5A5A5A5A5A5A5ull;
  out->Result(s.Library([&] {
    return stream->Seek(move, c.flag, c.null_out ? nullptr : &position);
  }));
  if (!c.null_out) out->Fact("position " + Hex(position.QuadPart));
}

void SeekModel(RunState& s, Call& c, Outcome* out) {
  uint64_t position = 0xA5A5A5A5A5A5A5A5ull;
  out->Result(
      s.model.Seek(*s.streams[c.stream].model, c.move, c.flag, &position));
  if (!c.null_out) out->Fact("position " + Hex(position));
}

bool ResolveSetSize(RunState& s, const uint8_t* a, Call* call) {
  if (!s.PickStream(a[0], call)) return false;
  call->value = Pick(kSizes, a[1]);
  return true;
}

void SetSizeLibrary(RunState& s, Call& c, Outcome* out) {
  IStream* stream = s.streams[c.stream].real;
  ULARGE_INTEGER size;
  size.QuadPart = c.value;
  out->Result(s.Library([&] { return stream->SetSize(size); }));
}

void SetSizeModel(RunState& s, Call& c, Outcome* out) {
  out->Result(s.model.SetSize(*s.streams[c.stream].model, c.value));
}

bool ResolveCopy(RunState& s, const uint8_t* a, Call* call) {
  if (!s.PickStream(a[0], call)) return false;
  if (a[1] % 11 == 0) {
    call->dest_null = true;
  } else {
    call->dest = PickSlot(s.streams.size(), a[1]);
  }
  call->value = Pick(kCopyCounts, a[2]);
  call->null_a = Variant(a[3], 0);
  call->null_b = Variant(a[3], 1);
  // Into an object over the same stream, the copy reads what it writes
  // and, unbounded, runs until the store is full: where exactly is the
  // store's business, not the model's.
  if (call->dest >= 0 &&
      s.streams[call->dest].model->node ==
          s.streams[call->stream].model->node &&
      call->value > 0xFFFF) {
    call->value = 3000;
  }
  return true;
}

void CopyLibrary(RunState& s, Call& c, Outcome* out) {
  IStream* stream = s.streams[c.stream].real;
  IStream* dest = c.dest >= 0 ? s.streams[c.dest].real : nullptr;
  ULARGE_INTEGER count;
  count.QuadPart = c.value;
  ULARGE_INTEGER read;
  ULARGE_INTEGER written;
  read.QuadPart = written.QuadPart = 0xA5A5A5A5A5A5A5A5ull;
  out->Result(s.Library([&] {
    return stream->CopyTo(dest, count, c.null_a ? nullptr : &read,
                          c.null_b ? nullptr : &written);
  }));
  if (!c.null_a) out->Fact("read " + Hex(read.QuadPart));
  if (!c.null_b) out->Fact("written " + Hex(written.QuadPart));
}

void CopyModel(RunState& s, Call& c, Outcome* out) {
  ModelStream* dest = c.dest >= 0 ? s.streams[c.dest].model.get() : nullptr;
  uint64_t read = 0;
  uint64_t written = 0;
  out->Result(s.model.CopyTo(*s.streams[c.stream].model, dest, c.value, &read,
                             &written));
  if (!c.null_a) out->Fact("read " + Hex(read));
  if (!c.null_b) out->Fact("written " + Hex(written));
}

bool ResolveClone(RunState& s, const uint8_t* a, Call* call) {
  if (!s.PickStream(a[0], call)) return false;
  call->null_out = Variant(a[1], 0);
  return true;
}

void CloneLibrary(RunState& s, Call& c, Outcome* out) {
  IStream* stream = s.streams[c.stream].real;
  IStream* made = FilledPointer<IStream>();
  IStream** where = c.null_out ? nullptr : &made;
  out->Result(s.Library([&] { return stream->Clone(where); }));
  HandOut(made, where, &out->stream, out);
}

void CloneModel(RunState& s, Call& c, Outcome* out) {
  const HRESULT hr =
      s.model.Clone(*s.streams[c.stream].model, c.null_out, &out->model_stream);
  out->ModelResult(hr, c.null_out);
}

// Commit, Revert, LockRegion and UnlockRegion, which change nothing.
bool ResolveFixed(RunState& s, const uint8_t* a, Call* call) {
  if (!s.PickStream(a[0], call)) return false;
  call->which = a[1] % 4;
  return true;
}

void FixedLibrary(RunState& s, Call& c, Outcome* out) {
  IStream* stream = s.streams[c.stream].real;
  ULARGE_INTEGER any;
  any.QuadPart = 7;
  out->Result(s.Library([&] {
    switch (c.which) {
      case 0:
        return stream->Commit(0x3);
      case 1:
        return stream->Revert();
      case 2:
        return stream->LockRegion(any, any, 1);
      default:
        return stream->UnlockRegion(any, any, 1);
    }
  }));
}

void FixedModel(RunState&, Call& c, Outcome* out) {
  out->Result(c.which >= 2 ? E_NOTIMPL : S_OK);
}

}  // namespace

extern const Operation kReadOperation = {
    OpKind::kRead, "Read",  6,           {"stream", "count", "variant"},
    false,         nullptr, ResolveRead, ReadLibrary,
    ReadModel};
extern const Operation kWriteOperation = {
    OpKind::kWrite,
    "Write",
    8,
    {"stream", "length", "pattern", "variant"},
    true,
    nullptr,
    ResolveWrite,
    WriteLibrary,
    WriteModel};
extern const Operation kSeekOperation = {
    OpKind::kSeek,
    "Seek",
    5,
    {"stream", "move", "origin", "variant"},
    false,
    nullptr,
    ResolveSeek,
    SeekLibrary,
    SeekModel};
extern const Operation kSetSizeOperation = {
    OpKind::kSetSize,   "SetSize",      3,
    {"stream", "size"}, false,          nullptr,
    ResolveSetSize,     SetSizeLibrary, SetSizeModel};
extern const Operation kStreamCopyToOperation = {
    OpKind::kStreamCopyTo,
    "StreamCopyTo",
    2,
    {"stream", "destination", "count", "variant"},
    true,
    nullptr,
    ResolveCopy,
    CopyLibrary,
    CopyModel};
extern const Operation kCloneOperation = {
    OpKind::kClone,        "Clone",      2,
    {"stream", "variant"}, false,        nullptr,
    ResolveClone,          CloneLibrary, CloneModel};
extern const Operation kFixedStreamCallsOperation = {OpKind::kFixedStreamCalls,
                                                     "FixedStreamCalls",
                                                     1,
                                                     {"stream", "call"},
                                                     false,
                                                     nullptr,
                                                     ResolveFixed,
                                                     FixedLibrary,
                                                     FixedModel};

}  // namespace qss_reliability
