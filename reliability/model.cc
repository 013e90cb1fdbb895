#include "reliability/model.h"

#include <algorithm>
#include <cstring>

namespace qss_reliability {
namespace {

// Code page 1252 between 0x80 and 0x9F; the five bytes it leaves undefined
// stand for the C1 control of the same value.
constexpr char16_t kHighCharacters[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

constexpr uint32_t kShareExclusive = 0x10;
constexpr uint32_t kCreate = 0x1000;
constexpr uint32_t kRefusedByCreate = 0x4030000;
constexpr uint32_t kRefusedByOpen = kRefusedByCreate | kCreate;
constexpr uint32_t kCopyMode = 0x12;
constexpr uint32_t kMoveMode = 0x11;
constexpr int kMoveSourceMode = 0x10;
constexpr int kRootMode = 0x42;
constexpr int kObjectStorageMode = 0x12;
constexpr uint64_t kMaxStreamBytes = 0xFFFFFF00u;
constexpr uint32_t kTransferBytes = 1024;
constexpr size_t kBlockNameBytes = 255;
constexpr char kSecondSuffix[] = "_UOSB";

bool Writable(int mode) { return mode != -1 && (mode & 3) != 0; }
bool Readable(int mode) { return mode != -1 && (mode & 1) == 0; }
int Reported(int mode) { return mode == -1 ? 0 : mode; }
bool FlagsAllowed(uint32_t mode, uint32_t refused) {
  return (mode & kShareExclusive) != 0 && (mode & refused) == 0;
}

bool Listed(const WideString& name, const std::vector<WideString>* names) {
  return names != nullptr &&
         std::find(names->begin(), names->end(), name) != names->end();
}

// Whether an element below `top`, at any depth, passes `test`.
template <class Test>
bool AnyBelow(const ModelNode& top, Test test) {
  std::vector<const ModelNode*> pending = {&top};
  while (!pending.empty()) {
    const ModelNode* node = pending.back();
    pending.pop_back();
    for (const EntryPtr& entry : node->entries) {
      if (test(*entry->child)) return true;
      if (entry->child->storage) pending.push_back(entry->child.get());
    }
  }
  return false;
}

bool InSubtree(const ModelNode& top, const ModelNode* target) {
  return AnyBelow(top, [=](const ModelNode& node) { return &node == target; });
}

NodePtr DeepCopy(const ModelNode& node) {
  auto copy = std::make_shared<ModelNode>(node);
  copy->entries.clear();
  for (const EntryPtr& entry : node.entries) {
    auto linked = std::make_shared<ModelEntry>();
    linked->child = DeepCopy(*entry->child);
    linked->owner = copy.get();
    copy->entries.push_back(linked);
  }
  return copy;
}

}  // namespace

std::string ToAnsi(const WideString& wide) {
  std::string out;
  for (OLECHAR unit : wide) {
    const char16_t c = static_cast<char16_t>(unit);
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    const char16_t* found =
        std::find(std::begin(kHighCharacters), std::end(kHighCharacters), c);
    out.push_back(found == std::end(kHighCharacters)
                      ? '?'
                      : static_cast<char>(0x80 + (found - kHighCharacters)));
  }
  return out;
}

WideString FromAnsi(const std::string& ansi) {
  WideString out;
  for (char byte : ansi) {
    const auto b = static_cast<unsigned char>(byte);
    out.push_back(static_cast<OLECHAR>(
        b >= 0x80 && b < 0xA0 ? kHighCharacters[b - 0x80] : b));
  }
  return out;
}

NameArg NameArg::Of(const WideString& wide) {
  NameArg name;
  name.wide = wide;
  name.ansi = ToAnsi(wide);
  return name;
}

NameArg NameArg::Null() {
  NameArg name;
  name.null = true;
  return name;
}

Clsid RootClsid() {
  return {0x90, 0x1A, 0x0E, 0xBE, 0xFD, 0xBC, 0xD2, 0x11,
          0x82, 0x3A, 0x00, 0xC0, 0x4F, 0x6E, 0x77, 0x1B};
}

NodePtr Model::NewNode(bool storage, const std::string& name) {
  auto node = std::make_shared<ModelNode>();
  node->storage = storage;
  node->name = name;
  return node;
}

NodePtr Model::NewScratchStorage() {
  auto node = std::make_shared<ModelNode>();
  node->mode = kCopyMode;
  return node;
}

std::unique_ptr<ModelStorage> Model::GetRoot() {
  if (root_ == nullptr) {
    root_ = NewNode(true, "Root");
    root_->clsid = RootClsid();
  }
  if (root_->mode == -1) root_->mode = kRootMode;
  auto object = std::make_unique<ModelStorage>();
  object->node = root_;
  return object;
}

void Model::ClearRoot() {
  if (root_ != nullptr) ReleaseSubtree(root_);
  root_ = nullptr;
}

void Model::RestoreRefCounts() {
  if (root_ == nullptr) return;
  std::vector<ModelNode*> pending = {root_.get()};
  while (!pending.empty()) {
    ModelNode* node = pending.back();
    pending.pop_back();
    node->mode = -1;
    for (const EntryPtr& entry : node->entries) {
      if (entry->child->storage) {
        pending.push_back(entry->child.get());
      } else {
        entry->child->mode = -1;
      }
    }
  }
}

EntryPtr Model::FindEntry(const ModelNode& parent,
                          const std::string& ansi) const {
  if (parent.deleted || ansi.empty()) return nullptr;
  for (const EntryPtr& entry : parent.entries) {
    if (entry->child->name == ansi) return entry;
  }
  return nullptr;
}

void Model::Link(ModelNode& parent, const NodePtr& child) {
  auto entry = std::make_shared<ModelEntry>();
  entry->child = child;
  entry->owner = &parent;
  parent.entries.insert(parent.entries.begin(), entry);
}

void Model::MoveCursorsOff(const ModelEntry* entry, const EntryPtr& successor) {
  for (const auto& e : enums_) {
    if (e->start.get() == entry) e->start = successor;
    if (e->position.get() == entry) e->position = successor;
  }
}

void Model::Unlink(ModelNode& parent, EntryPtr entry) {
  auto at = std::find(parent.entries.begin(), parent.entries.end(), entry);
  if (at == parent.entries.end()) return;
  const EntryPtr successor =
      at + 1 == parent.entries.end() ? nullptr : *(at + 1);
  MoveCursorsOff(entry.get(), successor);
  parent.entries.erase(at);
  entry->owner = nullptr;
}

void Model::DestroyChild(ModelNode& parent, EntryPtr entry) {
  Unlink(parent, entry);
  if (entry->child->storage) {
    ReleaseSubtree(entry->child);
  } else {
    entry->child->deleted = true;
  }
}

void Model::ReleaseSubtree(const NodePtr& node) {
  // Entries leave from the head, each cursor on one stepping to the next,
  // so every enumerator of a released list runs out.
  while (!node->entries.empty()) DestroyChild(*node, node->entries.front());
  node->deleted = true;
}

HRESULT Model::CreateChild(const NodePtr& parent, bool storage,
                           const NameArg& name, uint32_t mode, bool null_out,
                           NodePtr* created) {
  if (parent->deleted) return E_FAIL;
  if (!Writable(parent->mode)) return STG_E_ACCESSDENIED;
  if (!FlagsAllowed(mode, kRefusedByCreate)) return STG_E_INVALIDFLAG;
  if (null_out || name.null) return STG_E_INVALIDPOINTER;
  if (name.too_long()) return STG_E_INVALIDNAME;
  const EntryPtr existing = FindEntry(*parent, name.ansi);
  if (existing != nullptr) {
    if (!storage || (mode & kCreate) == 0 || !existing->child->storage) {
      return STG_E_FILEALREADYEXISTS;
    }
    DestroyChild(*parent, existing);
  }
  NodePtr node = NewNode(storage, name.ansi);
  node->mode = static_cast<int>(mode);
  Link(*parent, node);
  *created = node;
  return S_OK;
}

HRESULT Model::CreateStream(ModelStorage& s, const NameArg& name, uint32_t mode,
                            bool null_out, std::unique_ptr<ModelStream>* out) {
  NodePtr created;
  const HRESULT hr = CreateChild(s.node, false, name, mode, null_out, &created);
  if (hr != S_OK) return hr;
  *out = std::make_unique<ModelStream>();
  (*out)->node = created;
  return S_OK;
}

HRESULT Model::CreateStorage(ModelStorage& s, const NameArg& name,
                             uint32_t mode, bool null_out,
                             std::unique_ptr<ModelStorage>* out) {
  NodePtr created;
  const HRESULT hr = CreateChild(s.node, true, name, mode, null_out, &created);
  if (hr != S_OK) return hr;
  *out = std::make_unique<ModelStorage>();
  (*out)->node = created;
  return S_OK;
}

HRESULT Model::OpenStream(ModelStorage& s, const NameArg& name, uint32_t mode,
                          bool null_out, std::unique_ptr<ModelStream>* out) {
  if (s.node->deleted) return E_FAIL;
  if ((Reported(s.node->mode) & 3) == 0 && (mode & 3) != 0) {
    return STG_E_ACCESSDENIED;
  }
  if (!FlagsAllowed(mode, kRefusedByOpen)) return STG_E_INVALIDFLAG;
  if (null_out || name.null) return STG_E_INVALIDPOINTER;
  if (name.too_long()) return STG_E_INVALIDNAME;
  const EntryPtr entry = FindEntry(*s.node, name.ansi);
  if (entry == nullptr || entry->child->storage) return STG_E_FILENOTFOUND;
  entry->child->mode = static_cast<int>(mode);
  *out = std::make_unique<ModelStream>();
  (*out)->node = entry->child;
  return S_OK;
}

HRESULT Model::OpenStorage(ModelStorage& s, const NameArg& name, bool priority,
                           bool exclude, uint32_t mode, bool null_out,
                           std::unique_ptr<ModelStorage>* out) {
  if (s.node->deleted) return E_FAIL;
  if (priority || exclude) return STG_E_INVALIDPOINTER;
  if ((Reported(s.node->mode) & 3) == 0 && (mode & 3) != 0) {
    return STG_E_ACCESSDENIED;
  }
  if (!FlagsAllowed(mode, kRefusedByOpen)) return STG_E_INVALIDFLAG;
  if (null_out || name.null) return STG_E_INVALIDPOINTER;
  if (name.too_long()) return STG_E_INVALIDNAME;
  const EntryPtr entry = FindEntry(*s.node, name.ansi);
  if (entry == nullptr || !entry->child->storage) return STG_E_FILENOTFOUND;
  if (entry->child->mode == -1) entry->child->mode = static_cast<int>(mode);
  *out = std::make_unique<ModelStorage>();
  (*out)->node = entry->child;
  return S_OK;
}

HRESULT Model::DestroyElement(ModelStorage& s, const NameArg& name) {
  if (s.node->deleted) return STG_E_REVERTED;
  if (!Writable(s.node->mode)) return STG_E_ACCESSDENIED;
  if (name.null) return STG_E_INVALIDPOINTER;
  if (name.too_long()) return STG_E_INVALIDNAME;
  const EntryPtr entry = FindEntry(*s.node, name.ansi);
  if (entry == nullptr) return STG_E_FILENOTFOUND;
  DestroyChild(*s.node, entry);
  return S_OK;
}

HRESULT Model::RenameElement(ModelStorage& s, const NameArg& old_name,
                             const NameArg& new_name) {
  if (s.node->deleted) return STG_E_REVERTED;
  if (!Writable(s.node->mode)) return STG_E_ACCESSDENIED;
  if (old_name.null) return STG_E_INVALIDPOINTER;
  if (old_name.too_long()) return STG_E_INVALIDNAME;
  const EntryPtr entry = FindEntry(*s.node, old_name.ansi);
  if (entry == nullptr) return STG_E_FILENOTFOUND;
  if (new_name.null) return STG_E_INVALIDPOINTER;
  if (new_name.too_long()) return STG_E_INVALIDNAME;
  if (FindEntry(*s.node, new_name.ansi) != nullptr) {
    return STG_E_FILEALREADYEXISTS;
  }
  entry->child->name = new_name.ansi;
  return S_OK;
}

const OLECHAR* Model::KeepName(const WideString& name) {
  names_.push_back(std::make_unique<WideString>(name));
  return names_.back()->c_str();
}

void Model::FillStat(const ModelNode& node, uint32_t flag, STATSTG* record) {
  if (flag != STATFLAG_NONAME) {
    record->pwcsName =
        node.name.empty() ? nullptr
                          : const_cast<LPOLESTR>(KeepName(FromAnsi(node.name)));
  }
  record->type = node.storage ? STGTY_STORAGE : STGTY_STREAM;
  record->grfMode = static_cast<DWORD>(Reported(node.mode));
  if (node.storage) {
    std::memcpy(&record->clsid, node.clsid.data(), sizeof record->clsid);
  } else {
    record->cbSize.QuadPart = node.bytes.size();
    record->grfLocksSupported = 0;
  }
}

HRESULT Model::Stat(ModelStorage& s, bool null_record, uint32_t flag,
                    STATSTG* record) {
  names_.clear();
  if (s.node->deleted) return E_FAIL;
  if (null_record) return STG_E_INVALIDPOINTER;
  FillStat(*s.node, flag, record);
  return S_OK;
}

HRESULT Model::SetClass(ModelStorage& s, bool null_clsid, const Clsid& clsid) {
  if (s.node->deleted) return STG_E_REVERTED;
  if (!Writable(s.node->mode)) return STG_E_ACCESSDENIED;
  if (null_clsid) return STG_E_INVALIDPOINTER;
  s.node->clsid = clsid;
  return S_OK;
}

HRESULT Model::EnumElements(ModelStorage& s, bool null_out, ModelEnum** out) {
  if (s.node->deleted) return STG_E_REVERTED;
  if (null_out) return STG_E_INVALIDPOINTER;
  auto e = std::make_unique<ModelEnum>();
  if (!s.node->entries.empty()) e->start = e->position = s.node->entries[0];
  *out = e.get();
  enums_.push_back(std::move(e));
  return S_OK;
}

HRESULT Model::CopyStreamBytes(const NodePtr& source, const NodePtr& dest) {
  // The source's own CopyTo reads: a stream not open for reading refuses.
  if (!Readable(source->mode)) return STG_E_ACCESSDENIED;
  dest->bytes = source->bytes;
  return S_OK;
}

HRESULT Model::CopyContent(const NodePtr& source, const NodePtr& dest,
                           bool exclude_streams, bool exclude_storages,
                           const std::vector<WideString>* names) {
  // The source's list does not change while it is copied: a destination
  // inside it is refused before anything is made.
  const std::vector<EntryPtr> entries = source->entries;
  for (const EntryPtr& entry : entries) {
    const NodePtr& child = entry->child;
    if (child->storage ? exclude_storages : exclude_streams) continue;
    if (child->name.empty()) continue;
    const WideString wide = FromAnsi(child->name);
    // Excluding sub-storages drops the name list for streams too.
    if (!exclude_storages && Listed(wide, names)) continue;
    NodePtr created;
    HRESULT hr = CreateChild(dest, child->storage, NameArg::Of(wide), kCopyMode,
                             false, &created);
    if (hr != S_OK) return hr;
    hr = child->storage
             ? CopyContent(child, created, exclude_streams, false, nullptr)
             : CopyStreamBytes(child, created);
    if (hr != S_OK) return hr;
  }
  return S_OK;
}

HRESULT Model::CopyTo(ModelStorage& s, const CopyArgs& args, ModelStorage* dest,
                      bool dest_ours) {
  if (s.node->deleted) return STG_E_REVERTED;
  if (dest == nullptr) return STG_E_INVALIDPOINTER;
  if (args.count == 0 && !args.null_iids) {
    // The destination's SetClass, whose result is not used.
    ModelNode& target = *dest->node;
    if (!target.deleted && Writable(target.mode)) target.clsid = s.node->clsid;
    return S_OK;
  }
  if (args.count != 0 && args.null_iids) return STG_E_INVALIDPOINTER;
  bool streams = false;
  bool storages = false;
  for (uint32_t i = 0; i < args.count; ++i) {
    if (args.iids[i] == ExcludedIid::kStream) streams = true;
    if (args.iids[i] == ExcludedIid::kStorage) storages = true;
  }
  // A destination below the source would take copies of its own copies
  // without end. The source itself only meets names it already has.
  const ModelNode* target = dest->node.get();
  if (dest_ours && !target->deleted && InSubtree(*s.node, target)) {
    return STG_E_ACCESSDENIED;
  }
  return CopyContent(s.node, dest->node, streams, storages,
                     args.null_names ? nullptr : &args.names);
}

HRESULT Model::MoveElementChecks(ModelStorage& s, const NameArg& name,
                                 ModelStorage* dest, bool dest_ours,
                                 const NameArg& new_name, uint32_t flags,
                                 NodePtr* child) {
  if (s.node->deleted) return STG_E_REVERTED;
  if (flags == STGMOVE_MOVE && !Writable(s.node->mode)) {
    return STG_E_ACCESSDENIED;
  }
  if (dest == nullptr || new_name.null) return STG_E_INVALIDPOINTER;
  if (name.null) return STG_E_INVALIDPOINTER;
  if (name.too_long()) return STG_E_INVALIDNAME;
  const EntryPtr entry = FindEntry(*s.node, name.ansi);
  if (entry == nullptr) return STG_E_FILENOTFOUND;
  *child = entry->child;
  const ModelNode* target = dest->node.get();
  if ((*child)->storage && dest_ours && !target->deleted &&
      (target == child->get() || InSubtree(**child, target))) {
    return STG_E_ACCESSDENIED;
  }
  // The copy leaves unnamed elements behind: removing the source after it
  // would lose them.
  if (flags == STGMOVE_MOVE && (*child)->storage &&
      AnyBelow(**child,
               [](const ModelNode& node) { return node.name.empty(); })) {
    return STG_E_INVALIDFUNCTION;
  }
  return S_OK;
}

HRESULT Model::MoveElementTo(ModelStorage& s, const NameArg& name,
                             ModelStorage* dest, bool dest_ours,
                             const NameArg& new_name, uint32_t flags) {
  NodePtr child;
  HRESULT hr =
      MoveElementChecks(s, name, dest, dest_ours, new_name, flags, &child);
  if (hr != S_OK) return hr;
  // A mode the caller never set reads as 0, which comes back as "not open".
  const int remembered = Reported(child->mode) == 0 ? -1 : child->mode;
  if (child->storage) {
    if (child->mode == -1) child->mode = kMoveSourceMode;
  } else {
    child->mode = kMoveSourceMode;
  }
  NodePtr created;
  hr = CreateChild(dest->node, child->storage, new_name, kMoveMode, false,
                   &created);
  if (hr == S_OK) {
    hr = child->storage ? CopyContent(child, created, false, false, nullptr)
                        : CopyStreamBytes(child, created);
  }
  child->mode = remembered;
  if (hr != S_OK || flags != STGMOVE_MOVE) return hr;
  for (const EntryPtr& entry : s.node->entries) {
    if (entry->child == child) {
      DestroyChild(*s.node, entry);
      break;
    }
  }
  return S_OK;
}

HRESULT Model::ReadAt(ModelStream& t, uint32_t count,
                      std::vector<uint8_t>* got) {
  const std::vector<uint8_t>& bytes = t.node->bytes;
  if (t.position >= bytes.size()) return S_OK;
  const uint64_t n = std::min<uint64_t>(count, bytes.size() - t.position);
  got->assign(bytes.begin() + static_cast<ptrdiff_t>(t.position),
              bytes.begin() + static_cast<ptrdiff_t>(t.position + n));
  t.position += n;
  return S_OK;
}

HRESULT Model::WriteAt(ModelStream& t, const uint8_t* data, uint32_t count) {
  const uint64_t end = t.position + count;
  if (end > kMaxStreamBytes || end > kStoreLimitBytes) return STG_E_MEDIUMFULL;
  std::vector<uint8_t>& bytes = t.node->bytes;
  if (end > bytes.size()) bytes.resize(end, 0);
  std::copy(data, data + count,
            bytes.begin() + static_cast<ptrdiff_t>(t.position));
  t.position = end;
  return S_OK;
}

HRESULT Model::Read(ModelStream& t, uint32_t count, bool null_buffer,
                    std::vector<uint8_t>* got) {
  got->clear();
  if (t.node->deleted) return E_FAIL;
  if (null_buffer && count != 0) return STG_E_INVALIDPOINTER;
  if (!Readable(t.node->mode)) return STG_E_ACCESSDENIED;
  return ReadAt(t, count, got);
}

HRESULT Model::Write(ModelStream& t, const std::vector<uint8_t>& data,
                     bool null_buffer, uint32_t* written) {
  *written = 0;
  if (t.node->deleted) return E_FAIL;
  if (null_buffer && !data.empty()) return STG_E_INVALIDPOINTER;
  if (!Writable(t.node->mode)) return STG_E_ACCESSDENIED;
  const HRESULT hr =
      WriteAt(t, data.data(), static_cast<uint32_t>(data.size()));
  if (hr == S_OK) *written = static_cast<uint32_t>(data.size());
  return hr;
}

HRESULT Model::Seek(ModelStream& t, int64_t move, uint32_t origin,
                    uint64_t* position) {
  if (t.node->deleted) return E_FAIL;
  int64_t base = 0;
  switch (origin) {
    case STREAM_SEEK_SET:
      break;
    case STREAM_SEEK_CUR:
      base = static_cast<int64_t>(t.position);
      break;
    case STREAM_SEEK_END:
      base = static_cast<int64_t>(t.node->bytes.size());
      break;
    default:
      return STG_E_INVALIDFUNCTION;
  }
  int64_t target = 0;
  if (__builtin_add_overflow(base, move, &target) || target < 0) {
    return STG_E_INVALIDFUNCTION;
  }
  t.position = static_cast<uint64_t>(target);
  *position = t.position;
  return S_OK;
}

HRESULT Model::SetSize(ModelStream& t, uint64_t size) {
  if (t.node->deleted) return E_FAIL;
  if (!Writable(t.node->mode)) return STG_E_ACCESSDENIED;
  if (size > 0xFFFFFFFFu) return STG_E_INVALIDFUNCTION;
  if (size >= kStoreLimitBytes) return STG_E_MEDIUMFULL;
  std::vector<uint8_t>& bytes = t.node->bytes;
  if (size < bytes.size()) bytes.resize(size);
  return S_OK;
}

HRESULT Model::CopyTo(ModelStream& t, ModelStream* dest, uint64_t count,
                      uint64_t* read, uint64_t* written) {
  *read = *written = 0;
  if (t.node->deleted) return E_FAIL;
  if (dest == nullptr) return STG_E_INVALIDPOINTER;
  if (!Readable(t.node->mode)) return STG_E_ACCESSDENIED;
  uint64_t remaining = std::min<uint64_t>(count, 0xFFFFFFFFu);
  std::vector<uint8_t> chunk;
  while (remaining > 0) {
    const uint32_t want =
        static_cast<uint32_t>(std::min<uint64_t>(remaining, kTransferBytes));
    chunk.clear();
    ReadAt(t, want, &chunk);
    const auto got = static_cast<uint32_t>(chunk.size());
    remaining = got < want ? 0 : remaining - want;
    *read += got;
    uint32_t put = 0;
    // The destination is called through its interface, checks and all.
    if (FAILED(Write(*dest, chunk, false, &put))) return STG_E_MEDIUMFULL;
    *written += put;
    if (put != got) return STG_E_MEDIUMFULL;
  }
  return S_OK;
}

HRESULT Model::Stat(ModelStream& t, bool null_record, uint32_t flag,
                    STATSTG* record) {
  names_.clear();
  if (t.node->deleted) return E_FAIL;
  if (null_record) return STG_E_INVALIDPOINTER;
  FillStat(*t.node, flag, record);
  return S_OK;
}

HRESULT Model::Clone(ModelStream& t, bool null_out,
                     std::unique_ptr<ModelStream>* out) {
  if (t.node->deleted) return E_FAIL;
  if (null_out) return STG_E_INVALIDPOINTER;
  if (!Readable(t.node->mode)) return STG_E_ACCESSDENIED;
  *out = std::make_unique<ModelStream>();
  (*out)->node = t.node;
  (*out)->position = t.position;
  return S_OK;
}

HRESULT Model::Next(ModelEnum& e, uint32_t count, bool null_array,
                    std::vector<STATSTG>* records, uint32_t* fetched) {
  names_.clear();
  *fetched = 0;
  if (count != 0 && null_array) return STG_E_INVALIDPOINTER;
  while (e.position != nullptr && *fetched < count) {
    const EntryPtr entry = e.position;
    const std::vector<EntryPtr>& list = entry->owner->entries;
    auto at = std::find(list.begin(), list.end(), entry);
    e.position = at + 1 == list.end() ? nullptr : *(at + 1);
    // Every linked entry's child is live: its own Stat succeeds.
    FillStat(*entry->child, STATFLAG_DEFAULT, &(*records)[*fetched]);
    ++*fetched;
  }
  return *fetched == count ? S_OK : S_FALSE;
}

HRESULT Model::Skip(ModelEnum& e, uint32_t count) {
  uint32_t skipped = 0;
  while (e.position != nullptr && skipped < count) {
    const std::vector<EntryPtr>& list = e.position->owner->entries;
    auto at = std::find(list.begin(), list.end(), e.position);
    e.position = at + 1 == list.end() ? nullptr : *(at + 1);
    ++skipped;
  }
  return skipped == count ? S_OK : S_FALSE;
}

HRESULT Model::Reset(ModelEnum& e) {
  e.position = e.start;
  return S_OK;
}

HRESULT Model::Clone(ModelEnum& e, bool null_out, ModelEnum** out) {
  if (null_out) return STG_E_INVALIDPOINTER;
  auto copy = std::make_unique<ModelEnum>();
  copy->start = e.start;
  copy->position = e.position;
  *out = copy.get();
  enums_.push_back(std::move(copy));
  return S_OK;
}

void Model::DropEnum(ModelEnum* e) {
  enums_.erase(std::remove_if(enums_.begin(), enums_.end(),
                              [e](const std::unique_ptr<ModelEnum>& held) {
                                return held.get() == e;
                              }),
               enums_.end());
}

namespace {

size_t NameLimit(int selector) {
  return kBlockNameBytes - (selector == 1 ? sizeof kSecondSuffix - 1 : 0);
}

// The block's name as the host hands it over (at most 255 bytes) with the
// selector's suffix; false when the suffix does not fit.
bool BlockName(const Hierarchy& h, int block, int selector, std::string* out) {
  std::string name = h[block].name.substr(0, kBlockNameBytes);
  if (name.size() > NameLimit(selector)) return false;
  if (selector == 1) name += kSecondSuffix;
  *out = name;
  return true;
}

NameArg ExportName(const std::string& ansi) {
  return NameArg::Of(FromAnsi(ansi));
}

}  // namespace

bool Model::ObjectStorage(const Hierarchy& h, int block, int selector,
                          std::unique_ptr<ModelStorage>* out) {
  std::vector<int> chain;
  for (int b = block; b != 0; b = h[b].container) chain.push_back(b);
  if (chain.size() == 1) {
    if (selector == -1) *out = GetRoot();
    return false;
  }
  std::unique_ptr<ModelStorage> storage = GetRoot();
  for (size_t level = chain.size() - 1; level-- > 0;) {
    std::string name;
    if (!BlockName(h, chain[level], level == 0 ? selector : -1, &name)) {
      return false;
    }
    const NameArg wide = ExportName(name);
    std::unique_ptr<ModelStorage> child;
    if (OpenStorage(*storage, wide, false, false, kObjectStorageMode, false,
                    &child) != S_OK &&
        CreateStorage(*storage, wide, kObjectStorageMode, false, &child) !=
            S_OK) {
      return false;
    }
    storage = std::move(child);
  }
  *out = std::move(storage);
  return true;
}

int Model::GetObjectStorage(const Hierarchy& h, int block, int selector,
                            bool null_out, std::unique_ptr<ModelStorage>* out) {
  if (null_out) return 1;
  return ObjectStorage(h, block, selector, out) ? 0 : 1;
}

int Model::DelObjectStorage(const Hierarchy& h, int block, int selector) {
  const int container = h[block].container;
  if (container == 0) return 1;
  std::unique_ptr<ModelStorage> parent;
  ObjectStorage(h, container, -1, &parent);
  if (parent == nullptr) return 1;
  std::string name;
  if (!BlockName(h, block, selector, &name)) return 1;
  return DestroyElement(*parent, ExportName(name)) == S_OK ? 0 : 1;
}

int Model::RenObjectStorage(const Hierarchy& h, int block, int selector,
                            const std::string* old_name,
                            const std::string* new_name) {
  if (new_name == nullptr) return 1;
  if (new_name->size() > NameLimit(selector)) return 1;
  if (old_name != nullptr && old_name->size() > NameLimit(selector)) return 1;
  const int container = h[block].container;
  if (container == 0) return 1;
  std::unique_ptr<ModelStorage> parent;
  ObjectStorage(h, container, -1, &parent);
  if (parent == nullptr) return 1;
  const std::string suffix = selector == 1 ? kSecondSuffix : "";
  std::string old_composed;
  if (old_name != nullptr) {
    old_composed = *old_name + suffix;
  } else if (!BlockName(h, block, selector, &old_composed)) {
    return 1;
  }
  return RenameElement(*parent, ExportName(old_composed),
                       ExportName(*new_name + suffix)) == S_OK
             ? 0
             : 1;
}

NodePtr Model::CopyTree() const {
  return root_ == nullptr ? nullptr : DeepCopy(*root_);
}

void Model::ReplaceTree(const NodePtr& root) {
  root_ = root == nullptr ? nullptr : DeepCopy(*root);
}

void Model::SubtreeCost(const ModelNode& node, size_t* nodes, size_t* bytes) {
  std::vector<const ModelNode*> pending = {&node};
  while (!pending.empty()) {
    const ModelNode* at = pending.back();
    pending.pop_back();
    ++*nodes;
    *bytes += at->bytes.size() + at->name.size();
    for (const EntryPtr& entry : at->entries) {
      pending.push_back(entry->child.get());
    }
  }
}

}  // namespace qss_reliability
