// Walks over whole subtrees through the standard interfaces: loading a
// subtree's listing, and a destination storage that reports the progress of
// a copy into it.
#ifndef QSSTORAGE_TOOLS_QSPLEX_TREE_WALK_H_
#define QSSTORAGE_TOOLS_QSPLEX_TREE_WALK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com.h"
#include "tools/qsplex/output/text.h"

namespace qsplex {

// One element of a loaded subtree; nodes come in depth-first order, each
// storage's children newest first, so a parent precedes its children.
struct TreeNode {
  WideString name;
  int parent;  // index of the parent node; -1 for the top
  DWORD type;
  uint64_t size;  // bytes; for storages, of all streams below once totalled
  DWORD mode;
  CLSID clsid;
  int depth;
  bool last;                         // the last child of its parent
  bool listed = true;                // a storage's elements were listed
  bool timed = false;                // its record holds a time
  size_t storages = 0, streams = 0;  // below a storage, once totalled
};

// The node of an element as its enumerator gives it; a null name is empty.
TreeNode NodeFrom(const STATSTG& stat, int parent, int depth);

// Lists the subtree of `top` (its own node named `top_name`) into `nodes`,
// with each storage's size and counts totalled over its subtree.
// With `open_streams`, opens every stream for reading on the way, since
// copying reads only streams whose open mode allows it. Elements without a
// name are listed but not opened (no name finds them): such a storage's
// own elements are not listed. On failure returns
// the code and sets `*failed` to the index of the node being read.
HRESULT LoadTree(IStorage* top, const WideString& top_name, bool open_streams,
                 std::vector<TreeNode>* nodes, int* failed);
// The path of node `index` below `top_path`.
std::string NodePath(const std::vector<TreeNode>& nodes, int index,
                     const std::string& top_path);

// Whether progress is shown at all (-q turns it off).
void SetQuiet(bool quiet);
// Ends the progress line on the terminal, if one is shown, so that a
// message starts on a line of its own.
void EndProgressLine();

// The progress of a copy, a load or a save, on standard error while that is
// a terminal, from about a second after the start. With `total_streams` 0
// it counts bytes alone; with `total_bytes` 0 too, bytes without a total.
class Progress {
 public:
  Progress(const char* verb, uint64_t total_bytes, size_t total_streams);
  ~Progress();
  void Created(const std::string& path, bool stream);
  void Wrote(uint64_t bytes) noexcept;
  // `done` of `total` bytes moved so far.
  void Reached(uint64_t done, uint64_t total) noexcept;
  // Ends the line shown, if any; the destructor does too.
  void Done() noexcept;
  uint64_t bytes() const { return bytes_; }
  // The element the copy created last: where a failure happened.
  const std::string& last_created() const { return last_created_; }
  // Where the first call on the destination's side failed (the destination
  // storage reports it); "" when none did, so that the copy failed reading.
  void Failed(const std::string& path) noexcept;
  const std::string& failed_at() const { return failed_at_; }

 private:
  void Show() noexcept;
  const char* verb_;
  uint64_t total_bytes_, bytes_ = 0;
  size_t total_streams_, streams_ = 0;
  bool terminal_;
  uint64_t started_ms_;
  int64_t shown_step_ = -1;
  std::string last_created_;
  std::string failed_at_;
};

// A storage that forwards every call to `inner` and reports what copies
// create and write in it, and where creating, writing or setting a class id
// failed, to `progress`; `path` names `inner`. Reference count 1.
IStorage* NewProgressStorage(IStorage* inner, Progress* progress,
                             const std::string& path);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_TREE_WALK_H_
