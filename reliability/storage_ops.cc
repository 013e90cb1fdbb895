// The operations on a storage held, but for CopyTo and MoveElementTo.
#include <cstring>

#include "reliability/arguments.h"
#include "reliability/operations.h"

namespace qss_reliability {
namespace {

constexpr uint32_t kModes[] = {
    0x12, 0x12, 0x10, 0x11,    0x13,    0x32,      0x1012,   0x1010,
    0x02, 0x00, 0x40, 0x10012, 0x20012, 0x4000012, 0x100012, 0xFFFFFFFF};

Clsid ClsidChoice(uint8_t arg) {
  switch (arg % 4) {
    case 0:
      return Clsid{};
    case 1:
      return RootClsid();
    case 2:
      return {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    default: {
      Clsid all;
      all.fill(0xFF);
      return all;
    }
  }
}

const OLECHAR* NameOf(const NameArg& name) {
  return name.null ? nullptr : name.wide.c_str();
}

// CreateStream, OpenStream, CreateStorage and OpenStorage: a storage, a
// name, a mode; rarely a null out pointer, OpenStream's reserved pointer
// set, OpenStorage's priority storage or exclusion list.
bool ResolveOpen(RunState& s, const uint8_t* a, Call* call) {
  if (!s.PickStorage(a[0], call)) return false;
  call->name = s.NameIn(call->storage, a[1]);
  call->mode = Pick(kModes, a[2]);
  call->null_out = Variant(a[3], 0);
  call->null_a = Variant(a[3], 1);  // OpenStream's reserved pointer
  call->priority = call->kind == OpKind::kOpenStorage && Variant(a[3], 2);
  call->exclude = call->kind == OpKind::kOpenStorage && Variant(a[3], 3);
  return true;
}

void StreamLibrary(RunState& s, Call& c, Outcome* out) {
  IStorage* storage = s.storages[c.storage].real;
  IStream* made = FilledPointer<IStream>();
  IStream** where = c.null_out ? nullptr : &made;
  void* reserved = c.null_a ? &made : nullptr;
  out->Result(s.Library([&] {
    return c.kind == OpKind::kCreateStream
               ? storage->CreateStream(NameOf(c.name), c.mode, 0, 0, where)
               : storage->OpenStream(NameOf(c.name), reserved, c.mode, 0,
                                     where);
  }));
  HandOut(made, where, &out->stream, out);
}

void StreamModel(RunState& s, Call& c, Outcome* out) {
  ModelStorage& storage = *s.storages[c.storage].model;
  const HRESULT hr = c.kind == OpKind::kCreateStream
                         ? s.model.CreateStream(storage, c.name, c.mode,
                                                c.null_out, &out->model_stream)
                         : s.model.OpenStream(storage, c.name, c.mode,
                                              c.null_out, &out->model_stream);
  out->ModelResult(hr, c.null_out);
}

void StorageLibrary(RunState& s, Call& c, Outcome* out) {
  IStorage* storage = s.storages[c.storage].real;
  IStorage* made = FilledPointer<IStorage>();
  IStorage** where = c.null_out ? nullptr : &made;
  OLECHAR exclusion[] = {'x', 0};
  OLECHAR* exclusions[] = {exclusion, nullptr};
  out->Result(s.Library([&] {
    return c.kind == OpKind::kCreateStorage
               ? storage->CreateStorage(NameOf(c.name), c.mode, 0, 0, where)
               : storage->OpenStorage(
                     NameOf(c.name), c.priority ? storage : nullptr, c.mode,
                     c.exclude ? exclusions : nullptr, 0, where);
  }));
  HandOut(made, where, &out->storage, out);
}

void StorageModel(RunState& s, Call& c, Outcome* out) {
  ModelStorage& storage = *s.storages[c.storage].model;
  const HRESULT hr =
      c.kind == OpKind::kCreateStorage
          ? s.model.CreateStorage(storage, c.name, c.mode, c.null_out,
                                  &out->model_storage)
          : s.model.OpenStorage(storage, c.name, c.priority, c.exclude, c.mode,
                                c.null_out, &out->model_storage);
  out->ModelResult(hr, c.null_out);
}

// The storage that STGM_CREATE replaces goes first, made or not.
void CreateStorageFailed(RunState& s, const Call& c, FailureScope*) {
  ModelStorage& parent = *s.storages[c.storage].model;
  bool replaced = false;
  if ((c.mode & STGM_CREATE) != 0 && !c.name.null && !c.name.too_long()) {
    for (const EntryPtr& entry : parent.node->entries) {
      replaced = replaced ||
                 (entry->child->storage && entry->child->name == c.name.ansi);
    }
  }
  if (replaced) s.model.DestroyElement(parent, c.name);
}

bool ResolveDestroy(RunState& s, const uint8_t* a, Call* call) {
  if (!s.PickStorage(a[0], call)) return false;
  call->name = s.NameIn(call->storage, a[1]);
  return true;
}

void DestroyLibrary(RunState& s, Call& c, Outcome* out) {
  IStorage* storage = s.storages[c.storage].real;
  out->Result(
      s.Library([&] { return storage->DestroyElement(NameOf(c.name)); }));
}

void DestroyModel(RunState& s, Call& c, Outcome* out) {
  out->Result(s.model.DestroyElement(*s.storages[c.storage].model, c.name));
}

bool ResolveRename(RunState& s, const uint8_t* a, Call* call) {
  if (!s.PickStorage(a[0], call)) return false;
  call->name = s.NameIn(call->storage, a[1]);
  call->name2 = Names()[a[2] % Names().size()];
  return true;
}

void RenameLibrary(RunState& s, Call& c, Outcome* out) {
  IStorage* storage = s.storages[c.storage].real;
  out->Result(s.Library(
      [&] { return storage->RenameElement(NameOf(c.name), NameOf(c.name2)); }));
}

void RenameModel(RunState& s, Call& c, Outcome* out) {
  out->Result(
      s.model.RenameElement(*s.storages[c.storage].model, c.name, c.name2));
}

bool ResolveSetClass(RunState& s, const uint8_t* a, Call* call) {
  if (!s.PickStorage(a[0], call)) return false;
  call->clsid = ClsidChoice(a[1]);
  call->null_out = Variant(a[2], 0);
  return true;
}

void SetClassLibrary(RunState& s, Call& c, Outcome* out) {
  IStorage* storage = s.storages[c.storage].real;
  CLSID clsid;
  std::memcpy(&clsid, c.clsid.data(), sizeof clsid);
  if (!c.null_out) {
    out->Result(s.Library([&] { return storage->SetClass(clsid); }));
    return;
  }
  // A C caller's null REFCLSID, through the table as C calls it.
  using SetClassSlot = HRESULT(STDMETHODCALLTYPE*)(IStorage*, const CLSID*);
  constexpr int kSetClassSlot = 15;
  SetClassSlot set_class =
      (*reinterpret_cast<SetClassSlot* const*>(storage))[kSetClassSlot];
  out->Result(s.Library([&] { return set_class(storage, nullptr); }));
}

void SetClassModel(RunState& s, Call& c, Outcome* out) {
  out->Result(
      s.model.SetClass(*s.storages[c.storage].model, c.null_out, c.clsid));
}

// Commit, Revert, SetStateBits and SetElementTimes, which change nothing.
bool ResolveFixed(RunState& s, const uint8_t* a, Call* call) {
  if (!s.PickStorage(a[0], call)) return false;
  call->which = a[1] % 4;
  return true;
}

void FixedLibrary(RunState& s, Call& c, Outcome* out) {
  IStorage* storage = s.storages[c.storage].real;
  FILETIME time = {1, 2};
  out->Result(s.Library([&] {
    switch (c.which) {
      case 0:
        return storage->Commit(0x7);
      case 1:
        return storage->Revert();
      case 2:
        return storage->SetStateBits(0xFF, 0xFF);
      default:
        return storage->SetElementTimes(NameOf(c.name), &time, &time, &time);
    }
  }));
}

void FixedModel(RunState&, Call& c, Outcome* out) {
  out->Result(c.which == 3 ? E_NOTIMPL : S_OK);
}

bool ResolveEnum(RunState& s, const uint8_t* a, Call* call) {
  if (!s.PickStorage(a[0], call)) return false;
  call->null_out = Variant(a[1], 0);
  return true;
}

void EnumLibrary(RunState& s, Call& c, Outcome* out) {
  IStorage* storage = s.storages[c.storage].real;
  IEnumSTATSTG* made = FilledPointer<IEnumSTATSTG>();
  IEnumSTATSTG** where = c.null_out ? nullptr : &made;
  out->Result(
      s.Library([&] { return storage->EnumElements(0, nullptr, 0, where); }));
  HandOut(made, where, &out->enumerator, out);
}

void EnumModel(RunState& s, Call& c, Outcome* out) {
  const HRESULT hr = s.model.EnumElements(*s.storages[c.storage].model,
                                          c.null_out, &out->model_enum);
  out->ModelResult(hr, c.null_out);
}

}  // namespace

extern const Operation kCreateStreamOperation = {
    OpKind::kCreateStream,
    "CreateStream",
    8,
    {"storage", "name", "mode", "variant"},
    true,
    nullptr,
    ResolveOpen,
    StreamLibrary,
    StreamModel};
extern const Operation kOpenStreamOperation = {
    OpKind::kOpenStream,
    "OpenStream",
    6,
    {"storage", "name", "mode", "variant"},
    false,
    nullptr,
    ResolveOpen,
    StreamLibrary,
    StreamModel};
extern const Operation kCreateStorageOperation = {
    OpKind::kCreateStorage,
    "CreateStorage",
    6,
    {"storage", "name", "mode", "variant"},
    true,
    nullptr,
    ResolveOpen,
    StorageLibrary,
    StorageModel,
    nullptr,
    nullptr,
    CreateStorageFailed};
extern const Operation kOpenStorageOperation = {
    OpKind::kOpenStorage,
    "OpenStorage",
    5,
    {"storage", "name", "mode", "variant"},
    false,
    nullptr,
    ResolveOpen,
    StorageLibrary,
    StorageModel};
extern const Operation kDestroyElementOperation = {OpKind::kDestroyElement,
                                                   "DestroyElement",
                                                   4,
                                                   {"storage", "name"},
                                                   false,
                                                   nullptr,
                                                   ResolveDestroy,
                                                   DestroyLibrary,
                                                   DestroyModel};
extern const Operation kRenameElementOperation = {
    OpKind::kRenameElement,
    "RenameElement",
    4,
    {"storage", "name", "new name"},
    false,
    nullptr,
    ResolveRename,
    RenameLibrary,
    RenameModel};
extern const Operation kSetClassOperation = {OpKind::kSetClass,
                                             "SetClass",
                                             2,
                                             {"storage", "clsid", "variant"},
                                             false,
                                             nullptr,
                                             ResolveSetClass,
                                             SetClassLibrary,
                                             SetClassModel};
extern const Operation kFixedStorageCallsOperation = {
    OpKind::kFixedStorageCalls,
    "FixedStorageCalls",
    1,
    {"storage", "call"},
    false,
    nullptr,
    ResolveFixed,
    FixedLibrary,
    FixedModel};
extern const Operation kEnumElementsOperation = {OpKind::kEnumElements,
                                                 "EnumElements",
                                                 3,
                                                 {"storage", "variant"},
                                                 false,
                                                 nullptr,
                                                 ResolveEnum,
                                                 EnumLibrary,
                                                 EnumModel};

}  // namespace qss_reliability
