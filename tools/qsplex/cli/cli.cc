#include "tools/qsplex/cli/cli.h"

#include <cstdio>
#include <exception>
#include <new>

#include "standins/image/format.h"
#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/cli/help.h"
#include "tools/qsplex/cli/parse.h"
#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/image/image_file.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/image/prepare.h"
#include "tools/qsplex/image/temporary_file.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/progress.h"

#if defined(_WIN32)
#include <io.h>
#include <shellapi.h>
#endif

#ifndef QSPLEX_VERSION
#define QSPLEX_VERSION "unknown"
#endif

namespace qsplex {
namespace {

#define QSPLEX_TEXT(x) #x
#define QSPLEX_NUMBER(x) QSPLEX_TEXT(x)

// The compiler that built this program, from its predefined macros.
const char* Compiler() {
#if defined(__clang__)
  return "Clang " __clang_version__;
#elif defined(__GNUC__) && defined(__MINGW32__)
  return "GCC " __VERSION__ " (MinGW-w64)";
#elif defined(__GNUC__)
  return "GCC " __VERSION__;
#elif defined(_MSC_VER)
  return "MSVC " QSPLEX_NUMBER(_MSC_FULL_VER);
#else
  return "unknown";
#endif
}

// Native or Win32, and the processor.
const char* Target() {
#if defined(_WIN32)
#define QSPLEX_SYSTEM "Win32"
#elif defined(__linux__)
#define QSPLEX_SYSTEM "native (Linux)"
#else
#define QSPLEX_SYSTEM "native"
#endif
#if defined(__x86_64__) || defined(_M_X64)
  return QSPLEX_SYSTEM ", x86-64";
#elif defined(__i386__) || defined(_M_IX86)
  return QSPLEX_SYSTEM ", x86 (32-bit)";
#elif defined(__aarch64__) || defined(_M_ARM64)
  return QSPLEX_SYSTEM ", ARM64";
#else
  return QSPLEX_SYSTEM;
#endif
#undef QSPLEX_SYSTEM
}

// 'qsplex --version': what this build is and what it reads and writes.
int Version() {
  using qss::standins::kCurrentFormat;
  using qss::standins::kFirstFormat;
  std::printf("qsplex %s\n", QSPLEX_VERSION);
  std::printf("target:         %s\n", Target());
  std::printf("compiler:       %s\n", Compiler());
  std::printf("images:         reads formats %u to %u, writes format %u\n",
              static_cast<unsigned>(kFirstFormat),
              static_cast<unsigned>(kCurrentFormat),
              static_cast<unsigned>(kCurrentFormat));
  std::printf("compound files: %s\n", CompoundFiles().c_str());
  return 0;
}

int RunCommand(const Command& command, const std::vector<std::string>& args) {
  SetActivity("reading the command line");
  Context c;
  std::string problem;
  switch (ParseArguments(command, args, &c, &problem)) {
    case Parsed::kHelp:
      PrintCommandHelp(command);
      return 0;
    case Parsed::kUsage:
      return Usage(command, problem);
    case Parsed::kRun:
      break;
  }
  if (c.quiet) SetQuiet(true);
  ImageLock lock;
  if (!PrepareImage(&c, command.access, &lock)) return command.failure;
  SetActivity("working on the tree");
  const int status = command.run(c);
  return IsAsLoaded(c, false) ? status : command.failure;
}

// 'qsplex help [COMMAND]'.
int Help(const std::vector<std::string>& args, const CommandList& commands) {
  if (args.size() == 1) {
    PrintHelp(commands);
    return 0;
  }
  if (const Command* command = FindCommand(commands, args[1])) {
    PrintCommandHelp(*command);
    return 0;
  }
  return UnknownCommand(commands, args[1], "");
}

// `word`, at `at` in `args`, names no command.
int NotACommand(const std::vector<std::string>& args, size_t at,
                const CommandList& commands) {
  const std::string& word = args[at];
  if (word.size() > 1 && word[0] == '-') {
    std::fprintf(stderr,
                 "qsplex: unknown option %s; options go after the command\n"
                 "'qsplex help' lists the commands.\n",
                 word.substr(0, word.find('=')).c_str());
    return kExitUsage;
  }
  const FileKind kind = Probe(word).kind;
  // A lone image is what the host program always did: show its root.
  const Command* info = FindCommand(commands, "info");
  if (kind == FileKind::kFile && at + 1 == args.size() && at == 0 &&
      info != nullptr) {
    return RunCommand(*info, args);
  }
  if (kind == FileKind::kFile) {
    for (size_t i = at + 1; i < args.size(); ++i) {
      if (FindCommand(commands, args[i]) != nullptr) {
        return UnknownCommand(commands, word,
                              ", a file: the command comes first, as "
                              "in 'qsplex " +
                                  args[i] + " " + word + " ...'");
      }
    }
  }
  return UnknownCommand(
      commands, word,
      kind == FileKind::kMissing ? ", and no image of that name" : "");
}

}  // namespace

int Main(const std::vector<std::string>& args, const CommandList& commands) {
  if (args.empty()) {
    std::fprintf(stderr,
                 "usage: qsplex COMMAND [OPTIONS] IMAGE [ARGUMENTS]\n"
                 "'qsplex help' lists the commands.\n");
    return kExitUsage;
  }
  const std::string& first = args[0];
  if (first == "-h" || first == "--help" || first == "help") {
    return Help(args, commands);
  }
  if (first == "-V" || first == "--version") {
    return Version();
  }
  // Options of every command may come before the command word too.
  const size_t at = LeadingOptions(args);
  if (at == args.size()) {
    std::fprintf(stderr,
                 "qsplex: no command given\n"
                 "'qsplex help' lists the commands.\n");
    return kExitUsage;
  }
  if (const Command* command = FindCommand(commands, args[at])) {
    std::vector<std::string> rest(args.begin(), args.begin() + at);
    rest.insert(rest.end(), args.begin() + at + 1, args.end());
    return RunCommand(*command, rest);
  }
  return NotACommand(args, at, commands);
}

int RunProgram(int argc, char** argv, const CommandList& commands) {
  InstallInterruptCleanup();
  try {
    std::vector<std::string> args;
#if defined(_WIN32)
    (void)argc;
    (void)argv;
    // Windows hands main its arguments in the ANSI code page; paths are
    // UTF-8 here, so take them from the wide command line.
    int wide_count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &wide_count);
    for (int i = 1; wide != nullptr && i < wide_count; ++i) {
      args.push_back(WideToUtf8(wide[i]));
    }
    if (wide != nullptr) LocalFree(wide);
    // The C library leaves a character device's output unbuffered, a
    // system call for every piece printed (under Wine a round trip each):
    // buffered, a listing costs what a file's does. Failures flush first.
    if (_isatty(_fileno(stdout)) != 0) {
      std::setvbuf(stdout, nullptr, _IOFBF, 64 * 1024);
    }
#else
    args.assign(argv + 1, argv + argc);
#endif
    return Main(args, commands);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "qsplex: out of memory while %s\n", Activity());
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "qsplex: failed while %s: %s\n", Activity(),
                 failure.what());
  } catch (...) {
    std::fprintf(stderr, "qsplex: failed while %s\n", Activity());
  }
  return kExitFailure;
}

}  // namespace qsplex
