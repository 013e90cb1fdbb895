#include "reliability/driver.h"

#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

#include "check/element_lists.h"
#include "check/tree_check.h"
#include "records/node_records.h"
#include "reliability/operations.h"
#include "reliability/run_state.h"
#include "standins/plex_controls.h"

namespace qss_reliability {
namespace {

using qss::kEntryWords;

std::string ImagePath() {
#if defined(_WIN32)
  const int pid = _getpid();
#else
  const int pid = static_cast<int>(getpid());
#endif
  return "qss-reliability-" + std::to_string(pid) + ".img";
}

// The operation's arguments against what is held; false skips it.
bool Resolve(RunState& s, const Op& op, Call* call) {
  const Operation& operation = OperationOf(op.kind);
  call->kind = op.kind;
  if (operation.grows && s.OverBudget(0, 0)) return false;
  return operation.resolve == nullptr || operation.resolve(s, op.arg, call);
}

bool Succeeded(const Operation& operation, const Outcome& library) {
  if (operation.succeeded != nullptr) return operation.succeeded(library);
  return !library.failed && library.code != S_FALSE;
}

}  // namespace

bool RunState::Conclude(const Op& op, Call& c, Outcome& library,
                        Outcome& model_side) {
  const Operation& operation = OperationOf(c.kind);
  const bool agree = operation.agree != nullptr
                         ? operation.agree(*this, c, library, model_side)
                         : library.facts == model_side.facts;
  if (agree && operation.agreed != nullptr) {
    operation.agreed(*this, c, library);
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

namespace {

// The store's allocated blocks, for the walk and the checker.
std::vector<qss::AllocatedBlock> StoreBlocks() {
  std::vector<qss::AllocatedBlock> blocks;
  for (int id = QssPlex_NextBlockId(0); id != 0; id = QssPlex_NextBlockId(id)) {
    blocks.push_back({id, QssPlex_BlockWords(id)});
  }
  return blocks;
}

// A node's record against the model's node: "" when they agree.
std::string CompareNode(const qss::NodeRecord& record, const ModelNode& m) {
  const qss::NodeLayout& layout =
      qss::LayoutOf(m.storage ? qss::kKindStorage : qss::kKindStream);
  if (record.admission != qss::Admission::kAdmitted) {
    return record.admission == qss::Admission::kReachedAgain
               ? "node reached a second time"
               : "node not allocated or too short";
  }
  if (!record.sized_as_named()) {
    return "node size disagrees with its name length";
  }
  const int* node = record.words;
  if (qss::RawRecordName(node, record.block_words, layout) != m.name ||
      record.name_words != static_cast<int>((m.name.size() + 3) / 4)) {
    return "name differs from the model's";
  }
  if (node[layout.deleted_word] != 0) return "marked deleted";
  if (node[layout.open_count_word] != 0) return "open count set";
  const int mode_word =
      m.storage ? qss::kStorageOpenModeWord : qss::kStreamOpenModeWord;
  if (node[mode_word] != m.mode) {
    return "open mode " + Hex(static_cast<uint32_t>(node[mode_word])) +
           ", the model's " + Hex(static_cast<uint32_t>(m.mode));
  }
  if (m.storage && std::memcmp(node + qss::kStorageClassIdWord, m.clsid.data(),
                               m.clsid.size()) != 0) {
    return "class id differs from the model's";
  }
  return "";
}

// A stream's size and bytes against the model's: "" when they agree.
std::string CompareData(const qss::PlexView& view, const int* node,
                        const ModelNode& m) {
  const uint32_t size = static_cast<uint32_t>(node[qss::kStreamSizeWord]);
  const uint32_t capacity =
      static_cast<uint32_t>(node[qss::kStreamCapacityBytesWord]);
  const int data = node[qss::kStreamDataBlockWord];
  if (size != m.bytes.size()) {
    return "size " + std::to_string(size) + ", the model's " +
           std::to_string(m.bytes.size());
  }
  const int* bytes = view.Block(data, 0);
  if (data == 0 || bytes == nullptr ||
      static_cast<uint64_t>(view.Words(data)) * 4 < capacity ||
      capacity < size) {
    return "data block missing or smaller than the size";
  }
  if (size > 0 && std::memcmp(bytes, m.bytes.data(), size) != 0) {
    return "bytes differ from the model's";
  }
  return "";
}

}  // namespace

// The plex against the model, record by record: "" when they agree, else
// the first difference. The element list of `ignore` is not compared.
std::string RunState::CompareTree(
    const ModelNode* ignore,
    const std::vector<qss::AllocatedBlock>& blocks) const {
  qss::RecordWalk walk(blocks);
  int anchor = 0;
  if (!walk.ReadAnchor(&anchor)) return "block 2 cannot hold the root anchor";
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
    const std::string where =
        at.path + " (block " + std::to_string(at.id) + ")";
    const qss::NodeRecord record = walk.AdmitNode(
        at.id, m.storage ? qss::kStorageLayout : qss::kStreamLayout);
    std::string difference = CompareNode(record, m);
    if (difference.empty() && !m.storage) {
      difference = CompareData(walk.view(), record.words, m);
    }
    if (!difference.empty()) return where + ": " + difference;
    if (!m.storage || at.node == ignore) continue;
    size_t index = 0;
    qss::ElementList list = walk.ListOf(record);
    for (qss::ListStep step; list.Next(&step); ++index) {
      if (step.admission != qss::Admission::kAdmitted ||
          step.words != kEntryWords) {
        return where + ": entry " + std::to_string(step.entry) +
               " is not an entry";
      }
      if (index >= m.entries.size())
        return where + ": more elements than the model";
      const ModelNode& child = *m.entries[index]->child;
      if (step.links.kind != (child.storage ? 0 : 1)) {
        return where + ": element " + std::to_string(index) +
               " is of another kind than the model's";
      }
      pending.push_back(
          {step.links.child, &child,
           at.path + Printable(FromAnsi(child.name).c_str()) + "/"});
    }
    if (index != m.entries.size())
      return where + ": fewer elements than the model";
  }
  return "";
}

bool RunState::CheckState(const Op& op, bool compare_tree,
                          const ModelNode* ignore, bool final) {
  if (QssPlex_InBead()) return Fail(op, "the simulation bead was left open");
  if (!options.check_every_op && !final) return true;
  const std::vector<qss::AllocatedBlock> blocks = StoreBlocks();
  if (compare_tree) {
    const std::string difference = CompareTree(ignore, blocks);
    if (!difference.empty()) return Fail(op, "tree differs: " + difference);
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
    : state_(std::make_unique<RunState>()) {
  state_->options = options;
  state_->image_path = ImagePath();
  // The model's store holds kStoreLimitBytes; the plex is made as large,
  // whatever the build's default, so that both fill up at the same size.
  QssPlex_SetReservationBytes(kStoreLimitBytes);
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
  RunState& s = *state_;
  if (!s.message.empty()) return false;
  const Operation& operation = OperationOf(op.kind);
  if (operation.run != nullptr) return operation.run(s, op);
  Call call;
  if (!Resolve(s, op, &call)) return true;
  ++s.steps;
  Outcome library;
  Outcome model_side;
  operation.library(s, call, &library);
  operation.model(s, call, &model_side);
  s.Count(op.kind, Succeeded(operation, library));
  return s.Conclude(op, call, library, model_side);
}

void Runner::Tally(RunResult* result) const {
  for (size_t k = 0; k < result->ran.size(); ++k) {
    result->ran[k] += state_->ran[k];
    result->succeeded[k] += state_->succeeded[k];
  }
}

bool Runner::Finish() {
  RunState& s = *state_;
  if (!s.message.empty()) return false;
  Op end{OpKind::kReleaseAll, {}};
  return s.ReleaseAll(end) && s.CheckState(end, true, nullptr, true);
}

bool Runner::ObserveLibrary(const Op& op, void (*arm)(), void (*disarm)(),
                            Observation* observed) {
  RunState& s = *state_;
  const Operation& operation = OperationOf(op.kind);
  s.pending = Call();
  s.pending_library = Outcome();
  if (operation.run != nullptr || !Resolve(s, op, &s.pending)) return false;
  s.pending_op = op;
  ++s.steps;
  s.arm = arm;
  s.disarm = disarm;
  operation.library(s, s.pending, &s.pending_library);
  s.arm = s.disarm = nullptr;
  observed->failed = s.pending_library.failed;
  observed->hr = s.pending_library.code;
  observed->summary = Join(s.pending_library.facts);
  observed->handed_out = s.pending_library.handed_out();
  return true;
}

bool Runner::ConcludeWithModel() {
  RunState& s = *state_;
  Outcome model_side;
  OperationOf(s.pending.kind).model(s, s.pending, &model_side);
  return s.Conclude(s.pending_op, s.pending, s.pending_library, model_side);
}

bool Runner::ConcludeWithoutModel() {
  RunState& s = *state_;
  const Op& op = s.pending_op;
  Outcome& library = s.pending_library;
  if (library.handed_out()) {
    Outcome none;
    s.Adopt(library, none);
    return s.Fail(op, "an object was handed out by a failed call: " +
                          Join(library.facts));
  }
  FailureScope scope;
  const Operation& operation = OperationOf(s.pending.kind);
  if (operation.after_failure != nullptr) {
    operation.after_failure(s, s.pending, &scope);
  }
  if (!s.CheckState(op, scope.compare_tree, scope.ignore, false)) return false;
  s.ReleaseEverything();
  return s.CheckState(op, false, nullptr, true);
}

namespace {

// The records among the facts of a Next. A slot whose Stat failed may hold
// a null name and nothing else; it is reused for the next child, and is
// not a record.
std::vector<std::string> Records(const std::vector<std::string>& facts) {
  const std::string blank = RecordText(FilledRecord());
  std::vector<std::string> filled;
  for (const std::string& fact : facts) {
    if (fact.compare(0, 5, "{name") == 0 && fact != blank &&
        fact.find("type untouched") == std::string::npos) {
      filled.push_back(fact);
    }
  }
  return filled;
}

}  // namespace

bool Runner::ConcludeLeavingOut() {
  RunState& s = *state_;
  Call everything = s.pending;
  everything.value += kMaxNodes;
  Outcome model_side;
  OperationOf(everything.kind).model(s, everything, &model_side);
  Outcome none;
  s.Adopt(s.pending_library, none);
  const std::vector<std::string> given = Records(s.pending_library.facts);
  const std::vector<std::string> expected = Records(model_side.facts);
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
