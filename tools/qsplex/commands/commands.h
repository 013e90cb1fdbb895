// The qsplex commands. Each takes its parsed command line, prints its
// output and failures, and returns the exit code.
#ifndef QSSTORAGE_TOOLS_QSPLEX_COMMANDS_COMMANDS_H_
#define QSSTORAGE_TOOLS_QSPLEX_COMMANDS_COMMANDS_H_

#include <cstdio>
#include <string>
#include <vector>

#include "tools/qsplex/image/session.h"

namespace qsplex {

// Bytes move between streams and files in pieces of this size.
constexpr size_t kChunkBytes = 1024 * 1024;

// Copies the rest of `stream` (the element at `subject`) to `out`, the file
// `out_name`, in pieces. Returns the exit code, failures printed.
int CopyStreamOut(const Context& c, IStream* stream, const std::string& subject,
                  std::FILE* out, const std::string& out_name,
                  Progress* progress);
// Writes the stream `e` to standard output, binary, with no progress on a
// terminal. Returns the exit code.
int WriteToStandardOutput(const Context& c, const Element& e);
// Stores the rest of `input` (named `input_name`) in `stream`, the element
// at `subject`, after making room for `expected` bytes when known (0: not
// known). Returns the exit code; a full plex is told as such.
int StoreInStream(const Context& c, std::FILE* input,
                  const std::string& input_name, IStream* stream,
                  uint64_t expected, const std::string& subject,
                  Progress* progress);

// The element found at a path as a node of its own.
TreeNode NodeOf(const Element& e);
// The subtree below `element`, a storage, as LoadTree lists it. Prints the
// failure.
bool LoadSubtree(const Context& c, const Element& element, bool open_streams,
                 std::vector<TreeNode>* nodes);

int RunInit(const Context& c);
int RunInfo(const Context& c);
int RunLs(const Context& c);
int RunTree(const Context& c);
int RunStat(const Context& c);
int RunCat(const Context& c);
int RunPut(const Context& c);
int RunMkdir(const Context& c);
int RunRm(const Context& c);
int RunMv(const Context& c);
int RunCp(const Context& c);
int RunSetClass(const Context& c);
int RunCheck(const Context& c);
int RunDump(const Context& c);
int RunRecover(const Context& c);
int RunReset(const Context& c);
int RunClear(const Context& c);
int RunExport(const Context& c);
int RunImport(const Context& c);
int RunGet(const Context& c);
int RunHexdump(const Context& c);
int RunFind(const Context& c);
// Exits with 0 when the images are equal, 1 when they differ, 2 on
// trouble, as diff(1).
int RunDiff(const Context& c);
// put -r: a folder's tree into a storage.
int RunPutTree(const Context& c);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_COMMANDS_COMMANDS_H_
