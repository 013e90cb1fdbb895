// Stat on a storage or a stream held: the record, with the fields the call
// leaves alone as the caller had them.
#include "reliability/arguments.h"
#include "reliability/operations.h"

namespace qss_reliability {
namespace {

constexpr uint32_t kStatFlags[] = {0, 1, 2, 0x7FFFFFFF};

bool OfStorage(const Call& c) { return c.kind == OpKind::kStatStorage; }

bool ResolveStat(RunState& s, const uint8_t* a, Call* call) {
  const bool held =
      OfStorage(*call) ? s.PickStorage(a[0], call) : s.PickStream(a[0], call);
  if (!held) return false;
  call->flag = Pick(kStatFlags, a[1]);
  call->null_out = Variant(a[2], 0);
  return true;
}

void StatLibrary(RunState& s, Call& c, Outcome* out) {
  STATSTG record = FilledRecord();
  STATSTG* where = c.null_out ? nullptr : &record;
  out->Result(s.Library([&] {
    return OfStorage(c) ? s.storages[c.storage].real->Stat(where, c.flag)
                        : s.streams[c.stream].real->Stat(where, c.flag);
  }));
  if (where != nullptr) {
    out->Fact("record " + RecordText(record));
    FreeName(&record);
  }
}

void StatModel(RunState& s, Call& c, Outcome* out) {
  STATSTG record = FilledRecord();
  out->Result(OfStorage(c) ? s.model.Stat(*s.storages[c.storage].model,
                                          c.null_out, c.flag, &record)
                           : s.model.Stat(*s.streams[c.stream].model,
                                          c.null_out, c.flag, &record));
  if (!c.null_out) out->Fact("record " + RecordText(record));
}

}  // namespace

extern const Operation kStatStorageOperation = {OpKind::kStatStorage,
                                                "StatStorage",
                                                2,
                                                {"storage", "flag", "variant"},
                                                false,
                                                nullptr,
                                                ResolveStat,
                                                StatLibrary,
                                                StatModel};
extern const Operation kStatStreamOperation = {OpKind::kStatStream,
                                               "StatStream",
                                               2,
                                               {"stream", "flag", "variant"},
                                               false,
                                               nullptr,
                                               ResolveStat,
                                               StatLibrary,
                                               StatModel};

}  // namespace qss_reliability
