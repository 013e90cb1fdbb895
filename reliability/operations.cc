#include "reliability/operations.h"

#include <cassert>

namespace qss_reliability {

// Each defined beside the functions it names.
extern const Operation kGetRootOperation, kCreateStreamOperation,
    kOpenStreamOperation, kCreateStorageOperation, kOpenStorageOperation,
    kDestroyElementOperation, kRenameElementOperation, kStatStorageOperation,
    kSetClassOperation, kFixedStorageCallsOperation, kEnumElementsOperation,
    kCopyToOperation, kMoveElementToOperation, kReadOperation, kWriteOperation,
    kSeekOperation, kSetSizeOperation, kStreamCopyToOperation,
    kStatStreamOperation, kCloneOperation, kFixedStreamCallsOperation,
    kNextOperation, kSkipOperation, kResetOperation, kEnumCloneOperation,
    kQueryInterfaceOperation, kAddRefOperation, kReleaseOperation,
    kReleaseAllOperation, kGetObjectStorageOperation,
    kDelObjectStorageOperation, kRenObjectStorageOperation,
    kRestoreRefCountsOperation, kClearRootOperation, kSaveOperation,
    kLoadOperation;

namespace {

// In the order of OpKind, which the encoded sequences keep.
const Operation* const kOperations[] = {
    &kGetRootOperation,
    &kCreateStreamOperation,
    &kOpenStreamOperation,
    &kCreateStorageOperation,
    &kOpenStorageOperation,
    &kDestroyElementOperation,
    &kRenameElementOperation,
    &kStatStorageOperation,
    &kSetClassOperation,
    &kFixedStorageCallsOperation,
    &kEnumElementsOperation,
    &kCopyToOperation,
    &kMoveElementToOperation,
    &kReadOperation,
    &kWriteOperation,
    &kSeekOperation,
    &kSetSizeOperation,
    &kStreamCopyToOperation,
    &kStatStreamOperation,
    &kCloneOperation,
    &kFixedStreamCallsOperation,
    &kNextOperation,
    &kSkipOperation,
    &kResetOperation,
    &kEnumCloneOperation,
    &kQueryInterfaceOperation,
    &kAddRefOperation,
    &kReleaseOperation,
    &kReleaseAllOperation,
    &kGetObjectStorageOperation,
    &kDelObjectStorageOperation,
    &kRenObjectStorageOperation,
    &kRestoreRefCountsOperation,
    &kClearRootOperation,
    &kSaveOperation,
    &kLoadOperation,
};
static_assert(sizeof kOperations / sizeof kOperations[0] ==
                  static_cast<size_t>(OpKind::kCount),
              "one entry per kind");

}  // namespace

const Operation& OperationOf(OpKind kind) {
  const Operation& operation = *kOperations[static_cast<size_t>(kind)];
  assert(operation.kind == kind);
  return operation;
}

}  // namespace qss_reliability
