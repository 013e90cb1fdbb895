// The operations of the reliability runs, one table entry each: how the
// sequence generator weighs it, what its argument bytes select, and how it
// runs on the library and on the model and what follows from the answers.
// Adding an operation is adding an OpKind and its entry.
#ifndef QSSTORAGE_RELIABILITY_OPERATIONS_H_
#define QSSTORAGE_RELIABILITY_OPERATIONS_H_

#include <cstdint>

#include "reliability/ops.h"
#include "reliability/run_state.h"

namespace qss_reliability {

struct Operation {
  OpKind kind;
  const char* name;
  // How often seeded generation picks the kind, against the others.
  int weight;
  // What the argument bytes select; unnamed ones are unused.
  const char* labels[kOpArgs];
  // Can make the tree larger: skipped while the tree is over its budget.
  bool grows = false;

  // An operation of the driver's own (references, saving and loading the
  // plex): carried out on both sides and checked at once. False when they
  // disagree; an operation with nothing to work on returns true uncounted.
  // Null for an operation with the halves below.
  bool (*run)(RunState& state, const Op& op) = nullptr;

  // The arguments against what is held; false skips the operation. Null:
  // the operation takes none.
  bool (*resolve)(RunState& state, const uint8_t* arg, Call* call) = nullptr;
  // The library's half and the model's: the answers as facts, the objects
  // handed out. The model's half may mark the call inexact (see Call).
  void (*library)(RunState& state, Call& call, Outcome* out) = nullptr;
  void (*model)(RunState& state, Call& call, Outcome* out) = nullptr;
  // Whether the two answers agree. Null: the facts are equal.
  bool (*agree)(RunState& state, Call& call, const Outcome& library,
                const Outcome& model) = nullptr;
  // Once they agree: what the answer changes beyond the tree (reference
  // counts the model keeps, the host's own blocks). May be null.
  void (*agreed)(RunState& state, const Call& call,
                 const Outcome& library) = nullptr;
  // After a library call that failed, checked without the model: what of
  // the tree may differ, the model brought up to what must have happened.
  // May be null: the whole tree is compared.
  void (*after_failure)(RunState& state, const Call& call,
                        FailureScope* scope) = nullptr;
  // Whether the library's answer counts as a success in the tallies. Null:
  // a success code other than S_FALSE.
  bool (*succeeded)(const Outcome& library) = nullptr;
};

// The entry of `kind`, which is below OpKind::kCount.
const Operation& OperationOf(OpKind kind);

}  // namespace qss_reliability

#endif  // QSSTORAGE_RELIABILITY_OPERATIONS_H_
