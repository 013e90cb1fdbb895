// CopyTo and MoveElementTo: into a storage held, a null destination or, on
// Windows, a compound file of the platform's.
#include "reliability/arguments.h"
#include "reliability/operations.h"

namespace qss_reliability {
namespace {

constexpr uint32_t kMoveFlags[] = {0, 0, 1, 2, 0, 1, 3, 0xFFFFFFFF};

// Interface lists: none; an empty one (class id only); IStream, IStorage,
// both, another interface; a count with a null list.
void PickExcludedIids(uint8_t arg, CopyArgs* copy) {
  copy->null_iids = true;
  switch (arg % 8) {
    case 0:
      break;
    case 1:
      copy->null_iids = false;
      break;
    case 2:
      copy->iids = {ExcludedIid::kStream};
      break;
    case 3:
      copy->iids = {ExcludedIid::kStorage};
      break;
    case 4:
      copy->iids = {ExcludedIid::kStream, ExcludedIid::kStorage};
      break;
    case 5:
      copy->iids = {ExcludedIid::kOther};
      break;
    case 6:
      copy->count = 3;
      break;
    default:
      copy->iids = {ExcludedIid::kOther, ExcludedIid::kStream,
                    ExcludedIid::kStorage};
      break;
  }
  if (!copy->iids.empty()) {
    copy->count = static_cast<uint32_t>(copy->iids.size());
    copy->null_iids = false;
  }
}

// Name lists: mostly none; one or three names, a name of the table, an
// empty list.
void PickExcludedNames(uint8_t arg, CopyArgs* copy) {
  const std::vector<NameArg>& names = Names();
  switch (arg % 8) {
    case 4:
      copy->null_names = false;
      copy->names = {names[0].wide};
      break;
    case 5:
      copy->null_names = false;
      copy->names = {names[0].wide, names[1].wide, names[4].wide};
      break;
    case 6: {
      const NameArg& n = names[(arg / 8) % names.size()];
      copy->null_names = false;
      copy->names = {n.null ? names[0].wide : n.wide};
      break;
    }
    case 7:
      copy->null_names = false;
      break;
    default:
      break;
  }
}

bool ResolveCopy(RunState& s, const uint8_t* a, Call* call) {
  if (!s.PickStorage(a[0], call) || !s.PickDestStorage(a[1], call)) {
    return false;
  }
  PickExcludedIids(a[2], &call->copy);
  PickExcludedNames(a[3], &call->copy);
  return !s.SubtreeOverBudget(*s.storages[call->storage].model->node);
}

bool ResolveMove(RunState& s, const uint8_t* a, Call* call) {
  if (!s.PickStorage(a[0], call)) return false;
  call->name = s.NameIn(call->storage, a[1]);
  if (!s.PickDestStorage(a[2], call)) return false;
  call->name2 = Names()[a[3] % Names().size()];
  call->flag = Pick(kMoveFlags, a[4]);
  // A compound file takes names of 1 to 31 characters (an empty one it
  // accepts and loses).
  if (call->dest_foreign && !call->name2.null &&
      (call->name2.wide.empty() || call->name2.wide.size() > 31)) {
    call->name2 = Names()[0];
  }
  return !s.SubtreeOverBudget(*s.storages[call->storage].model->node);
}

// The destination the library's half writes into; a compound file it
// must release.
IStorage* LibraryDestination(RunState& s, const Call& c) {
  IStorage* dest = nullptr;
  if (c.dest >= 0) dest = s.storages[c.dest].real;
#if defined(_WIN32)
  if (c.dest_foreign) dest = NewCompoundFile();
#endif
  return dest;
}

void ReleaseDestination(const Call& c, IStorage* dest, Outcome* out) {
#if defined(_WIN32)
  if (c.dest_foreign && dest != nullptr) {
    out->foreign = DescribeForeign(dest);
    dest->Release();
  }
#else
  (void)c, (void)dest, (void)out;
#endif
}

void CopyLibrary(RunState& s, Call& c, Outcome* out) {
  IStorage* storage = s.storages[c.storage].real;
  IStorage* dest = LibraryDestination(s, c);
  std::vector<IID> iids;
  for (ExcludedIid iid : c.copy.iids) {
    iids.push_back(iid == ExcludedIid::kStream    ? IID_IStream
                   : iid == ExcludedIid::kStorage ? IID_IStorage
                                                  : Iid(5));
  }
  // A list a caller may pass with a count of 0 all the same.
  if (iids.empty()) iids.push_back(IID_IStream);
  std::vector<OLECHAR*> block;
  std::vector<WideString> strings = c.copy.names;
  for (WideString& string : strings) block.push_back(&string[0]);
  block.push_back(nullptr);
  out->Result(s.Library([&] {
    return storage->CopyTo(c.copy.count,
                           c.copy.null_iids ? nullptr : iids.data(),
                           c.copy.null_names ? nullptr : block.data(), dest);
  }));
  ReleaseDestination(c, dest, out);
}

void MoveLibrary(RunState& s, Call& c, Outcome* out) {
  IStorage* storage = s.storages[c.storage].real;
  IStorage* dest = LibraryDestination(s, c);
  const OLECHAR* name = c.name.null ? nullptr : c.name.wide.c_str();
  const OLECHAR* name2 = c.name2.null ? nullptr : c.name2.wide.c_str();
  out->Result(s.Library(
      [&] { return storage->MoveElementTo(name, dest, name2, c.flag); }));
  ReleaseDestination(c, dest, out);
}

ModelStorage* ModelDestination(RunState& s, const Call& c,
                               ModelStorage* scratch) {
  if (c.dest_foreign) return scratch;
  return c.dest >= 0 ? s.storages[c.dest].model.get() : nullptr;
}

void CopyModel(RunState& s, Call& c, Outcome* out) {
  ModelStorage scratch{Model::NewScratchStorage()};
  ModelStorage* dest = ModelDestination(s, c, &scratch);
  const HRESULT hr = s.model.CopyTo(*s.storages[c.storage].model, c.copy, dest,
                                    !c.dest_foreign);
  c.exact = !c.dest_foreign || hr == STG_E_REVERTED ||
            hr == STG_E_INVALIDPOINTER ||
            (c.copy.count == 0 && !c.copy.null_iids);
  out->Result(hr);
  if (c.dest_foreign) out->foreign = DescribeModel(*scratch.node);
}

void MoveModel(RunState& s, Call& c, Outcome* out) {
  ModelStorage& storage = *s.storages[c.storage].model;
  ModelStorage scratch{Model::NewScratchStorage()};
  ModelStorage* dest = ModelDestination(s, c, &scratch);
  if (!c.dest_foreign) {
    out->Result(
        s.model.MoveElementTo(storage, c.name, dest, true, c.name2, c.flag));
    return;
  }
  // The source goes only once the foreign destination has taken the copy;
  // the agreement removes it then.
  NodePtr child;
  HRESULT hr = s.model.MoveElementChecks(storage, c.name, dest, false, c.name2,
                                         c.flag, &child);
  c.exact = hr != S_OK;
  if (hr == S_OK) {
    hr = s.model.MoveElementTo(storage, c.name, dest, false, c.name2,
                               STGMOVE_COPY);
  }
  out->Result(hr);
  out->foreign = DescribeModel(*scratch.node, &c.name2.wide);
}

bool AgreeInto(RunState& s, Call& c, const Outcome& library,
               const Outcome& model_side) {
  if (!c.dest_foreign) return library.facts == model_side.facts;
  if (c.exact) {
    return library.facts == model_side.facts &&
           library.foreign == model_side.foreign;
  }
  // A foreign destination may refuse what ours would take (names too long,
  // or equal but for case); what it took must be the copy.
  const bool copied = library.code == S_OK;
  if (copied && c.kind == OpKind::kMoveElementTo && c.flag == STGMOVE_MOVE) {
    s.model.DestroyElement(*s.storages[c.storage].model, c.name);
  }
  return copied
             ? model_side.code == S_OK && library.foreign == model_side.foreign
             : FAILED(library.code);
}

// What reached the destination stays there.
void FailedInto(RunState& s, const Call& c, FailureScope* scope) {
  if (c.dest >= 0) scope->ignore = s.storages[c.dest].model->node.get();
}

}  // namespace

extern const Operation kCopyToOperation = {
    OpKind::kCopyTo,
    "CopyTo",
    3,
    {"storage", "destination", "interfaces", "names"},
    true,
    nullptr,
    ResolveCopy,
    CopyLibrary,
    CopyModel,
    AgreeInto,
    nullptr,
    FailedInto};
extern const Operation kMoveElementToOperation = {
    OpKind::kMoveElementTo,
    "MoveElementTo",
    3,
    {"storage", "name", "destination", "new name", "flags"},
    true,
    nullptr,
    ResolveMove,
    MoveLibrary,
    MoveModel,
    AgreeInto,
    nullptr,
    FailedInto};

}  // namespace qss_reliability
