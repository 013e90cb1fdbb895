// The library's exported functions: the root storage, the storages of the
// host's blocks, and the two calls over the whole tree.
#include "qsstorage/qsstorage.h"
#include "reliability/arguments.h"
#include "reliability/operations.h"
#include "standins/hierarchy_controls.h"

namespace qss_reliability {
namespace {

constexpr int kSelectors[] = {-1, -1, 0, 1, 1, 2, -2};

void GetRootLibrary(RunState& s, Call&, Outcome* out) {
  IStorage* root = s.Library([] { return GetRootIStorage(); });
  out->Fact(root != nullptr ? "object" : "no object");
  out->failed = root == nullptr;
  out->code = root == nullptr ? E_OUTOFMEMORY : S_OK;
  out->storage = root;
}

void GetRootModel(RunState& s, Call&, Outcome* out) {
  out->model_storage = s.model.GetRoot();
  out->Fact("object");
}

// A block of the hierarchy, a selector; names old and new for a rename,
// the old one mostly the block's own.
bool ResolveObject(RunState& s, const uint8_t* a, Call* call) {
  call->block = 1 + a[0] % static_cast<int>(s.hierarchy.size() - 1);
  call->selector = Pick(kSelectors, a[1]);
  call->null_out = Variant(a[2], 0);
  const auto& blocks = BlockNames();
  call->old_null = a[2] % 8 == 0;
  call->old_name = a[2] % 8 == 1 ? s.hierarchy[call->block].name
                                 : blocks[a[2] % blocks.size()];
  call->new_null = a[3] % 16 == 0;
  call->new_name = blocks[a[3] % blocks.size()];
  call->rename_block = a[4] % 4 == 0;
  return true;
}

void GetLibrary(RunState& s, Call& c, Outcome* out) {
  IStorage* made = FilledPointer<IStorage>();
  IStorage** where = c.null_out ? nullptr : &made;
  const int result =
      s.Library([&] { return GetObjectStorage(c.block, c.selector, where); });
  out->code = result;
  out->Fact("result " + std::to_string(result));
  HandOut(made, where, &out->storage, out);
  out->failed = out->storage == nullptr;
}

void GetModel(RunState& s, Call& c, Outcome* out) {
  out->code = s.model.GetObjectStorage(s.hierarchy, c.block, c.selector,
                                       c.null_out, &out->model_storage);
  out->Fact("result " + std::to_string(out->code));
  if (!c.null_out) {
    out->Fact(std::string("out ") +
              (out->model_storage != nullptr ? "object" : "null"));
  }
}

void ExportResult(int result, Outcome* out) {
  out->code = result;
  out->failed = result != 0;
  out->Fact("result " + std::to_string(result));
}

void DelLibrary(RunState& s, Call& c, Outcome* out) {
  ExportResult(s.Library([&] { return DelObjectStorage(c.block, c.selector); }),
               out);
}

void DelModel(RunState& s, Call& c, Outcome* out) {
  out->code = s.model.DelObjectStorage(s.hierarchy, c.block, c.selector);
  out->Fact("result " + std::to_string(out->code));
}

void RenLibrary(RunState& s, Call& c, Outcome* out) {
  ExportResult(s.Library([&] {
    return RenObjectStorage(c.block, c.selector,
                            c.old_null ? nullptr : c.old_name.c_str(),
                            c.new_null ? nullptr : c.new_name.c_str());
  }),
               out);
}

void RenModel(RunState& s, Call& c, Outcome* out) {
  out->code = s.model.RenObjectStorage(s.hierarchy, c.block, c.selector,
                                       c.old_null ? nullptr : &c.old_name,
                                       c.new_null ? nullptr : &c.new_name);
  out->Fact("result " + std::to_string(out->code));
}

// The host renames its block as well.
void RenAgreed(RunState& s, const Call& c, const Outcome& library) {
  if (library.code != 0 || !c.rename_block || c.new_null) return;
  QssHier_Rename(c.block, c.new_name.c_str());
  s.hierarchy[c.block].name = c.new_name;
}

// Storages made on the way to the failure stay: the checker alone.
void ObjectFailed(RunState&, const Call&, FailureScope* scope) {
  scope->compare_tree = false;
}

// QSStrg_ClearRootStorage or QSStrg_RestoreRefCounts, on Windows also
// through the upper-case alias the DLL exports for each.
int Maintenance(bool clear, bool alias) {
#if defined(_WIN32)
  HMODULE module = GetModuleHandleA("qsstorage.dll");
  if (alias && module != nullptr) {
    using Export = int(__cdecl*)(void);
    auto call = reinterpret_cast<Export>(reinterpret_cast<void*>(
        GetProcAddress(module, clear ? "_QSSTRG_CLEARROOTSTORAGE_F@0"
                                     : "_QSSTRG_RESTOREREFCOUNTS_F@0")));
    if (call != nullptr) return call();
  }
#else
  (void)alias;
#endif
  return clear ? QSStrg_ClearRootStorage() : QSStrg_RestoreRefCounts();
}

bool ResolveMaintenance(RunState&, const uint8_t* a, Call* call) {
  call->alias = a[0] % 2 == 1;
  return true;
}

void MaintenanceLibrary(RunState& s, Call& c, Outcome* out) {
  out->code = s.Library(
      [&] { return Maintenance(c.kind == OpKind::kClearRoot, c.alias); });
  out->Fact("result " + std::to_string(out->code));
}

void RestoreModel(RunState& s, Call&, Outcome* out) {
  s.model.RestoreRefCounts();
  out->Fact("result 1");
}

void ClearModel(RunState& s, Call&, Outcome* out) {
  s.model.ClearRoot();
  out->Fact("result 1");
}

// The calls over the whole tree report nothing a caller could act on.
bool Always(const Outcome&) { return true; }

}  // namespace

extern const Operation kGetRootOperation = {
    OpKind::kGetRoot, "GetRoot",      3,           {}, false, nullptr,
    nullptr,          GetRootLibrary, GetRootModel};
extern const Operation kGetObjectStorageOperation = {
    OpKind::kGetObjectStorage,
    "GetObjectStorage",
    3,
    {"block", "selector", "variant"},
    true,
    nullptr,
    ResolveObject,
    GetLibrary,
    GetModel,
    nullptr,
    nullptr,
    ObjectFailed};
extern const Operation kDelObjectStorageOperation = {OpKind::kDelObjectStorage,
                                                     "DelObjectStorage",
                                                     2,
                                                     {"block", "selector"},
                                                     true,
                                                     nullptr,
                                                     ResolveObject,
                                                     DelLibrary,
                                                     DelModel,
                                                     nullptr,
                                                     nullptr,
                                                     ObjectFailed};
extern const Operation kRenObjectStorageOperation = {
    OpKind::kRenObjectStorage,
    "RenObjectStorage",
    2,
    {"block", "selector", "old name", "new name", "variant"},
    true,
    nullptr,
    ResolveObject,
    RenLibrary,
    RenModel,
    nullptr,
    RenAgreed,
    ObjectFailed};
extern const Operation kRestoreRefCountsOperation = {OpKind::kRestoreRefCounts,
                                                     "RestoreRefCounts",
                                                     1,
                                                     {"variant"},
                                                     false,
                                                     nullptr,
                                                     ResolveMaintenance,
                                                     MaintenanceLibrary,
                                                     RestoreModel,
                                                     nullptr,
                                                     nullptr,
                                                     nullptr,
                                                     Always};
extern const Operation kClearRootOperation = {OpKind::kClearRoot,
                                              "ClearRoot",
                                              1,
                                              {"variant"},
                                              false,
                                              nullptr,
                                              ResolveMaintenance,
                                              MaintenanceLibrary,
                                              ClearModel,
                                              nullptr,
                                              nullptr,
                                              nullptr,
                                              Always};

}  // namespace qss_reliability
