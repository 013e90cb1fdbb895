// The vovizu stand-in: an in-memory tree of named blocks.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "records/host_blocks.h"
#include "standins/hierarchy_controls.h"

namespace {

constexpr size_t kNameBufferBytes = 256;

struct Entry {
  int container;
  std::string name;
};

struct Hierarchy {
  std::vector<Entry> entries = std::vector<Entry>(1);  // handle 0 unused
  bool strict = true;
};

Hierarchy& Tree() {
  // Never destroyed, for callers in other libraries' static destructors.
  static Hierarchy* tree = new Hierarchy;
  return *tree;
}

Entry* Find(int block, const char* call) {
  Hierarchy& tree = Tree();
  if (block > 0 && static_cast<size_t>(block) < tree.entries.size()) {
    return &tree.entries[block];
  }
  if (tree.strict) {
    std::fprintf(stderr,
                 "qsstorage hierarchy stand-in: contract breach in %s: "
                 "block %d does not exist\n",
                 call, block);
    std::fflush(stderr);
    std::abort();
  }
  return nullptr;
}

}  // namespace

extern "C" {

int QSS_HOST_CALL qsBlkHdr_GetCntr(int block) {
  const Entry* entry = Find(block, "qsBlkHdr_GetCntr");
  return entry ? entry->container : 0;
}

int QSS_HOST_CALL qsBlkHdr_GetName(int block, char* buffer) {
  const Entry* entry = Find(block, "qsBlkHdr_GetName");
  if (buffer == nullptr) return -1;
  // The host's names always fit; a longer test name is cut rather than
  // written past the caller's 256 bytes.
  const size_t length =
      entry ? std::min(entry->name.size(), kNameBufferBytes - 1) : 0;
  if (length > 0) std::memcpy(buffer, entry->name.data(), length);
  buffer[length] = '\0';
  return entry ? 0 : -1;
}

void QSS_HOST_CALL QssHier_Reset(void) { Tree().entries.resize(1); }

int QSS_HOST_CALL QssHier_AddBlock(int container, const char* name) {
  if (container != 0 && Find(container, "QssHier_AddBlock") == nullptr) {
    return 0;
  }
  std::vector<Entry>& entries = Tree().entries;
  entries.push_back(Entry{container, name ? name : ""});
  return static_cast<int>(entries.size() - 1);
}

void QSS_HOST_CALL QssHier_Rename(int block, const char* name) {
  if (Entry* entry = Find(block, "QssHier_Rename"))
    entry->name = name ? name : "";
}

void QSS_HOST_CALL QssHier_SetStrict(int on) { Tree().strict = on != 0; }

}  // extern "C"
