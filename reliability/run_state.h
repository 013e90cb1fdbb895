// What one reliability run holds while it goes: the objects handed out by
// the library paired with the model's, the block hierarchy, the saved
// image, and what each operation resolved to and answered. The driver and
// the operation table share it.
#ifndef QSSTORAGE_RELIABILITY_RUN_STATE_H_
#define QSSTORAGE_RELIABILITY_RUN_STATE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "check/element_lists.h"
#include "platform/com.h"
#include "reliability/driver.h"
#include "reliability/model.h"
#include "reliability/observe.h"
#include "reliability/ops.h"

namespace qss_reliability {

// Objects of one class held at once; more are released at once.
constexpr size_t kMaxSlots = 24;
// The tree the driver lets grow: copies of copies would otherwise double
// it with every pair of operations.
constexpr size_t kMaxNodes = 1500;
constexpr size_t kMaxBytes = 8u << 20;

struct StorageSlot {
  IStorage* real;
  std::unique_ptr<ModelStorage> model;
};
struct StreamSlot {
  IStream* real;
  std::unique_ptr<ModelStream> model;
};
struct EnumSlot {
  IEnumSTATSTG* real;
  ModelEnum* model;
};

// The classes of objects held, as an argument picks them.
enum ObjectClass { kStorageClass, kStreamClass, kEnumClass };

// An operation with its arguments resolved against the objects held.
struct Call {
  OpKind kind = OpKind::kCount;
  int storage = -1;
  int stream = -1;
  int enumerator = -1;
  int dest = -1;  // a storage or stream slot
  bool dest_null = false;
  bool dest_foreign = false;
  NameArg name;
  NameArg name2;
  uint32_t mode = 0;
  uint32_t flag = 0;
  uint32_t which = 0;
  // Null pointers: the out pointer (or STATSTG, or REFCLSID), and the
  // operation's other two (Read's and Write's buffer and count, CopyTo's
  // counts, Next's array and count, OpenStream's reserved one set instead).
  bool null_out = false;
  bool null_a = false;
  bool null_b = false;
  bool priority = false;
  bool exclude = false;
  uint64_t value = 0;
  int64_t move = 0;
  std::vector<uint8_t> data;
  size_t buffer_size = 0;
  CopyArgs copy;
  Clsid clsid{};
  int object_class = 0;
  int object = -1;
  int iid = 0;
  int block = 0;
  int selector = 0;
  bool old_null = false;
  std::string old_name;
  bool new_null = false;
  std::string new_name;
  bool rename_block = false;
  bool alias = false;
  // Set by the model's half: the answer comes before any destination is
  // asked, so a foreign destination must give it exactly.
  bool exact = true;
};

// What one side answered, as facts compared in order, and the objects it
// handed out.
struct Outcome {
  std::vector<std::string> facts;
  int code = 0;
  bool failed = false;
  IStorage* storage = nullptr;
  IStream* stream = nullptr;
  IEnumSTATSTG* enumerator = nullptr;
  std::unique_ptr<ModelStorage> model_storage;
  std::unique_ptr<ModelStream> model_stream;
  ModelEnum* model_enum = nullptr;
  std::string foreign;

  void Fact(const std::string& fact) { facts.push_back(fact); }
  void Result(HRESULT hr);
  // The model's answer of a call with an out pointer: the code, and
  // whether an object came back unless the out pointer was null.
  void ModelResult(HRESULT hr, bool null_out);
  bool handed_out() const {
    return storage != nullptr || stream != nullptr || enumerator != nullptr;
  }
};

// A library call's out pointer: unless it was null, whether an object came
// back, which then goes into `*slot`.
template <class T>
void HandOut(T* made, T** where, T** slot, Outcome* out) {
  if (where == nullptr) return;
  out->Fact("out " + OutText(made));
  if (OutText(made) == "object") *slot = made;
}

// Releases until the library lets go (at most 1000 times).
void ReleaseFully(IUnknown* object);

// After a failed call checked without the model: what of the tree is
// compared.
struct FailureScope {
  bool compare_tree = true;
  const ModelNode* ignore = nullptr;  // a storage whose list may differ
};

struct RunState {
  RunOptions options;
  Model model;
  Hierarchy hierarchy;
  std::vector<StorageSlot> storages;
  std::vector<StreamSlot> streams;
  std::vector<EnumSlot> enums;
  std::string message;
  size_t steps = 0;
  std::string image_path;
  bool have_image = false;
  NodePtr image_tree;
  Op pending_op{};
  Call pending;
  Outcome pending_library;
  std::vector<size_t> ran =
      std::vector<size_t>(static_cast<size_t>(OpKind::kCount));
  std::vector<size_t> succeeded = ran;
  // Called around the library's own code only, never the driver's.
  void (*arm)() = nullptr;
  void (*disarm)() = nullptr;

  template <class F>
  auto Library(F&& call) {
    if (arm != nullptr) arm();
    auto result = call();
    if (disarm != nullptr) disarm();
    return result;
  }

  void Count(OpKind kind, bool success);
  // An operation of the driver's own: counted, always as a success.
  void Begin(const Op& op);
  // Records the first disagreement; always false.
  bool Fail(const Op& op, const std::string& what);
  void BuildHierarchy(uint32_t setup);
  bool OverBudget(size_t extra_nodes, size_t extra_bytes) const;
  bool SubtreeOverBudget(const ModelNode& source) const;

  // Argument selection against what is held; false when nothing is.
  bool PickStorage(uint8_t arg, Call* call) const;
  bool PickStream(uint8_t arg, Call* call) const;
  // Most of the time a name that an element of the storage has, so that
  // opens, destroys, renames and moves meet something.
  NameArg NameIn(int storage, uint8_t arg) const;
  // A storage held, a null destination or (on Windows) a compound file.
  // False when none of them is picked.
  bool PickDestStorage(uint8_t arg, Call* call) const;
  size_t Held(int object_class) const;
  IUnknown* Object(int object_class, int at) const;
  uint32_t& Refs(int object_class, int at);
  // Lets go of the object held in slot `at` of its class.
  void Forget(int object_class, int at);

  // Pairs the objects the two halves handed out; an object only one side
  // made is let go on that side.
  void Adopt(Outcome& library, Outcome& model_side);
  bool Conclude(const Op& op, Call& call, Outcome& library, Outcome& model);
  // Releases every object as often as the model counts; false when the
  // library's counts disagree.
  bool ReleaseAll(const Op& op);
  // Releases every object until the library lets go, counts unchecked.
  void ReleaseEverything();
  // `compare_tree` false: the checker alone. The element list of `ignore`
  // is not compared.
  bool CheckState(const Op& op, bool compare_tree, const ModelNode* ignore,
                  bool final);
  // The plex against the model, record by record, read through the
  // checker's bounded walk over `blocks`, the store's allocated blocks: ""
  // when they agree, else the first difference.
  std::string CompareTree(const ModelNode* ignore,
                          const std::vector<qss::AllocatedBlock>& blocks) const;
};

}  // namespace qss_reliability

#endif  // QSSTORAGE_RELIABILITY_RUN_STATE_H_
