// The qsplex commands. Each takes its parsed command line, prints its
// output and failures, and returns the exit code.
#ifndef QSSTORAGE_TOOLS_QSPLEX_COMMANDS_H_
#define QSSTORAGE_TOOLS_QSPLEX_COMMANDS_H_

#include "tools/qsplex/session.h"

namespace qsplex {

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

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_COMMANDS_H_
