#include "reliability/run_state.h"

#include <random>

#include "reliability/arguments.h"
#include "standins/hierarchy_controls.h"

namespace qss_reliability {

void Outcome::Result(HRESULT hr) {
  code = hr;
  failed = FAILED(hr);
  Fact("hr " + Code(hr));
}

void Outcome::ModelResult(HRESULT hr, bool null_out) {
  Result(hr);
  if (!null_out) Fact(std::string("out ") + (hr == S_OK ? "object" : "null"));
}

void RunState::Count(OpKind kind, bool success) {
  ++ran[static_cast<size_t>(kind)];
  if (success) ++succeeded[static_cast<size_t>(kind)];
}

void RunState::Begin(const Op& op) {
  ++steps;
  Count(op.kind, true);
}

bool RunState::Fail(const Op& op, const std::string& what) {
  if (message.empty()) {
    message = "after " + std::to_string(steps) + " operations, at " +
              Describe(op) + ": " + what;
  }
  return false;
}

void RunState::BuildHierarchy(uint32_t setup) {
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

bool RunState::OverBudget(size_t extra_nodes, size_t extra_bytes) const {
  size_t nodes = extra_nodes;
  size_t bytes = extra_bytes;
  if (model.root() != nullptr) {
    Model::SubtreeCost(*model.root(), &nodes, &bytes);
  }
  return nodes > kMaxNodes || bytes > kMaxBytes;
}

bool RunState::SubtreeOverBudget(const ModelNode& source) const {
  size_t nodes = 0, bytes = 0;
  Model::SubtreeCost(source, &nodes, &bytes);
  return OverBudget(nodes, bytes);
}

bool RunState::PickStorage(uint8_t arg, Call* call) const {
  call->storage = PickSlot(storages.size(), arg);
  return call->storage >= 0;
}

bool RunState::PickStream(uint8_t arg, Call* call) const {
  call->stream = PickSlot(streams.size(), arg);
  return call->stream >= 0;
}

NameArg RunState::NameIn(int storage, uint8_t arg) const {
  const ModelNode& node = *storages[storage].model->node;
  if (arg < 160 && !node.entries.empty()) {
    const ModelNode& child = *node.entries[arg % node.entries.size()]->child;
    return NameArg::Of(FromAnsi(child.name));
  }
  return Names()[arg % Names().size()];
}

bool RunState::PickDestStorage(uint8_t arg, Call* call) const {
  if (arg % 13 == 0) {
    call->dest_null = true;
    return true;
  }
#if defined(_WIN32)
  if (arg % 13 == 1 && options.foreign_destinations) {
    call->dest_foreign = true;
    return true;
  }
#endif
  call->dest = PickSlot(storages.size(), arg);
  return call->dest >= 0;
}

size_t RunState::Held(int object_class) const {
  return object_class == kStorageClass  ? storages.size()
         : object_class == kStreamClass ? streams.size()
                                        : enums.size();
}

IUnknown* RunState::Object(int object_class, int at) const {
  if (object_class == kStorageClass) return storages[at].real;
  if (object_class == kStreamClass) return streams[at].real;
  return enums[at].real;
}

uint32_t& RunState::Refs(int object_class, int at) {
  if (object_class == kStorageClass) return storages[at].model->refs;
  if (object_class == kStreamClass) return streams[at].model->refs;
  return enums[at].model->refs;
}

void RunState::Forget(int object_class, int at) {
  if (object_class == kStorageClass) storages.erase(storages.begin() + at);
  if (object_class == kStreamClass) streams.erase(streams.begin() + at);
  if (object_class == kEnumClass) {
    model.DropEnum(enums[at].model);
    enums.erase(enums.begin() + at);
  }
}

void ReleaseFully(IUnknown* object) {
  for (int i = 0; i < 1000 && object->Release() != 0; ++i) {
  }
}

void RunState::Adopt(Outcome& library, Outcome& model_side) {
  if (library.storage != nullptr && model_side.model_storage != nullptr &&
      storages.size() < kMaxSlots) {
    storages.push_back({library.storage, std::move(model_side.model_storage)});
  } else if (library.storage != nullptr) {
    ReleaseFully(library.storage);
  }
  if (library.stream != nullptr && model_side.model_stream != nullptr &&
      streams.size() < kMaxSlots) {
    streams.push_back({library.stream, std::move(model_side.model_stream)});
  } else if (library.stream != nullptr) {
    ReleaseFully(library.stream);
  }
  if (library.enumerator != nullptr && model_side.model_enum != nullptr &&
      enums.size() < kMaxSlots) {
    enums.push_back({library.enumerator, model_side.model_enum});
    model_side.model_enum = nullptr;
  } else if (library.enumerator != nullptr) {
    ReleaseFully(library.enumerator);
  }
  if (model_side.model_enum != nullptr) model.DropEnum(model_side.model_enum);
}

bool RunState::ReleaseAll(const Op& op) {
  bool ok = true;
  auto release = [&](IUnknown* real, uint32_t refs) {
    for (uint32_t left = refs; left-- > 0;) {
      const ULONG got = real->Release();
      if (got != left) {
        ok = Fail(op, "Release answered " + std::to_string(got) +
                          ", the model counts " + std::to_string(left));
        // The library's count decides how often it can still be called.
        if (got != 0) ReleaseFully(real);
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

void RunState::ReleaseEverything() {
  for (StorageSlot& slot : storages) ReleaseFully(slot.real);
  for (StreamSlot& slot : streams) ReleaseFully(slot.real);
  for (EnumSlot& slot : enums) {
    ReleaseFully(slot.real);
    model.DropEnum(slot.model);
  }
  storages.clear();
  streams.clear();
  enums.clear();
}

}  // namespace qss_reliability
