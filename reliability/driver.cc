#include "reliability/driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <utility>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

#include "check/tree_check.h"
#include "qsstorage/qsstorage.h"
#include "records/dms.h"
#include "records/node_records.h"
#include "reliability/model.h"
#include "reliability/observe.h"
#include "standins/hierarchy_controls.h"
#include "standins/plex_controls.h"

namespace qss_reliability {
namespace {

using qss::kEntryChildWord;
using qss::kEntryKindWord;
using qss::kEntryNextWord;
using qss::kEntryWords;

using qss::kAnchorBlock;
using qss::kAnchorWord;
// Objects of one class held at once; more are released at once.
constexpr size_t kMaxSlots = 24;
// The tree the driver lets grow: copies of copies would otherwise double
// it with every pair of operations.
constexpr size_t kMaxNodes = 1500;
constexpr size_t kMaxBytes = 8u << 20;

WideString Utf16(const std::string& utf8) {
  WideString out;
  for (size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = c;
    int extra = 0;
    if (c >= 0xF0) {
      cp = c & 0x07, extra = 3;
    } else if (c >= 0xE0) {
      cp = c & 0x0F, extra = 2;
    } else if (c >= 0xC0) {
      cp = c & 0x1F, extra = 1;
    }
    for (int k = 1; k <= extra && i + k < utf8.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    i += 1 + extra;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<OLECHAR>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<OLECHAR>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<OLECHAR>(cp));
    }
  }
  return out;
}

// Element names, weighted towards a few short ones so that operations meet
// the elements earlier ones made; with the edges of the name format among
// them: 4 and 8 bytes, the empty name, characters the code page lacks or
// keeps as controls, ANSI forms of 1023 and 1024 bytes, and null.
const std::vector<NameArg>& Names() {
  static const std::vector<NameArg> names = [] {
    const std::string n1022(1022, 'n');
    const char* const utf8[] = {
        "a",
        "b",
        "c",
        "A",
        "abcd",
        "abcdefgh",
        "abcde",
        "",
        "\xC3\xA9",         // é, one byte
        "\xE2\x82\xACuro",  // €uro: 0x80 and three bytes
        "\xE4\xB8\x80",     // a character the code page lacks
        "?",
        "x\xC2\x81",         // '?', and a C1 control kept as 0x81
        "\xF0\x9F\x98\x80",  // a surrogate pair: two '?'
        "??",
        "Root"};
    std::vector<NameArg> out;
    for (const char* name : utf8) out.push_back(NameArg::Of(Utf16(name)));
    out.push_back(NameArg::Of(Utf16(n1022 + "n")));              // 1023
    out.push_back(NameArg::Of(Utf16(n1022 + "nn")));             // 1024
    out.push_back(NameArg::Of(Utf16(n1022 + "\xE2\x82\xAC")));   // 1023
    out.push_back(NameArg::Of(Utf16(n1022 + "n\xE4\xB8\x80")));  // 1024
    out.push_back(NameArg::Null());
    out.push_back(NameArg::Of(Utf16(std::string(2000, 'n'))));
    for (const char* name :
         {"a", "b", "c", "a", "s", "t", "s", "t", "abcd", "b"}) {
      out.push_back(NameArg::Of(Utf16(name)));
    }
    return out;
  }();
  return names;
}

// Block names as the host keeps them (ANSI, any length: the host hands out
// at most 255 bytes), around the 250 bytes that leave room for "_UOSB".
const std::vector<std::string>& BlockNames() {
  static const std::vector<std::string> names = [] {
    auto k = [](size_t n) { return std::string(n, 'k'); };
    return std::vector<std::string>{
        "a",   "b", "abcd",  "\xE9", "",  k(250), k(251), k(255), k(300),
        "blk", "A", "x\x81", "s",    "t", "a",    "b",    k(256)};
  }();
  return names;
}

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr uint64_t kAll = ~uint64_t{0};
constexpr uint32_t kModes[] = {
    0x12, 0x12, 0x10, 0x11,    0x13,    0x32,      0x1012,   0x1010,
    0x02, 0x00, 0x40, 0x10012, 0x20012, 0x4000012, 0x100012, 0xFFFFFFFF};
constexpr uint32_t kStatFlags[] = {0, 1, 2, 0x7FFFFFFF};
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
constexpr uint32_t kNextCounts[] = {0, 1, 1, 2, 3, 5, 100};
constexpr uint32_t kSkipCounts[] = {0, 1, 2, 3, 100};
constexpr uint32_t kMoveFlags[] = {0, 0, 1, 2, 0, 1, 3, 0xFFFFFFFF};
constexpr int kSelectors[] = {-1, -1, 0, 1, 1, 2, -2};

template <class T, size_t N>
const T& Pick(const T (&table)[N], uint8_t arg) {
  return table[arg % N];
}

int PickSlot(size_t count, uint8_t arg) {
  return count == 0 ? -1 : static_cast<int>(arg % count);
}

// Rare variants of an operation: null pointers and the like.
bool Variant(uint8_t arg, int which) { return arg % 16 == which; }

const IID& Iid(int index) {
  static const IID kOther = {0x12345678,
                             0x9ABC,
                             0xDEF0,
                             {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}};
  switch (index % 6) {
    case 0:
      return IID_IUnknown;
    case 1:
      return IID_IStorage;
    case 2:
      return IID_IStream;
    case 3:
      return IID_ISequentialStream;
    case 4:
      return IID_IEnumSTATSTG;
    default:
      return kOther;
  }
}

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

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<uint8_t>(seed * 31 + i * 7 + (i >> 8));
  }
  return bytes;
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
  void Result(HRESULT hr) {
    code = hr;
    failed = FAILED(hr);
    Fact("hr " + Code(hr));
  }
};

bool Releases(OpKind kind) {
  return kind == OpKind::kAddRef || kind == OpKind::kRelease ||
         kind == OpKind::kReleaseAll || kind == OpKind::kSave ||
         kind == OpKind::kLoad;
}

// Operations that can make the tree larger.
bool Grows(OpKind kind) {
  switch (kind) {
    case OpKind::kCreateStream:
    case OpKind::kCreateStorage:
    case OpKind::kCopyTo:
    case OpKind::kMoveElementTo:
    case OpKind::kWrite:
    case OpKind::kStreamCopyTo:
    case OpKind::kGetObjectStorage:
    case OpKind::kDelObjectStorage:
    case OpKind::kRenObjectStorage:
      return true;
    default:
      return false;
  }
}

std::string ImagePath() {
#if defined(_WIN32)
  const int pid = _getpid();
#else
  const int pid = static_cast<int>(getpid());
#endif
  return "qss-reliability-" + std::to_string(pid) + ".img";
}

}  // namespace

struct Runner::State {
  RunOptions options;
  Model model;
  Hierarchy hierarchy;
  std::vector<StorageSlot> storages;
  std::vector<StreamSlot> streams;
  std::vector<EnumSlot> enums;
  std::string message;
  size_t steps = 0;
  std::string image_path = ImagePath();
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

  void Count(OpKind kind, bool success) {
    ++ran[static_cast<size_t>(kind)];
    if (success) ++succeeded[static_cast<size_t>(kind)];
  }

  bool Fail(const Op& op, const std::string& what) {
    if (message.empty()) {
      message = "after " + std::to_string(steps) + " operations, at " +
                Describe(op) + ": " + what;
    }
    return false;
  }

  void BuildHierarchy(uint32_t setup) {
    QssHier_Reset();
    hierarchy.assign(1, HierBlock{});
    std::mt19937 rng(setup >> 1);
    const int count = 2 + static_cast<int>(rng() % 6);
    for (int block = 1; block <= count; ++block) {
      HierBlock entry;
      if (block > 1 && rng() % 10 != 0) {
        entry.container = 1 + static_cast<int>(rng() % (block - 1));
      }
      entry.name = BlockNames()[rng() % BlockNames().size()];
      QssHier_AddBlock(entry.container, entry.name.c_str());
      hierarchy.push_back(entry);
    }
  }

  bool OverBudget(size_t extra_nodes, size_t extra_bytes) const {
    size_t nodes = extra_nodes;
    size_t bytes = extra_bytes;
    if (model.root() != nullptr) {
      Model::SubtreeCost(*model.root(), &nodes, &bytes);
    }
    return nodes > kMaxNodes || bytes > kMaxBytes;
  }

  bool Resolve(const Op& op, Call* call);
  void CallLibrary(Call& call, Outcome* out);
  void CallModel(Call& call, Outcome* out);
  bool Conclude(const Op& op, Call& call, Outcome& library, Outcome& model);
  void Adopt(Outcome& library, Outcome& model);
  bool DriverOp(const Op& op);
  bool ReleaseAll(const Op& op);
  void ReleaseEverything();
  // `compare_tree` false: the checker alone. The element list of `ignore`
  // is not compared.
  bool CheckState(const Op& op, bool compare_tree, const ModelNode* ignore,
                  bool final);
  std::string CompareTree(const ModelNode* ignore) const;
};

bool Runner::State::Resolve(const Op& op, Call* call) {
  const uint8_t* a = op.arg;
  call->kind = op.kind;
  if (Grows(op.kind) && OverBudget(0, 0)) return false;
  const auto& names = Names();
  auto need_storage = [&](uint8_t arg) {
    call->storage = PickSlot(storages.size(), arg);
    return call->storage >= 0;
  };
  // Most of the time a name that an element of the storage has, so that
  // opens, destroys, renames and moves meet something.
  auto name_in = [&](int storage, uint8_t arg) {
    const ModelNode& node = *storages[storage].model->node;
    if (arg < 160 && !node.entries.empty()) {
      const ModelNode& child = *node.entries[arg % node.entries.size()]->child;
      return NameArg::Of(FromAnsi(child.name));
    }
    return names[arg % names.size()];
  };
  auto need_stream = [&](uint8_t arg) {
    call->stream = PickSlot(streams.size(), arg);
    return call->stream >= 0;
  };
  auto pick_dest_storage = [&](uint8_t arg) {
    if (arg % 13 == 0) {
      call->dest_null = true;
      return;
    }
#if defined(_WIN32)
    if (arg % 13 == 1 && options.foreign_destinations) {
      call->dest_foreign = true;
      return;
    }
#endif
    call->dest = PickSlot(storages.size(), arg);
  };
  switch (op.kind) {
    case OpKind::kGetRoot:
      return true;
    case OpKind::kCreateStream:
    case OpKind::kOpenStream:
    case OpKind::kCreateStorage:
    case OpKind::kOpenStorage:
      if (!need_storage(a[0])) return false;
      call->name = name_in(call->storage, a[1]);
      call->mode = Pick(kModes, a[2]);
      call->null_out = Variant(a[3], 0);
      call->null_a = Variant(a[3], 1);  // OpenStream's reserved pointer
      call->priority = op.kind == OpKind::kOpenStorage && Variant(a[3], 2);
      call->exclude = op.kind == OpKind::kOpenStorage && Variant(a[3], 3);
      return true;
    case OpKind::kDestroyElement:
      if (!need_storage(a[0])) return false;
      call->name = name_in(call->storage, a[1]);
      return true;
    case OpKind::kRenameElement:
      if (!need_storage(a[0])) return false;
      call->name = name_in(call->storage, a[1]);
      call->name2 = names[a[2] % names.size()];
      return true;
    case OpKind::kStatStorage:
      if (!need_storage(a[0])) return false;
      call->flag = Pick(kStatFlags, a[1]);
      call->null_out = Variant(a[2], 0);
      return true;
    case OpKind::kSetClass:
      if (!need_storage(a[0])) return false;
      call->clsid = ClsidChoice(a[1]);
      call->null_out = Variant(a[2], 0);
      return true;
    case OpKind::kFixedStorageCalls:
      if (!need_storage(a[0])) return false;
      call->which = a[1] % 4;
      return true;
    case OpKind::kEnumElements:
      if (!need_storage(a[0])) return false;
      call->null_out = Variant(a[1], 0);
      return true;
    case OpKind::kCopyTo: {
      if (!need_storage(a[0])) return false;
      pick_dest_storage(a[1]);
      if (call->dest < 0 && !call->dest_null && !call->dest_foreign) {
        return false;
      }
      // Interface lists: none; an empty one (class id only); IStream,
      // IStorage, both, another interface; a count with a null list.
      CopyArgs& copy = call->copy;
      copy.null_iids = true;
      switch (a[2] % 8) {
        case 0:
          break;
        case 1:
          copy.null_iids = false;
          break;
        case 2:
          copy.iids = {ExcludedIid::kStream};
          break;
        case 3:
          copy.iids = {ExcludedIid::kStorage};
          break;
        case 4:
          copy.iids = {ExcludedIid::kStream, ExcludedIid::kStorage};
          break;
        case 5:
          copy.iids = {ExcludedIid::kOther};
          break;
        case 6:
          copy.count = 3;
          break;
        default:
          copy.iids = {ExcludedIid::kOther, ExcludedIid::kStream,
                       ExcludedIid::kStorage};
          break;
      }
      if (!copy.iids.empty()) {
        copy.count = static_cast<uint32_t>(copy.iids.size());
        copy.null_iids = false;
      }
      switch (a[3] % 8) {
        case 4:
          copy.null_names = false;
          copy.names = {names[0].wide};
          break;
        case 5:
          copy.null_names = false;
          copy.names = {names[0].wide, names[1].wide, names[4].wide};
          break;
        case 6: {
          const NameArg& n = names[(a[3] / 8) % names.size()];
          copy.null_names = false;
          copy.names = {n.null ? names[0].wide : n.wide};
          break;
        }
        case 7:
          copy.null_names = false;
          break;
        default:
          break;
      }
      const ModelNode& source = *storages[call->storage].model->node;
      size_t nodes = 0, bytes = 0;
      Model::SubtreeCost(source, &nodes, &bytes);
      return !OverBudget(nodes, bytes);
    }
    case OpKind::kMoveElementTo: {
      if (!need_storage(a[0])) return false;
      call->name = name_in(call->storage, a[1]);
      pick_dest_storage(a[2]);
      if (call->dest < 0 && !call->dest_null && !call->dest_foreign) {
        return false;
      }
      call->name2 = names[a[3] % names.size()];
      call->flag = Pick(kMoveFlags, a[4]);
      // A compound file takes names of 1 to 31 characters (an empty one it
      // accepts and loses).
      if (call->dest_foreign && !call->name2.null &&
          (call->name2.wide.empty() || call->name2.wide.size() > 31)) {
        call->name2 = names[0];
      }
      const ModelNode& source = *storages[call->storage].model->node;
      size_t nodes = 0, bytes = 0;
      Model::SubtreeCost(source, &nodes, &bytes);
      return !OverBudget(nodes, bytes);
    }
    case OpKind::kRead: {
      if (!need_stream(a[0])) return false;
      call->value = Pick(kReadCounts, a[1]);
      call->null_a = Variant(a[2], 0);  // buffer
      call->null_b = Variant(a[2], 1);  // count read
      // Room for what the model expects and a guard after it: a read past
      // it shows as a changed guard, or to AddressSanitizer.
      const ModelStream& t = *streams[call->stream].model;
      const uint64_t size = t.node->bytes.size();
      const uint64_t left = t.position < size ? size - t.position : 0;
      call->buffer_size =
          static_cast<size_t>(std::min<uint64_t>(call->value, left)) + 64;
      return true;
    }
    case OpKind::kWrite:
      if (!need_stream(a[0])) return false;
      call->data = Pattern(Pick(kWriteLengths, a[1]), a[2]);
      call->null_a = Variant(a[3], 0);
      call->null_b = Variant(a[3], 1);
      return true;
    case OpKind::kSeek:
      if (!need_stream(a[0])) return false;
      call->move = Pick(kSeekMoves, a[1]);
      call->flag = Pick(kSeekOrigins, a[2]);
      call->null_out = Variant(a[3], 0);
      return true;
    case OpKind::kSetSize:
      if (!need_stream(a[0])) return false;
      call->value = Pick(kSizes, a[1]);
      return true;
    case OpKind::kStreamCopyTo:
      if (!need_stream(a[0])) return false;
      if (a[1] % 11 == 0) {
        call->dest_null = true;
      } else {
        call->dest = PickSlot(streams.size(), a[1]);
      }
      call->value = Pick(kCopyCounts, a[2]);
      call->null_a = Variant(a[3], 0);
      call->null_b = Variant(a[3], 1);
      // Into an object over the same stream, the copy reads what it writes
      // and, unbounded, runs until the store is full: where exactly is the
      // store's business, not the model's.
      if (call->dest >= 0 &&
          streams[call->dest].model->node ==
              streams[call->stream].model->node &&
          call->value > 0xFFFF) {
        call->value = 3000;
      }
      return true;
    case OpKind::kStatStream:
      if (!need_stream(a[0])) return false;
      call->flag = Pick(kStatFlags, a[1]);
      call->null_out = Variant(a[2], 0);
      return true;
    case OpKind::kClone:
      if (!need_stream(a[0])) return false;
      call->null_out = Variant(a[1], 0);
      return true;
    case OpKind::kFixedStreamCalls:
      if (!need_stream(a[0])) return false;
      call->which = a[1] % 4;
      return true;
    case OpKind::kNext:
    case OpKind::kSkip:
    case OpKind::kReset:
    case OpKind::kEnumClone:
      call->enumerator = PickSlot(enums.size(), a[0]);
      if (call->enumerator < 0) return false;
      call->value = op.kind == OpKind::kSkip ? Pick(kSkipCounts, a[1])
                                             : Pick(kNextCounts, a[1]);
      call->null_a = Variant(a[op.kind == OpKind::kNext ? 2 : 1], 0);
      call->null_b = Variant(a[2], 1);
      return true;
    case OpKind::kQueryInterface: {
      call->object_class = a[0] % 3;
      const size_t held = call->object_class == 0   ? storages.size()
                          : call->object_class == 1 ? streams.size()
                                                    : enums.size();
      call->object = PickSlot(held, a[1]);
      if (call->object < 0) return false;
      call->iid = a[2];
      call->null_out = Variant(a[3], 0);
      return true;
    }
    case OpKind::kGetObjectStorage:
    case OpKind::kDelObjectStorage:
    case OpKind::kRenObjectStorage: {
      call->block = 1 + a[0] % static_cast<int>(hierarchy.size() - 1);
      call->selector = Pick(kSelectors, a[1]);
      call->null_out = Variant(a[2], 0);
      const auto& blocks = BlockNames();
      call->old_null = a[2] % 8 == 0;
      call->old_name = a[2] % 8 == 1 ? hierarchy[call->block].name
                                     : blocks[a[2] % blocks.size()];
      call->new_null = a[3] % 16 == 0;
      call->new_name = blocks[a[3] % blocks.size()];
      call->rename_block = a[4] % 4 == 0;
      return true;
    }
    case OpKind::kRestoreRefCounts:
    case OpKind::kClearRoot:
      call->alias = a[0] % 2 == 1;
      return true;
    default:
      return false;
  }
}

void Runner::State::CallLibrary(Call& c, Outcome* out) {
  IStorage* s = c.storage >= 0 ? storages[c.storage].real : nullptr;
  IStream* t = c.stream >= 0 ? streams[c.stream].real : nullptr;
  IEnumSTATSTG* e = c.enumerator >= 0 ? enums[c.enumerator].real : nullptr;
  const OLECHAR* name = c.name.null ? nullptr : c.name.wide.c_str();
  const OLECHAR* name2 = c.name2.null ? nullptr : c.name2.wide.c_str();
  switch (c.kind) {
    case OpKind::kGetRoot: {
      IStorage* root = Library([] { return GetRootIStorage(); });
      out->Fact(root != nullptr ? "object" : "no object");
      out->failed = root == nullptr;
      out->code = root == nullptr ? E_OUTOFMEMORY : S_OK;
      out->storage = root;
      return;
    }
    case OpKind::kCreateStream:
    case OpKind::kOpenStream: {
      IStream* made = FilledPointer<IStream>();
      IStream** where = c.null_out ? nullptr : &made;
      void* reserved = c.null_a ? &made : nullptr;
      out->Result(Library([&] {
        return c.kind == OpKind::kCreateStream
                   ? s->CreateStream(name, c.mode, 0, 0, where)
                   : s->OpenStream(name, reserved, c.mode, 0, where);
      }));
      if (where != nullptr) {
        out->Fact("out " + OutText(made));
        if (OutText(made) == "object") out->stream = made;
      }
      return;
    }
    case OpKind::kCreateStorage:
    case OpKind::kOpenStorage: {
      IStorage* made = FilledPointer<IStorage>();
      IStorage** where = c.null_out ? nullptr : &made;
      OLECHAR exclusion[] = {'x', 0};
      OLECHAR* exclusions[] = {exclusion, nullptr};
      out->Result(Library([&] {
        return c.kind == OpKind::kCreateStorage
                   ? s->CreateStorage(name, c.mode, 0, 0, where)
                   : s->OpenStorage(name, c.priority ? s : nullptr, c.mode,
                                    c.exclude ? exclusions : nullptr, 0, where);
      }));
      if (where != nullptr) {
        out->Fact("out " + OutText(made));
        if (OutText(made) == "object") out->storage = made;
      }
      return;
    }
    case OpKind::kDestroyElement:
      out->Result(Library([&] { return s->DestroyElement(name); }));
      return;
    case OpKind::kRenameElement:
      out->Result(Library([&] { return s->RenameElement(name, name2); }));
      return;
    case OpKind::kStatStorage:
    case OpKind::kStatStream: {
      STATSTG record = FilledRecord();
      STATSTG* where = c.null_out ? nullptr : &record;
      out->Result(Library([&] {
        return c.kind == OpKind::kStatStorage ? s->Stat(where, c.flag)
                                              : t->Stat(where, c.flag);
      }));
      if (where != nullptr) {
        out->Fact("record " + RecordText(record));
        FreeName(&record);
      }
      return;
    }
    case OpKind::kSetClass: {
      CLSID clsid;
      std::memcpy(&clsid, c.clsid.data(), sizeof clsid);
      if (!c.null_out) {
        out->Result(Library([&] { return s->SetClass(clsid); }));
        return;
      }
      // A C caller's null REFCLSID, through the table as C calls it.
      using SetClassSlot = HRESULT(STDMETHODCALLTYPE*)(IStorage*, const CLSID*);
      constexpr int kSetClassSlot = 15;
      SetClassSlot set_class =
          (*reinterpret_cast<SetClassSlot* const*>(s))[kSetClassSlot];
      out->Result(Library([&] { return set_class(s, nullptr); }));
      return;
    }
    case OpKind::kFixedStorageCalls: {
      FILETIME time = {1, 2};
      switch (c.which) {
        case 0:
          out->Result(Library([&] { return s->Commit(0x7); }));
          break;
        case 1:
          out->Result(Library([&] { return s->Revert(); }));
          break;
        case 2:
          out->Result(Library([&] { return s->SetStateBits(0xFF, 0xFF); }));
          break;
        default:
          out->Result(Library(
              [&] { return s->SetElementTimes(name, &time, &time, &time); }));
          break;
      }
      return;
    }
    case OpKind::kEnumElements: {
      IEnumSTATSTG* made = FilledPointer<IEnumSTATSTG>();
      IEnumSTATSTG** where = c.null_out ? nullptr : &made;
      out->Result(
          Library([&] { return s->EnumElements(0, nullptr, 0, where); }));
      if (where != nullptr) {
        out->Fact("out " + OutText(made));
        if (OutText(made) == "object") out->enumerator = made;
      }
      return;
    }
    case OpKind::kCopyTo:
    case OpKind::kMoveElementTo: {
      IStorage* dest = nullptr;
      if (c.dest >= 0) dest = storages[c.dest].real;
#if defined(_WIN32)
      if (c.dest_foreign) dest = NewCompoundFile();
#endif
      if (c.kind == OpKind::kCopyTo) {
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
        out->Result(Library([&] {
          return s->CopyTo(c.copy.count,
                           c.copy.null_iids ? nullptr : iids.data(),
                           c.copy.null_names ? nullptr : block.data(), dest);
        }));
      } else {
        out->Result(Library(
            [&] { return s->MoveElementTo(name, dest, name2, c.flag); }));
      }
#if defined(_WIN32)
      if (c.dest_foreign && dest != nullptr) {
        out->foreign = DescribeForeign(dest);
        dest->Release();
      }
#endif
      return;
    }
    case OpKind::kRead: {
      std::vector<uint8_t> buffer(c.buffer_size, 0xCC);
      ULONG read = 0xA5A5A5A5;
      out->Result(Library([&] {
        return t->Read(c.null_a ? nullptr : buffer.data(),
                       static_cast<ULONG>(c.value), c.null_b ? nullptr : &read);
      }));
      if (!c.null_b) out->Fact("read " + std::to_string(read));
      out->Fact("buffer " + Digest(buffer.data(), buffer.size()));
      return;
    }
    case OpKind::kWrite: {
      ULONG written = 0xA5A5A5A5;
      out->Result(Library([&] {
        return t->Write(c.null_a ? nullptr : c.data.data(),
                        static_cast<ULONG>(c.data.size()),
                        c.null_b ? nullptr : &written);
      }));
      if (!c.null_b) out->Fact("written " + std::to_string(written));
      return;
    }
    case OpKind::kSeek: {
      LARGE_INTEGER move;
      move.QuadPart = c.move;
      ULARGE_INTEGER position;
      position.QuadPart = 0xA5A5A5A5A5A5A5A5ull;
      out->Result(Library([&] {
        return t->Seek(move, c.flag, c.null_out ? nullptr : &position);
      }));
      if (!c.null_out) out->Fact("position " + Hex(position.QuadPart));
      return;
    }
    case OpKind::kSetSize: {
      ULARGE_INTEGER size;
      size.QuadPart = c.value;
      out->Result(Library([&] { return t->SetSize(size); }));
      return;
    }
    case OpKind::kStreamCopyTo: {
      IStream* dest = c.dest >= 0 ? streams[c.dest].real : nullptr;
      ULARGE_INTEGER count;
      count.QuadPart = c.value;
      ULARGE_INTEGER read;
      ULARGE_INTEGER written;
      read.QuadPart = written.QuadPart = 0xA5A5A5A5A5A5A5A5ull;
      out->Result(Library([&] {
        return t->CopyTo(dest, count, c.null_a ? nullptr : &read,
                         c.null_b ? nullptr : &written);
      }));
      if (!c.null_a) out->Fact("read " + Hex(read.QuadPart));
      if (!c.null_b) out->Fact("written " + Hex(written.QuadPart));
      return;
    }
    case OpKind::kClone: {
      IStream* made = FilledPointer<IStream>();
      IStream** where = c.null_out ? nullptr : &made;
      out->Result(Library([&] { return t->Clone(where); }));
      if (where != nullptr) {
        out->Fact("out " + OutText(made));
        if (OutText(made) == "object") out->stream = made;
      }
      return;
    }
    case OpKind::kFixedStreamCalls: {
      ULARGE_INTEGER any;
      any.QuadPart = 7;
      switch (c.which) {
        case 0:
          out->Result(Library([&] { return t->Commit(0x3); }));
          break;
        case 1:
          out->Result(Library([&] { return t->Revert(); }));
          break;
        case 2:
          out->Result(Library([&] { return t->LockRegion(any, any, 1); }));
          break;
        default:
          out->Result(Library([&] { return t->UnlockRegion(any, any, 1); }));
          break;
      }
      return;
    }
    case OpKind::kNext: {
      const auto count = static_cast<uint32_t>(c.value);
      std::vector<STATSTG> records(count + 1, FilledRecord());
      ULONG fetched = 0xA5A5A5A5;
      out->Result(Library([&] {
        return e->Next(count, c.null_a ? nullptr : records.data(),
                       c.null_b ? nullptr : &fetched);
      }));
      if (!c.null_b) out->Fact("fetched " + std::to_string(fetched));
      if (!c.null_a) {
        for (STATSTG& record : records) {
          out->Fact(RecordText(record));
          FreeName(&record);
        }
      }
      return;
    }
    case OpKind::kSkip:
      out->Result(
          Library([&] { return e->Skip(static_cast<ULONG>(c.value)); }));
      return;
    case OpKind::kReset:
      out->Result(Library([&] { return e->Reset(); }));
      return;
    case OpKind::kEnumClone: {
      IEnumSTATSTG* made = FilledPointer<IEnumSTATSTG>();
      IEnumSTATSTG** where = c.null_a ? nullptr : &made;
      out->Result(Library([&] { return e->Clone(where); }));
      if (where != nullptr) {
        out->Fact("out " + OutText(made));
        if (OutText(made) == "object") out->enumerator = made;
      }
      return;
    }
    case OpKind::kQueryInterface: {
      IUnknown* object =
          c.object_class == 0 ? static_cast<IUnknown*>(storages[c.object].real)
          : c.object_class == 1 ? static_cast<IUnknown*>(streams[c.object].real)
                                : static_cast<IUnknown*>(enums[c.object].real);
      void* got = FilledPointer<void>();
      out->Result(Library([&] {
        return object->QueryInterface(Iid(c.iid), c.null_out ? nullptr : &got);
      }));
      if (!c.null_out) {
        out->Fact(got == static_cast<void*>(object) ? "out same"
                                                    : "out " + OutText(got));
      }
      return;
    }
    case OpKind::kGetObjectStorage: {
      IStorage* made = FilledPointer<IStorage>();
      const int result = Library([&] {
        return GetObjectStorage(c.block, c.selector,
                                c.null_out ? nullptr : &made);
      });
      out->code = result;
      out->Fact("result " + std::to_string(result));
      if (!c.null_out) {
        out->Fact("out " + OutText(made));
        if (OutText(made) == "object") out->storage = made;
      }
      out->failed = out->storage == nullptr;
      return;
    }
    case OpKind::kDelObjectStorage:
    case OpKind::kRenObjectStorage: {
      const int result = Library([&] {
        return c.kind == OpKind::kDelObjectStorage
                   ? DelObjectStorage(c.block, c.selector)
                   : RenObjectStorage(
                         c.block, c.selector,
                         c.old_null ? nullptr : c.old_name.c_str(),
                         c.new_null ? nullptr : c.new_name.c_str());
      });
      out->code = result;
      out->failed = result != 0;
      out->Fact("result " + std::to_string(result));
      return;
    }
    case OpKind::kRestoreRefCounts:
    case OpKind::kClearRoot:
      out->code = Library(
          [&] { return Maintenance(c.kind == OpKind::kClearRoot, c.alias); });
      out->Fact("result " + std::to_string(out->code));
      return;
    default:
      return;
  }
}

void Runner::State::CallModel(Call& c, Outcome* out) {
  ModelStorage* s = c.storage >= 0 ? storages[c.storage].model.get() : nullptr;
  ModelStream* t = c.stream >= 0 ? streams[c.stream].model.get() : nullptr;
  ModelEnum* e = c.enumerator >= 0 ? enums[c.enumerator].model : nullptr;
  auto out_fact = [&](HRESULT hr, bool made) {
    out->Result(hr);
    if (!c.null_out)
      out->Fact(std::string("out ") + (made ? "object" : "null"));
  };
  switch (c.kind) {
    case OpKind::kGetRoot:
      out->model_storage = model.GetRoot();
      out->Fact("object");
      return;
    case OpKind::kCreateStream:
    case OpKind::kOpenStream: {
      const HRESULT hr =
          c.kind == OpKind::kCreateStream
              ? model.CreateStream(*s, c.name, c.mode, c.null_out,
                                   &out->model_stream)
              : model.OpenStream(*s, c.name, c.mode, c.null_out,
                                 &out->model_stream);
      out_fact(hr, hr == S_OK);
      return;
    }
    case OpKind::kCreateStorage:
    case OpKind::kOpenStorage: {
      const HRESULT hr =
          c.kind == OpKind::kCreateStorage
              ? model.CreateStorage(*s, c.name, c.mode, c.null_out,
                                    &out->model_storage)
              : model.OpenStorage(*s, c.name, c.priority, c.exclude, c.mode,
                                  c.null_out, &out->model_storage);
      out_fact(hr, hr == S_OK);
      return;
    }
    case OpKind::kDestroyElement:
      out->Result(model.DestroyElement(*s, c.name));
      return;
    case OpKind::kRenameElement:
      out->Result(model.RenameElement(*s, c.name, c.name2));
      return;
    case OpKind::kStatStorage:
    case OpKind::kStatStream: {
      STATSTG record = FilledRecord();
      out->Result(c.kind == OpKind::kStatStorage
                      ? model.Stat(*s, c.null_out, c.flag, &record)
                      : model.Stat(*t, c.null_out, c.flag, &record));
      if (!c.null_out) out->Fact("record " + RecordText(record));
      return;
    }
    case OpKind::kSetClass:
      out->Result(model.SetClass(*s, c.null_out, c.clsid));
      return;
    case OpKind::kFixedStorageCalls:
      out->Result(c.which == 3 ? E_NOTIMPL : S_OK);
      return;
    case OpKind::kEnumElements: {
      const HRESULT hr = model.EnumElements(*s, c.null_out, &out->model_enum);
      out_fact(hr, hr == S_OK);
      return;
    }
    case OpKind::kCopyTo:
    case OpKind::kMoveElementTo: {
      ModelStorage* dest = c.dest >= 0 ? storages[c.dest].model.get() : nullptr;
      ModelStorage scratch{Model::NewScratchStorage()};
      if (c.dest_foreign) dest = &scratch;
      if (c.kind == OpKind::kCopyTo) {
        const HRESULT hr = model.CopyTo(*s, c.copy, dest, !c.dest_foreign);
        c.exact = !c.dest_foreign || hr == STG_E_REVERTED ||
                  hr == STG_E_INVALIDPOINTER ||
                  (c.copy.count == 0 && !c.copy.null_iids);
        out->Result(hr);
      } else if (!c.dest_foreign) {
        out->Result(
            model.MoveElementTo(*s, c.name, dest, true, c.name2, c.flag));
      } else {
        // The source goes only once the foreign destination has taken the
        // copy; Conclude removes it then.
        NodePtr child;
        HRESULT hr = model.MoveElementChecks(*s, c.name, dest, false, c.name2,
                                             c.flag, &child);
        c.exact = hr != S_OK;
        if (hr == S_OK) {
          hr = model.MoveElementTo(*s, c.name, dest, false, c.name2,
                                   STGMOVE_COPY);
        }
        out->Result(hr);
      }
      if (c.dest_foreign) {
        out->foreign = DescribeModel(
            *scratch.node,
            c.kind == OpKind::kMoveElementTo ? &c.name2.wide : nullptr);
      }
      return;
    }
    case OpKind::kRead: {
      std::vector<uint8_t> got;
      out->Result(
          model.Read(*t, static_cast<uint32_t>(c.value), c.null_a, &got));
      if (!c.null_b) out->Fact("read " + std::to_string(got.size()));
      std::vector<uint8_t> buffer(c.buffer_size, 0xCC);
      std::copy(got.begin(), got.end(), buffer.begin());
      out->Fact("buffer " + Digest(buffer.data(), buffer.size()));
      return;
    }
    case OpKind::kWrite: {
      uint32_t written = 0;
      out->Result(model.Write(*t, c.data, c.null_a, &written));
      if (!c.null_b) out->Fact("written " + std::to_string(written));
      return;
    }
    case OpKind::kSeek: {
      uint64_t position = 0xA5A5A5A5A5A5A5A5ull;
      out->Result(model.Seek(*t, c.move, c.flag, &position));
      if (!c.null_out) out->Fact("position " + Hex(position));
      return;
    }
    case OpKind::kSetSize:
      out->Result(model.SetSize(*t, c.value));
      return;
    case OpKind::kStreamCopyTo: {
      ModelStream* dest = c.dest >= 0 ? streams[c.dest].model.get() : nullptr;
      uint64_t read = 0;
      uint64_t written = 0;
      out->Result(model.CopyTo(*t, dest, c.value, &read, &written));
      if (!c.null_a) out->Fact("read " + Hex(read));
      if (!c.null_b) out->Fact("written " + Hex(written));
      return;
    }
    case OpKind::kClone: {
      const HRESULT hr = model.Clone(*t, c.null_out, &out->model_stream);
      out_fact(hr, hr == S_OK);
      return;
    }
    case OpKind::kFixedStreamCalls:
      out->Result(c.which >= 2 ? E_NOTIMPL : S_OK);
      return;
    case OpKind::kNext: {
      const auto count = static_cast<uint32_t>(c.value);
      std::vector<STATSTG> records(count + 1, FilledRecord());
      uint32_t fetched = 0;
      out->Result(model.Next(*e, count, c.null_a, &records, &fetched));
      if (!c.null_b) out->Fact("fetched " + std::to_string(fetched));
      if (!c.null_a) {
        for (const STATSTG& record : records) out->Fact(RecordText(record));
      }
      return;
    }
    case OpKind::kSkip:
      out->Result(model.Skip(*e, static_cast<uint32_t>(c.value)));
      return;
    case OpKind::kReset:
      out->Result(model.Reset(*e));
      return;
    case OpKind::kEnumClone: {
      const HRESULT hr = model.Clone(*e, c.null_a, &out->model_enum);
      out->Result(hr);
      if (!c.null_a)
        out->Fact(std::string("out ") + (hr == S_OK ? "object" : "null"));
      return;
    }
    case OpKind::kQueryInterface: {
      static const int kOffered[3][2] = {{0, 1}, {0, 2}, {0, 4}};
      const int iid = c.iid % 6;
      const bool offered = iid == kOffered[c.object_class][0] ||
                           iid == kOffered[c.object_class][1] ||
                           (c.object_class == 1 && iid == 3);
      if (c.null_out) {
        out->Result(E_POINTER);
        return;
      }
      out->Result(offered ? S_OK : E_NOINTERFACE);
      out->Fact(offered ? "out same" : "out null");
      return;
    }
    case OpKind::kGetObjectStorage: {
      const int result = model.GetObjectStorage(
          hierarchy, c.block, c.selector, c.null_out, &out->model_storage);
      out->code = result;
      out->Fact("result " + std::to_string(result));
      if (!c.null_out) {
        out->Fact(std::string("out ") +
                  (out->model_storage != nullptr ? "object" : "null"));
      }
      return;
    }
    case OpKind::kDelObjectStorage:
      out->code = model.DelObjectStorage(hierarchy, c.block, c.selector);
      out->Fact("result " + std::to_string(out->code));
      return;
    case OpKind::kRenObjectStorage:
      out->code = model.RenObjectStorage(hierarchy, c.block, c.selector,
                                         c.old_null ? nullptr : &c.old_name,
                                         c.new_null ? nullptr : &c.new_name);
      out->Fact("result " + std::to_string(out->code));
      return;
    case OpKind::kRestoreRefCounts:
      model.RestoreRefCounts();
      out->Fact("result 1");
      return;
    case OpKind::kClearRoot:
      model.ClearRoot();
      out->Fact("result 1");
      return;
    default:
      return;
  }
}

// Pairs the objects the two halves handed out; an object only one side
// made is let go on that side.
void Runner::State::Adopt(Outcome& library, Outcome& model_side) {
  auto drop_real = [](IUnknown* object) {
    for (int i = 0; i < 1000 && object->Release() != 0; ++i) {
    }
  };
  if (library.storage != nullptr && model_side.model_storage != nullptr &&
      storages.size() < kMaxSlots) {
    storages.push_back({library.storage, std::move(model_side.model_storage)});
  } else if (library.storage != nullptr) {
    drop_real(library.storage);
  }
  if (library.stream != nullptr && model_side.model_stream != nullptr &&
      streams.size() < kMaxSlots) {
    streams.push_back({library.stream, std::move(model_side.model_stream)});
  } else if (library.stream != nullptr) {
    drop_real(library.stream);
  }
  if (library.enumerator != nullptr && model_side.model_enum != nullptr &&
      enums.size() < kMaxSlots) {
    enums.push_back({library.enumerator, model_side.model_enum});
    model_side.model_enum = nullptr;
  } else if (library.enumerator != nullptr) {
    drop_real(library.enumerator);
  }
  if (model_side.model_enum != nullptr) model.DropEnum(model_side.model_enum);
}

bool Runner::State::Conclude(const Op& op, Call& c, Outcome& library,
                             Outcome& model_side) {
  bool agree = library.facts == model_side.facts;
  if (c.dest_foreign && !c.exact) {
    // A foreign destination may refuse what ours would take (names too
    // long, or equal but for case); what it took must be the copy.
    const bool copied = library.code == S_OK;
    agree = copied ? model_side.code == S_OK &&
                         library.foreign == model_side.foreign
                   : FAILED(library.code);
    if (copied && c.kind == OpKind::kMoveElementTo && c.flag == STGMOVE_MOVE) {
      model.DestroyElement(*storages[c.storage].model, c.name);
    }
  } else if (c.dest_foreign) {
    agree = agree && library.foreign == model_side.foreign;
  }
  if (agree && c.kind == OpKind::kQueryInterface && library.code == S_OK) {
    // The interface handed out is one more reference to the same object.
    if (c.object_class == 0) ++storages[c.object].model->refs;
    if (c.object_class == 1) ++streams[c.object].model->refs;
    if (c.object_class == 2) ++enums[c.object].model->refs;
  }
  if (agree && c.kind == OpKind::kRenObjectStorage && library.code == 0 &&
      c.rename_block && !c.new_null) {
    // The host renames its block as well.
    QssHier_Rename(c.block, c.new_name.c_str());
    hierarchy[c.block].name = c.new_name;
  }
  Adopt(library, model_side);
  if (!agree) {
    std::string what =
        "library and model disagree\n  library: " + Join(library.facts) +
        "\n  model:   " + Join(model_side.facts);
    if (c.dest_foreign) {
      what += "\n  library destination: " + library.foreign +
              "\n  model destination:   " + model_side.foreign;
    }
    return Fail(op, what);
  }
  return CheckState(op, true, nullptr, false);
}

bool Runner::State::ReleaseAll(const Op& op) {
  bool ok = true;
  auto release = [&](IUnknown* real, uint32_t refs) {
    for (uint32_t left = refs; left-- > 0;) {
      const ULONG got = real->Release();
      if (got != left) {
        ok = Fail(op, "Release answered " + std::to_string(got) +
                          ", the model counts " + std::to_string(left));
        // The library's count decides how often it can still be called.
        for (int i = 0; i < 1000 && got != 0 && real->Release() != 0; ++i) {
        }
        return;
      }
    }
  };
  for (StorageSlot& slot : storages) release(slot.real, slot.model->refs);
  for (StreamSlot& slot : streams) release(slot.real, slot.model->refs);
  for (EnumSlot& slot : enums) {
    release(slot.real, slot.model->refs);
    model.DropEnum(slot.model);
  }
  storages.clear();
  streams.clear();
  enums.clear();
  return ok;
}

void Runner::State::ReleaseEverything() {
  auto release = [](IUnknown* real) {
    for (int i = 0; i < 1000 && real->Release() != 0; ++i) {
    }
  };
  for (StorageSlot& slot : storages) release(slot.real);
  for (StreamSlot& slot : streams) release(slot.real);
  for (EnumSlot& slot : enums) {
    release(slot.real);
    model.DropEnum(slot.model);
  }
  storages.clear();
  streams.clear();
  enums.clear();
}

bool Runner::State::DriverOp(const Op& op) {
  const uint8_t* a = op.arg;
  switch (op.kind) {
    case OpKind::kAddRef:
    case OpKind::kRelease: {
      const int cls = a[0] % 3;
      const size_t held = cls == 0   ? storages.size()
                          : cls == 1 ? streams.size()
                                     : enums.size();
      const int at = PickSlot(held, a[1]);
      if (at < 0) return true;
      ++steps;
      Count(op.kind, true);
      IUnknown* real = cls == 0   ? static_cast<IUnknown*>(storages[at].real)
                       : cls == 1 ? static_cast<IUnknown*>(streams[at].real)
                                  : static_cast<IUnknown*>(enums[at].real);
      uint32_t& refs = cls == 0   ? storages[at].model->refs
                       : cls == 1 ? streams[at].model->refs
                                  : enums[at].model->refs;
      const bool add = op.kind == OpKind::kAddRef;
      const ULONG got = add ? real->AddRef() : real->Release();
      if (add) {
        ++refs;
      } else {
        --refs;
      }
      const uint32_t expected = refs;
      if (got == 0 || expected == 0) {
        if (cls == 0) storages.erase(storages.begin() + at);
        if (cls == 1) streams.erase(streams.begin() + at);
        if (cls == 2) {
          model.DropEnum(enums[at].model);
          enums.erase(enums.begin() + at);
        }
        if (got != 0) {
          for (int i = 0; i < 1000 && real->Release() != 0; ++i) {
          }
        }
      }
      if (got != expected) {
        return Fail(op, "the count is " + std::to_string(got) +
                            ", the model counts " + std::to_string(expected));
      }
      return CheckState(op, true, nullptr, false);
    }
    case OpKind::kReleaseAll:
      ++steps;
      Count(op.kind, true);
      return ReleaseAll(op) && CheckState(op, true, nullptr, false);
    case OpKind::kSave:
      ++steps;
      Count(op.kind, true);
      // Objects may be held: none of them keeps anything in the plex.
      if (QssPlex_Save(image_path.c_str()) != 0) {
        return Fail(op, "the plex could not be saved to " + image_path);
      }
      image_tree = model.CopyTree();
      have_image = true;
      return CheckState(op, true, nullptr, false);
    case OpKind::kLoad:
      if (!have_image) return true;
      ++steps;
      Count(op.kind, true);
      // As the host does, no object survives a reload.
      if (!ReleaseAll(op)) return false;
      if (QssPlex_Load(image_path.c_str()) != 0) {
        return Fail(op, "the saved plex could not be loaded");
      }
      model.ReplaceTree(image_tree);
      return CheckState(op, true, nullptr, false);
    default:
      return true;
  }
}

namespace {

const int* Block(int id) { return ib0 + DMS_LOCATI(&id); }

std::string RecordedName(const int* node, const qss::NodeLayout& layout) {
  const int words = node[layout.name_length_word];
  const char* bytes =
      reinterpret_cast<const char*>(node + layout.name_length_word + 1);
  return std::string(bytes, strnlen(bytes, 4 * static_cast<size_t>(words)));
}

}  // namespace

// The plex against the model, record by record: "" when they agree, else
// the first difference. The element list of `ignore` is not compared.
std::string Runner::State::CompareTree(const ModelNode* ignore) const {
  const int anchor = Block(kAnchorBlock)[kAnchorWord];
  if (model.root() == nullptr) {
    return anchor == 0 ? ""
                       : "the anchor holds " + std::to_string(anchor) +
                             " but the model has no root";
  }
  if (anchor == 0) return "the anchor is empty but the model has a root";
  struct Pending {
    int id;
    const ModelNode* node;
    std::string path;
  };
  std::vector<Pending> pending = {{anchor, model.root().get(), "/"}};
  while (!pending.empty()) {
    const Pending at = pending.back();
    pending.pop_back();
    const ModelNode& m = *at.node;
    const qss::NodeLayout& layout =
        m.storage ? qss::kStorageLayout : qss::kStreamLayout;
    const std::string where =
        at.path + " (block " + std::to_string(at.id) + ")";
    const int words = QssPlex_BlockWords(at.id);
    if (words < layout.name_length_word + 1) {
      return where + ": node not allocated or too short";
    }
    const int* node = Block(at.id);
    const int name_words = node[layout.name_length_word];
    if (name_words < 0 || words != layout.name_length_word + 1 + name_words) {
      return where + ": node size disagrees with its name length";
    }
    if (RecordedName(node, layout) != m.name ||
        name_words != static_cast<int>((m.name.size() + 3) / 4)) {
      return where + ": name differs from the model's";
    }
    if (node[layout.deleted_word] != 0) return where + ": marked deleted";
    if (node[layout.open_count_word] != 0) return where + ": open count set";
    const int mode_word =
        m.storage ? qss::kStorageOpenModeWord : qss::kStreamOpenModeWord;
    if (node[mode_word] != m.mode) {
      return where + ": open mode " +
             Hex(static_cast<uint32_t>(node[mode_word])) + ", the model's " +
             Hex(static_cast<uint32_t>(m.mode));
    }
    if (!m.storage) {
      const uint32_t size = static_cast<uint32_t>(node[qss::kStreamSizeWord]);
      const uint32_t capacity =
          static_cast<uint32_t>(node[qss::kStreamCapacityBytesWord]);
      const int data = node[qss::kStreamDataBlockWord];
      if (size != m.bytes.size()) {
        return where + ": size " + std::to_string(size) + ", the model's " +
               std::to_string(m.bytes.size());
      }
      if (data == 0 || !QssPlex_IsLive(data) ||
          static_cast<uint64_t>(QssPlex_BlockWords(data)) * 4 < capacity ||
          capacity < size) {
        return where + ": data block missing or smaller than the size";
      }
      const auto* bytes = reinterpret_cast<const uint8_t*>(Block(data));
      if (size > 0 && std::memcmp(bytes, m.bytes.data(), size) != 0) {
        return where + ": bytes differ from the model's";
      }
      continue;
    }
    if (std::memcmp(node + qss::kStorageClassIdWord, m.clsid.data(),
                    m.clsid.size()) != 0) {
      return where + ": class id differs from the model's";
    }
    if (at.node == ignore) continue;
    size_t index = 0;
    for (int entry = node[qss::kStorageFirstEntryWord]; entry != 0; ++index) {
      if (QssPlex_BlockWords(entry) != kEntryWords) {
        return where + ": entry " + std::to_string(entry) + " is not an entry";
      }
      const int* words_of = Block(entry);
      if (index >= m.entries.size())
        return where + ": more elements than the model";
      const ModelNode& child = *m.entries[index]->child;
      if (words_of[kEntryKindWord] != (child.storage ? 0 : 1)) {
        return where + ": element " + std::to_string(index) +
               " is of another kind than the model's";
      }
      pending.push_back(
          {words_of[kEntryChildWord], &child,
           at.path + Printable(FromAnsi(child.name).c_str()) + "/"});
      entry = words_of[kEntryNextWord];
    }
    if (index != m.entries.size())
      return where + ": fewer elements than the model";
  }
  return "";
}

bool Runner::State::CheckState(const Op& op, bool compare_tree,
                               const ModelNode* ignore, bool final) {
  if (QssPlex_InBead()) return Fail(op, "the simulation bead was left open");
  if (!options.check_every_op && !final) return true;
  if (compare_tree) {
    const std::string difference = CompareTree(ignore);
    if (!difference.empty()) return Fail(op, "tree differs: " + difference);
  }
  std::vector<qss::AllocatedBlock> blocks;
  for (int id = QssPlex_NextBlockId(0); id != 0; id = QssPlex_NextBlockId(id)) {
    blocks.push_back({id, QssPlex_BlockWords(id)});
  }
  // A destroyed node is freed at once, whoever holds it: at no point may
  // a block be left that the tree does not reach.
  for (const qss::TreeFinding& finding : qss::CheckTree(blocks)) {
    return Fail(op,
                "tree checker: " + finding.location + ": " + finding.message);
  }
  return true;
}

Runner::Runner(uint32_t setup, const RunOptions& options)
    : state_(std::make_unique<State>()) {
  state_->options = options;
  QssPlex_Reset();
  QssPlex_SetMoveOnRealloc(setup & 1);
  state_->BuildHierarchy(setup);
}

Runner::~Runner() {
  state_->ReleaseEverything();
  QssPlex_SetMoveOnRealloc(0);
  if (state_->have_image) std::remove(state_->image_path.c_str());
}

bool Runner::Step(const Op& op) {
  State& s = *state_;
  if (!s.message.empty()) return false;
  if (Releases(op.kind)) return s.DriverOp(op);
  Call call;
  if (!s.Resolve(op, &call)) return true;
  ++s.steps;
  Outcome library;
  Outcome model_side;
  s.CallLibrary(call, &library);
  s.CallModel(call, &model_side);
  const bool maintenance =
      op.kind == OpKind::kRestoreRefCounts || op.kind == OpKind::kClearRoot;
  s.Count(op.kind, maintenance || (!library.failed && library.code != S_FALSE));
  return s.Conclude(op, call, library, model_side);
}

void Runner::Tally(RunResult* result) const {
  for (size_t k = 0; k < result->ran.size(); ++k) {
    result->ran[k] += state_->ran[k];
    result->succeeded[k] += state_->succeeded[k];
  }
}

bool Runner::Finish() {
  State& s = *state_;
  if (!s.message.empty()) return false;
  Op end{OpKind::kReleaseAll, {}};
  return s.ReleaseAll(end) && s.CheckState(end, true, nullptr, true);
}

bool Runner::ObserveLibrary(const Op& op, void (*arm)(), void (*disarm)(),
                            Observation* observed) {
  State& s = *state_;
  s.pending = Call();
  s.pending_library = Outcome();
  if (Releases(op.kind) || !s.Resolve(op, &s.pending)) return false;
  s.pending_op = op;
  ++s.steps;
  s.arm = arm;
  s.disarm = disarm;
  s.CallLibrary(s.pending, &s.pending_library);
  s.arm = s.disarm = nullptr;
  observed->failed = s.pending_library.failed;
  observed->hr = s.pending_library.code;
  observed->summary = Join(s.pending_library.facts);
  observed->handed_out = s.pending_library.storage != nullptr ||
                         s.pending_library.stream != nullptr ||
                         s.pending_library.enumerator != nullptr;
  return true;
}

bool Runner::ConcludeWithModel() {
  State& s = *state_;
  Outcome model_side;
  s.CallModel(s.pending, &model_side);
  return s.Conclude(s.pending_op, s.pending, s.pending_library, model_side);
}

bool Runner::ConcludeWithoutModel() {
  State& s = *state_;
  Call& c = s.pending;
  const Op& op = s.pending_op;
  Outcome& library = s.pending_library;
  if (library.storage != nullptr || library.stream != nullptr ||
      library.enumerator != nullptr) {
    Outcome none;
    s.Adopt(library, none);
    return s.Fail(op, "an object was handed out by a failed call: " +
                          Join(library.facts));
  }
  const ModelNode* ignore = nullptr;
  bool compare_tree = true;
  switch (c.kind) {
    case OpKind::kCreateStorage: {
      // The storage that STGM_CREATE replaces goes first, made or not.
      ModelStorage& parent = *s.storages[c.storage].model;
      bool replaced = false;
      if ((c.mode & STGM_CREATE) != 0 && !c.name.null && !c.name.too_long()) {
        for (const EntryPtr& entry : parent.node->entries) {
          replaced = replaced || (entry->child->storage &&
                                  entry->child->name == c.name.ansi);
        }
      }
      if (replaced) s.model.DestroyElement(parent, c.name);
      break;
    }
    case OpKind::kCopyTo:
    case OpKind::kMoveElementTo:
      // What reached the destination stays there.
      if (c.dest >= 0) ignore = s.storages[c.dest].model->node.get();
      break;
    case OpKind::kGetObjectStorage:
    case OpKind::kDelObjectStorage:
    case OpKind::kRenObjectStorage:
      // Storages made on the way to the failure stay: the checker alone.
      compare_tree = false;
      break;
    default:
      break;
  }
  if (!s.CheckState(op, compare_tree, ignore, false)) return false;
  s.ReleaseEverything();
  return s.CheckState(op, false, nullptr, true);
}

bool Runner::ConcludeLeavingOut() {
  State& s = *state_;
  Call everything = s.pending;
  everything.value += kMaxNodes;
  Outcome model_side;
  s.CallModel(everything, &model_side);
  Outcome none;
  s.Adopt(s.pending_library, none);
  const std::string blank = RecordText(FilledRecord());
  // A slot whose Stat failed may hold a null name and nothing else; it is
  // reused for the next child, and is not a record.
  auto records = [&blank](const std::vector<std::string>& facts) {
    std::vector<std::string> filled;
    for (const std::string& fact : facts) {
      if (fact.compare(0, 5, "{name") == 0 && fact != blank &&
          fact.find("type untouched") == std::string::npos) {
        filled.push_back(fact);
      }
    }
    return filled;
  };
  const std::vector<std::string> given = records(s.pending_library.facts);
  const std::vector<std::string> expected = records(model_side.facts);
  size_t at = 0;
  for (const std::string& record : given) {
    while (at < expected.size() && expected[at] != record) ++at;
    if (at == expected.size()) {
      return s.Fail(s.pending_op,
                    "a record the model does not have: " + record);
    }
    ++at;
  }
  if (given.size() > s.pending.value) {
    return s.Fail(s.pending_op, "more records than asked for");
  }
  s.ReleaseEverything();
  return s.CheckState(s.pending_op, false, nullptr, true);
}

const std::string& Runner::message() const { return state_->message; }

size_t Runner::steps() const { return state_->steps; }

RunResult RunSequence(const Sequence& sequence, const RunOptions& options) {
  RunResult result;
  Runner runner(sequence.setup, options);
  for (size_t i = 0; i < sequence.ops.size(); ++i) {
    if (!runner.Step(sequence.ops[i])) {
      result.ok = false;
      result.failed_op = i;
      result.failed_kind = sequence.ops[i].kind;
      result.message = runner.message();
      result.ops_run = runner.steps();
      runner.Tally(&result);
      return result;
    }
  }
  result.ops_run = runner.steps();
  runner.Tally(&result);
  if (!runner.Finish()) {
    result.ok = false;
    result.failed_op = sequence.ops.size();
    result.message = runner.message();
  }
  return result;
}

Sequence Shrink(const Sequence& sequence, const RunOptions& options,
                const RunResult& failure, int runs) {
  Sequence best = sequence;
  // Nothing after the failing operation matters.
  if (failure.failed_op < best.ops.size()) {
    best.ops.resize(failure.failed_op + 1);
  }
  auto still_fails = [&](const Sequence& candidate) {
    const RunResult result = RunSequence(candidate, options);
    return !result.ok && result.failed_kind == failure.failed_kind;
  };
  // Remove chunks, halving their size whenever no chunk of a size can go.
  for (size_t chunk = std::max<size_t>(best.ops.size() / 2, 1);
       chunk > 0 && runs > 0; chunk /= 2) {
    bool removed = true;
    while (removed && runs > 0) {
      removed = false;
      for (size_t at = 0; at + chunk <= best.ops.size() && runs > 0;) {
        Sequence candidate = best;
        candidate.ops.erase(
            candidate.ops.begin() + static_cast<ptrdiff_t>(at),
            candidate.ops.begin() + static_cast<ptrdiff_t>(at + chunk));
        --runs;
        if (!candidate.ops.empty() && still_fails(candidate)) {
          best = candidate;
          removed = true;
        } else {
          at += chunk;
        }
      }
    }
  }
  return best;
}

}  // namespace qss_reliability
