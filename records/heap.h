// Heap memory the library hands around outside its objects: name copies
// passed between its own operations (malloc; the receiver frees them with
// free), working arrays of its own (malloc/realloc, freed with free) and
// memory handed to callers (CoTaskMemAlloc; the caller frees it with
// CoTaskMemFree). Each gives null when the heap is exhausted.
#ifndef QSSTORAGE_RECORDS_HEAP_H_
#define QSSTORAGE_RECORDS_HEAP_H_

#include <cstddef>

#include "platform/com.h"

namespace qss {

enum class HeapUse { kNameCopy, kWorkspace, kForCaller };

void* AllocateNameCopy(size_t bytes);
// realloc: on failure `block` stays as it was.
void* ResizeHeapBlock(void* block, size_t bytes);
void* AllocateForCaller(size_t bytes);

// A copy of a wide string in memory of `use`: kNameCopy (the receiver frees
// it with free) or kForCaller (CoTaskMemFree). Null when that fails.
OLECHAR* CopyWide(const OLECHAR* wide, HeapUse use);

// Tests of the static core may set this: it is asked before each of the
// allocations above, and a true answer makes that one fail. The shipped
// library never sets it and does not export it.
extern bool (*heap_fault_hook)(HeapUse use);

}  // namespace qss

#endif  // QSSTORAGE_RECORDS_HEAP_H_
