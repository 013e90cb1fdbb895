// The qsplex commands. Each takes its parsed command line, prints its
// output and failures, and returns the exit code. A command's entry (its
// name, usage, options, help and run function) sits beside its code, one
// file per family of commands:
//   listing.cc          ls, tree, stat
//   streams.cc          cat, put (put -r in put_tree.cc)
//   tree_files.cc       get
//   hexdump.cc          hexdump
//   elements.cc         mkdir, rm, mv, cp, setclass
//   image_commands.cc   init, reset, clear
//   diagnostics.cc      info, check, dump (the records they read and print
//                       in records/)
//   recover.cc          recover
//   compound.cc         export, import
//   report.cc           du, report
//   find.cc             find
//   diff.cc             diff (exits 2 on trouble, as diff(1))
// commands.cc lists them in the order 'qsplex help' shows them.
#ifndef QSSTORAGE_TOOLS_QSPLEX_COMMANDS_COMMANDS_H_
#define QSSTORAGE_TOOLS_QSPLEX_COMMANDS_COMMANDS_H_

#include <cstdio>
#include <string>
#include <vector>

#include "tools/qsplex/cli/command.h"
#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/os/chunks.h"
#include "tools/qsplex/output/progress.h"
#include "tools/qsplex/tree/lookup.h"

namespace qsplex {

// Every command, in the order 'qsplex help' lists them.
CommandList AllCommands();

extern const Command kInitCommand;
extern const Command kInfoCommand;
extern const Command kLsCommand;
extern const Command kTreeCommand;
extern const Command kStatCommand;
extern const Command kCatCommand;
extern const Command kPutCommand;
extern const Command kGetCommand;
extern const Command kHexdumpCommand;
extern const Command kMkdirCommand;
extern const Command kRmCommand;
extern const Command kMvCommand;
extern const Command kCpCommand;
extern const Command kSetClassCommand;
extern const Command kCheckCommand;
extern const Command kDumpCommand;
extern const Command kRecoverCommand;
extern const Command kResetCommand;
extern const Command kClearCommand;
extern const Command kExportCommand;
extern const Command kImportCommand;
extern const Command kDuCommand;
extern const Command kReportCommand;
extern const Command kFindCommand;
extern const Command kDiffCommand;

// Ends the message of a change refused part way: nothing is saved.
constexpr const char* kUnchanged = "; the image is unchanged";

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
// What export and import write and read in this build: "the platform's
// (ole32)", "libgsf 1.14.50", or that the build has none.
std::string CompoundFiles();
// The image keeps no times: says once on standard error (unless -q) that
// those of `source` were left behind.
void NoteTimesDropped(const Context& c, const std::string& source);
// The subtree below `element`, a storage, with its streams opened when
// `open_streams` (to copy them). Prints the failure.
bool LoadSubtree(const Context& c, const Element& element, bool open_streams,
                 std::vector<TreeNode>* nodes);
// The listing of `element`: the stream alone, or a storage's subtree.
// Prints the failure.
bool ListElement(const Context& c, const Element& element,
                 std::vector<TreeNode>* nodes);
// Loads the image for reading and lists the element at the command's PATH
// (its first operand; "/" without one). Prints the failure.
bool ListPathOperand(const Context& c, Element* e,
                     std::vector<TreeNode>* nodes);
// Loads the image for reading and finds the stream at `path`, refusing a
// storage and a stream whose data is damaged. Prints the failure.
bool OpenReadableStream(const Context& c, const std::string& path, Element* e);
// The element found at a path as a node of its own.
TreeNode NodeOf(const Element& e);

int RunInfo(const Context& c);
int RunCheck(const Context& c);
int RunDump(const Context& c);
int RunRecover(const Context& c);
int RunExport(const Context& c);
int RunImport(const Context& c);
int RunGet(const Context& c);
int RunHexdump(const Context& c);
// put -r: a folder's tree into a storage.
int RunPutTree(const Context& c);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_COMMANDS_COMMANDS_H_
