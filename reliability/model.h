// The reference model: the storage tree as the library documents it, in
// plain C++ objects. Storages and streams with their names (ANSI bytes),
// open modes, class ids and bytes; element lists newest first; deleted
// nodes that objects still hold; enumerator cursors that step past entries
// unlinked under them. Every operation answers what the library must answer
// and changes the model as the library must change the tree.
//
// The model knows nothing of plex blocks, claims or allocation: an object
// over a deleted node simply fails with its operation's liveness code.
#ifndef QSSTORAGE_RELIABILITY_MODEL_H_
#define QSSTORAGE_RELIABILITY_MODEL_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/com.h"

namespace qss_reliability {

using WideString = std::basic_string<OLECHAR>;
using Clsid = std::array<uint8_t, 16>;

// Code page 1252 as the platform converts element names: one byte per
// UTF-16 unit, '?' for a unit the code page lacks (each half of a surrogate
// pair included), and back.
std::string ToAnsi(const WideString& wide);
WideString FromAnsi(const std::string& ansi);

// The longest ANSI form a name may have.
constexpr size_t kMaxNameBytes = 1023;

// A name as a caller passes it.
struct NameArg {
  bool null = false;
  WideString wide;
  std::string ansi;  // ToAnsi(wide)

  static NameArg Of(const WideString& wide);
  static NameArg Null();
  bool too_long() const { return ansi.size() > kMaxNameBytes; }
};

struct ModelNode;
struct ModelEntry;
using NodePtr = std::shared_ptr<ModelNode>;
using EntryPtr = std::shared_ptr<ModelEntry>;

struct ModelEntry {
  NodePtr child;
  ModelNode* owner = nullptr;  // the storage listing it; null once unlinked
};

struct ModelNode {
  bool storage = true;
  std::string name;  // ANSI bytes; empty means no name
  int mode = -1;     // -1: not open
  bool deleted = false;
  Clsid clsid{};                  // storages
  std::vector<EntryPtr> entries;  // storages, newest first
  std::vector<uint8_t> bytes;     // streams
};

struct ModelStorage {
  NodePtr node;
  uint32_t refs = 1;
};

struct ModelStream {
  NodePtr node;
  uint64_t position = 0;
  uint32_t refs = 1;
};

struct ModelEnum {
  EntryPtr start;
  EntryPtr position;
  uint32_t refs = 1;
};

// The interfaces a CopyTo exclusion list may name.
enum class ExcludedIid { kStream, kStorage, kOther };

struct CopyArgs {
  uint32_t count = 0;      // ciidExclude
  bool null_iids = false;  // rgiidExclude is null
  std::vector<ExcludedIid> iids;
  bool null_names = true;  // snbExclude is null
  std::vector<WideString> names;
};

// The host's block hierarchy as the per-object exports see it; index 0 is
// unused, handles count from 1.
struct HierBlock {
  int container = 0;
  std::string name;
};
using Hierarchy = std::vector<HierBlock>;

// Writes and size changes that would need more of the store than it has
// fail with STG_E_MEDIUMFULL; the driver stays well below this.
constexpr uint64_t kStoreLimitBytes = 1ull << 30;

class Model {
 public:
  Model() = default;
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  const NodePtr& root() const { return root_; }

  // Exports over the root anchor.
  std::unique_ptr<ModelStorage> GetRoot();
  void ClearRoot();
  void RestoreRefCounts();

  // IStorage. New objects come back in `*out` on success.
  HRESULT CreateStream(ModelStorage& s, const NameArg& name, uint32_t mode,
                       bool null_out, std::unique_ptr<ModelStream>* out);
  HRESULT OpenStream(ModelStorage& s, const NameArg& name, uint32_t mode,
                     bool null_out, std::unique_ptr<ModelStream>* out);
  HRESULT CreateStorage(ModelStorage& s, const NameArg& name, uint32_t mode,
                        bool null_out, std::unique_ptr<ModelStorage>* out);
  HRESULT OpenStorage(ModelStorage& s, const NameArg& name, bool priority,
                      bool exclude, uint32_t mode, bool null_out,
                      std::unique_ptr<ModelStorage>* out);
  HRESULT DestroyElement(ModelStorage& s, const NameArg& name);
  HRESULT RenameElement(ModelStorage& s, const NameArg& old_name,
                        const NameArg& new_name);
  // Writes into `record` what the library writes and nothing else; a name
  // points into storage owned by the model until the next Stat or Next.
  HRESULT Stat(ModelStorage& s, bool null_record, uint32_t flag,
               STATSTG* record);
  HRESULT SetClass(ModelStorage& s, bool null_clsid, const Clsid& clsid);
  HRESULT EnumElements(ModelStorage& s, bool null_out, ModelEnum** out);
  // `dest_ours`: the destination is a storage of this library (else the
  // model of a foreign one, which is never refused as lying inside).
  HRESULT CopyTo(ModelStorage& s, const CopyArgs& args, ModelStorage* dest,
                 bool dest_ours);
  HRESULT MoveElementTo(ModelStorage& s, const NameArg& name,
                        ModelStorage* dest, bool dest_ours,
                        const NameArg& new_name, uint32_t flags);
  // The part of MoveElementTo that comes before the destination is asked
  // anything; S_OK when the destination will be asked.
  HRESULT MoveElementChecks(ModelStorage& s, const NameArg& name,
                            ModelStorage* dest, bool dest_ours,
                            const NameArg& new_name, uint32_t flags,
                            NodePtr* child);

  // IStream.
  HRESULT Read(ModelStream& t, uint32_t count, bool null_buffer,
               std::vector<uint8_t>* got);
  HRESULT Write(ModelStream& t, const std::vector<uint8_t>& data,
                bool null_buffer, uint32_t* written);
  HRESULT Seek(ModelStream& t, int64_t move, uint32_t origin,
               uint64_t* position);
  HRESULT SetSize(ModelStream& t, uint64_t size);
  HRESULT CopyTo(ModelStream& t, ModelStream* dest, uint64_t count,
                 uint64_t* read, uint64_t* written);
  HRESULT Stat(ModelStream& t, bool null_record, uint32_t flag,
               STATSTG* record);
  HRESULT Clone(ModelStream& t, bool null_out,
                std::unique_ptr<ModelStream>* out);

  // IEnumSTATSTG. Enumerators belong to the model until DropEnum.
  HRESULT Next(ModelEnum& e, uint32_t count, bool null_array,
               std::vector<STATSTG>* records, uint32_t* fetched);
  HRESULT Skip(ModelEnum& e, uint32_t count);
  HRESULT Reset(ModelEnum& e);
  HRESULT Clone(ModelEnum& e, bool null_out, ModelEnum** out);
  void DropEnum(ModelEnum* e);

  // The per-object exports; `old_name` and `new_name` may be null.
  int GetObjectStorage(const Hierarchy& h, int block, int selector,
                       bool null_out, std::unique_ptr<ModelStorage>* out);
  int DelObjectStorage(const Hierarchy& h, int block, int selector);
  int RenObjectStorage(const Hierarchy& h, int block, int selector,
                       const std::string* old_name,
                       const std::string* new_name);

  // A deep copy of the tree, for the image a save keeps; only while no
  // object is held.
  NodePtr CopyTree() const;
  void ReplaceTree(const NodePtr& root);

  // Adds what the subtree holds to the counts, for the driver's budget.
  static void SubtreeCost(const ModelNode& node, size_t* nodes, size_t* bytes);

  // A storage node made outside the tree: the model of a foreign
  // destination, open for writing.
  static NodePtr NewScratchStorage();

 private:
  NodePtr NewNode(bool storage, const std::string& name);
  EntryPtr FindEntry(const ModelNode& parent, const std::string& ansi) const;
  // CreateStream and CreateStorage after their argument checks.
  HRESULT CreateChild(const NodePtr& parent, bool storage, const NameArg& name,
                      uint32_t mode, bool null_out, NodePtr* created);
  void Link(ModelNode& parent, const NodePtr& child);
  // Entries by value: the caller's may be the list's own.
  void Unlink(ModelNode& parent, EntryPtr entry);
  void MoveCursorsOff(const ModelEntry* entry, const EntryPtr& successor);
  void DestroyChild(ModelNode& parent, EntryPtr entry);
  void ReleaseSubtree(const NodePtr& node);
  HRESULT CopyContent(const NodePtr& source, const NodePtr& dest,
                      bool exclude_streams, bool exclude_storages,
                      const std::vector<WideString>* names);
  HRESULT CopyStreamBytes(const NodePtr& source, const NodePtr& dest);
  HRESULT ReadAt(ModelStream& t, uint32_t count, std::vector<uint8_t>* got);
  HRESULT WriteAt(ModelStream& t, const uint8_t* data, uint32_t count);
  const OLECHAR* KeepName(const WideString& name);
  // The fields a live node's Stat writes.
  void FillStat(const ModelNode& node, uint32_t flag, STATSTG* record);
  bool ObjectStorage(const Hierarchy& h, int block, int selector,
                     std::unique_ptr<ModelStorage>* out);

  NodePtr root_;
  std::vector<std::unique_ptr<ModelEnum>> enums_;
  std::vector<std::unique_ptr<WideString>> names_;  // handed out by Stat
};

// The root storage's class id, {BE0E1A90-BCFD-11D2-823A-00C04F6E771B}.
Clsid RootClsid();

}  // namespace qss_reliability

#endif  // QSSTORAGE_RELIABILITY_MODEL_H_
