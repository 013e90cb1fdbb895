// The operations on an enumerator held.
#include "reliability/arguments.h"
#include "reliability/operations.h"

namespace qss_reliability {
namespace {

constexpr uint32_t kNextCounts[] = {0, 1, 1, 2, 3, 5, 100};
constexpr uint32_t kSkipCounts[] = {0, 1, 2, 3, 100};

// An enumerator and a count; rarely a null array or count (Next) or out
// pointer (Clone).
bool ResolveEnum(RunState& s, const uint8_t* a, Call* call) {
  call->enumerator = PickSlot(s.enums.size(), a[0]);
  if (call->enumerator < 0) return false;
  const bool next = call->kind == OpKind::kNext;
  call->value = call->kind == OpKind::kSkip ? Pick(kSkipCounts, a[1])
                                            : Pick(kNextCounts, a[1]);
  call->null_a = Variant(a[next ? 2 : 1], 0);
  call->null_b = Variant(a[2], 1);
  return true;
}

void NextLibrary(RunState& s, Call& c, Outcome* out) {
  IEnumSTATSTG* enumerator = s.enums[c.enumerator].real;
  const auto count = static_cast<uint32_t>(c.value);
  std::vector<STATSTG> records(count + 1, FilledRecord());
  ULONG fetched = 0xA5A5A5A5;
  out->Result(s.Library([&] {
    return enumerator->Next(count, c.null_a ? nullptr : records.data(),
                            c.null_b ? nullptr : &fetched);
  }));
  if (!c.null_b) out->Fact("fetched " + std::to_string(fetched));
  if (!c.null_a) {
    for (STATSTG& record : records) {
      out->Fact(RecordText(record));
      FreeName(&record);
    }
  }
}

void NextModel(RunState& s, Call& c, Outcome* out) {
  const auto count = static_cast<uint32_t>(c.value);
  std::vector<STATSTG> records(count + 1, FilledRecord());
  uint32_t fetched = 0;
  out->Result(s.model.Next(*s.enums[c.enumerator].model, count, c.null_a,
                           &records, &fetched));
  if (!c.null_b) out->Fact("fetched " + std::to_string(fetched));
  if (!c.null_a) {
    for (const STATSTG& record : records) out->Fact(RecordText(record));
  }
}

void SkipLibrary(RunState& s, Call& c, Outcome* out) {
  IEnumSTATSTG* enumerator = s.enums[c.enumerator].real;
  out->Result(
      s.Library([&] { return enumerator->Skip(static_cast<ULONG>(c.value)); }));
}

void SkipModel(RunState& s, Call& c, Outcome* out) {
  out->Result(s.model.Skip(*s.enums[c.enumerator].model,
                           static_cast<uint32_t>(c.value)));
}

void ResetLibrary(RunState& s, Call& c, Outcome* out) {
  IEnumSTATSTG* enumerator = s.enums[c.enumerator].real;
  out->Result(s.Library([&] { return enumerator->Reset(); }));
}

void ResetModel(RunState& s, Call& c, Outcome* out) {
  out->Result(s.model.Reset(*s.enums[c.enumerator].model));
}

void CloneLibrary(RunState& s, Call& c, Outcome* out) {
  IEnumSTATSTG* enumerator = s.enums[c.enumerator].real;
  IEnumSTATSTG* made = FilledPointer<IEnumSTATSTG>();
  IEnumSTATSTG** where = c.null_a ? nullptr : &made;
  out->Result(s.Library([&] { return enumerator->Clone(where); }));
  HandOut(made, where, &out->enumerator, out);
}

void CloneModel(RunState& s, Call& c, Outcome* out) {
  const HRESULT hr =
      s.model.Clone(*s.enums[c.enumerator].model, c.null_a, &out->model_enum);
  out->ModelResult(hr, c.null_a);
}

}  // namespace

extern const Operation kNextOperation = {
    OpKind::kNext, "Next",  5,           {"enumerator", "count", "variant"},
    false,         nullptr, ResolveEnum, NextLibrary,
    NextModel};
extern const Operation kSkipOperation = {
    OpKind::kSkip, "Skip",  2,           {"enumerator", "count"},
    false,         nullptr, ResolveEnum, SkipLibrary,
    SkipModel};
extern const Operation kResetOperation = {
    OpKind::kReset, "Reset",      1,         {"enumerator"}, false, nullptr,
    ResolveEnum,    ResetLibrary, ResetModel};
extern const Operation kEnumCloneOperation = {OpKind::kEnumClone,
                                              "EnumClone",
                                              1,
                                              {"enumerator", "variant"},
                                              false,
                                              nullptr,
                                              ResolveEnum,
                                              CloneLibrary,
                                              CloneModel};

}  // namespace qss_reliability
