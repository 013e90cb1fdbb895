// The operations on any object held (its interfaces and references), and
// saving and loading the whole plex.
#include "reliability/arguments.h"
#include "reliability/operations.h"
#include "standins/plex_controls.h"

namespace qss_reliability {
namespace {

bool ResolveQuery(RunState& s, const uint8_t* a, Call* call) {
  call->object_class = a[0] % 3;
  call->object = PickSlot(s.Held(call->object_class), a[1]);
  if (call->object < 0) return false;
  call->iid = a[2];
  call->null_out = Variant(a[3], 0);
  return true;
}

void QueryLibrary(RunState& s, Call& c, Outcome* out) {
  IUnknown* object = s.Object(c.object_class, c.object);
  void* got = FilledPointer<void>();
  out->Result(s.Library([&] {
    return object->QueryInterface(Iid(c.iid), c.null_out ? nullptr : &got);
  }));
  if (!c.null_out) {
    out->Fact(got == static_cast<void*>(object) ? "out same"
                                                : "out " + OutText(got));
  }
}

void QueryModel(RunState&, Call& c, Outcome* out) {
  // IUnknown and the object's own interface; a stream's ISequentialStream.
  static const int kOffered[3][2] = {{0, 1}, {0, 2}, {0, 4}};
  const int iid = c.iid % 6;
  const bool offered = iid == kOffered[c.object_class][0] ||
                       iid == kOffered[c.object_class][1] ||
                       (c.object_class == kStreamClass && iid == 3);
  if (c.null_out) {
    out->Result(E_POINTER);
    return;
  }
  out->Result(offered ? S_OK : E_NOINTERFACE);
  out->Fact(offered ? "out same" : "out null");
}

// The interface handed out is one more reference to the same object.
void QueryAgreed(RunState& s, const Call& c, const Outcome& library) {
  if (library.code == S_OK) ++s.Refs(c.object_class, c.object);
}

bool ChangeReference(RunState& s, const Op& op) {
  const int cls = op.arg[0] % 3;
  const int at = PickSlot(s.Held(cls), op.arg[1]);
  if (at < 0) return true;
  s.Begin(op);
  IUnknown* real = s.Object(cls, at);
  uint32_t& refs = s.Refs(cls, at);
  const bool add = op.kind == OpKind::kAddRef;
  const ULONG got = add ? real->AddRef() : real->Release();
  const uint32_t expected = add ? ++refs : --refs;
  if (got == 0 || expected == 0) {
    s.Forget(cls, at);
    if (got != 0) ReleaseFully(real);
  }
  if (got != expected) {
    return s.Fail(op, "the count is " + std::to_string(got) +
                          ", the model counts " + std::to_string(expected));
  }
  return s.CheckState(op, true, nullptr, false);
}

bool ReleaseEveryObject(RunState& s, const Op& op) {
  s.Begin(op);
  return s.ReleaseAll(op) && s.CheckState(op, true, nullptr, false);
}

bool Save(RunState& s, const Op& op) {
  s.Begin(op);
  // Objects may be held: none of them keeps anything in the plex.
  if (QssPlex_Save(s.image_path.c_str()) != 0) {
    return s.Fail(op, "the plex could not be saved to " + s.image_path);
  }
  s.image_tree = s.model.CopyTree();
  s.have_image = true;
  return s.CheckState(op, true, nullptr, false);
}

bool Load(RunState& s, const Op& op) {
  if (!s.have_image) return true;
  s.Begin(op);
  // As the host does, no object survives a reload.
  if (!s.ReleaseAll(op)) return false;
  if (QssPlex_Load(s.image_path.c_str()) != 0) {
    return s.Fail(op, "the saved plex could not be loaded");
  }
  s.model.ReplaceTree(s.image_tree);
  return s.CheckState(op, true, nullptr, false);
}

}  // namespace

extern const Operation kQueryInterfaceOperation = {
    OpKind::kQueryInterface,
    "QueryInterface",
    2,
    {"class", "object", "interface", "variant"},
    false,
    nullptr,
    ResolveQuery,
    QueryLibrary,
    QueryModel,
    nullptr,
    QueryAgreed};
extern const Operation kAddRefOperation = {
    OpKind::kAddRef, "AddRef", 1, {"class", "object"}, false, ChangeReference};
extern const Operation kReleaseOperation = {
    OpKind::kRelease,    "Release", 6,
    {"class", "object"}, false,     ChangeReference};
extern const Operation kReleaseAllOperation = {
    OpKind::kReleaseAll, "ReleaseAll", 1, {}, false, ReleaseEveryObject};
extern const Operation kSaveOperation = {OpKind::kSave, "Save", 1, {},
                                         false,         Save};
extern const Operation kLoadOperation = {OpKind::kLoad, "Load", 1, {},
                                         false,         Load};

}  // namespace qss_reliability
