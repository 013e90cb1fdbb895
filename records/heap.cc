#include "records/heap.h"

#include <cstdlib>
#include <cstring>

#include "platform/com.h"

namespace qss {

bool (*heap_fault_hook)(HeapUse use) = nullptr;

namespace {

bool Refused(HeapUse use) {
  return heap_fault_hook != nullptr && heap_fault_hook(use);
}

}  // namespace

void* AllocateNameCopy(size_t bytes) {
  return Refused(HeapUse::kNameCopy) ? nullptr : std::malloc(bytes);
}

void* ResizeHeapBlock(void* block, size_t bytes) {
  return Refused(HeapUse::kWorkspace) ? nullptr : std::realloc(block, bytes);
}

void* AllocateForCaller(size_t bytes) {
  return Refused(HeapUse::kForCaller) ? nullptr : CoTaskMemAlloc(bytes);
}

OLECHAR* CopyWide(const OLECHAR* wide, HeapUse use) {
  const size_t bytes = (WideLength(wide) + 1) * sizeof(OLECHAR);
  void* copy = use == HeapUse::kForCaller ? AllocateForCaller(bytes)
                                          : AllocateNameCopy(bytes);
  if (copy != nullptr) std::memcpy(copy, wide, bytes);
  return static_cast<OLECHAR*>(copy);
}

}  // namespace qss
