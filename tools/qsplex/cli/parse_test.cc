#include "tools/qsplex/cli/parse.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tools/qsplex/cli/suggest.h"
#include "tools/qsplex/commands/commands.h"

namespace qsplex {
namespace {

int RunNothing(const Context&) { return 0; }

// A command with options of every kind: flags, a flag with a long name,
// a long flag, and long options with values, read back and by a function.
const Command kDemo = {
    "demo",
    "[-f] [-r] [-H] [--json] [--sort ORDER] [--offset N] IMAGE PATH [TO]",
    {Flag('f'), Flag('r'), kHumanOption, kJsonOption, kSortOption,
     ValueOption("offset")},
    1,
    2,
    Access::kRead,
    "a command for tests",
    "",
    "qsplex demo t.img /a",
    RunNothing,
    {}};

struct ParseCase {
  std::vector<std::string> args;
  Parsed parsed;
  std::string problem;  // what the usage error starts with
  std::string options;  // the letters taken
  std::string image;
  std::vector<std::string> operands;  // after IMAGE
};

const ParseCase kCases[] = {
    {{"-fr", "t.img", "/a"}, Parsed::kRun, "", "fr", "t.img", {"/a"}},
    // Options anywhere among the operands, one letter at a time too.
    {{"t.img", "-f", "/a", "-r"}, Parsed::kRun, "", "fr", "t.img", {"/a"}},
    // "--" ends the options; "-" and "" are operands.
    {{"--", "-f", "/a"}, Parsed::kRun, "", "", "-f", {"/a"}},
    {{"t.img", "-", ""}, Parsed::kRun, "", "", "t.img", {"-", ""}},
    {{"--human", "-H", "t.img", "/a"}, Parsed::kRun, "", "HH", "t.img", {"/a"}},
    {{"-x", "t.img", "/a"}, Parsed::kUsage, "unknown option -x", "", "", {}},
    {{"-fx", "t.img", "/a"},
     Parsed::kUsage,
     "unknown option -x (in -fx)",
     "",
     "",
     {}},
    {{"--jsn", "t.img", "/a"},
     Parsed::kUsage,
     "unknown option --jsn\ndid you mean '--json'?",
     "",
     "",
     {}},
    {{"-json", "t.img", "/a"},
     Parsed::kUsage,
     "unknown option -j (in -json)\ndid you mean '--json'?",
     "",
     "",
     {}},
    // A flag takes no value; a value option needs one.
    {{"--json=1", "t.img", "/a"},
     Parsed::kUsage,
     "unknown option --json",
     "",
     "",
     {}},
    {{"t.img", "/a", "--offset"},
     Parsed::kUsage,
     "--offset takes a value",
     "",
     "",
     {}},
    {{"--sort=date", "t.img", "/a"},
     Parsed::kUsage,
     "--sort takes name, size or none, not 'date'",
     "",
     "",
     {}},
    {{"t.img", "/a", "--sort"},
     Parsed::kUsage,
     "--sort takes name, size or none, not ''",
     "",
     "",
     {}},
    {{"--wait", "86401", "t.img", "/a"},
     Parsed::kUsage,
     "--wait takes a whole number of seconds, up to 86400, not '86401'",
     "",
     "",
     {}},
    // Help wins wherever it stands, even without IMAGE, but not after a
    // usage error.
    {{"-fh"}, Parsed::kHelp, "", "", "", {}},
    {{"t.img", "--help"}, Parsed::kHelp, "", "", "", {}},
    {{"-x", "-h"}, Parsed::kUsage, "unknown option -x", "", "", {}},
    {{"--help=1"}, Parsed::kUsage, "unknown option --help", "", "", {}},
    {{}, Parsed::kUsage, "no IMAGE given", "", "", {}},
    {{"", "/a"}, Parsed::kUsage, "IMAGE is an empty name", "", "", {}},
    {{"-f", "t.img"}, Parsed::kUsage, "wrong number of arguments", "", "", {}},
    {{"t.img", "/a", "/b", "/c"},
     Parsed::kUsage,
     "wrong number of arguments",
     "",
     "",
     {}},
};

TEST(ParseArguments, TakesOptionsAndOperandsByTheCommandsEntry) {
  for (const ParseCase& test : kCases) {
    std::string shown;
    for (const std::string& arg : test.args) shown += " '" + arg + "'";
    SCOPED_TRACE(shown);
    Context c;
    std::string problem;
    EXPECT_EQ(ParseArguments(kDemo, test.args, &c, &problem), test.parsed);
    if (test.parsed == Parsed::kUsage) {
      EXPECT_EQ(problem.substr(0, test.problem.size()), test.problem)
          << problem;
      // A suggestion, when there is one, is the only thing after it.
      EXPECT_TRUE(problem.size() == test.problem.size() ||
                  problem[test.problem.size()] == '\n')
          << problem;
    }
    if (test.parsed != Parsed::kRun) continue;
    EXPECT_EQ(c.options, test.options);
    EXPECT_EQ(c.image, test.image);
    EXPECT_EQ(c.args, test.operands);
  }
}

TEST(ParseArguments, SetsWhatEachOptionSets) {
  Context c;
  std::string problem;
  ASSERT_EQ(
      ParseArguments(kDemo,
                     {"--sort", "size", "t.img", "--offset=0x10", "--json",
                      "/a", "-q", "--wait", "0", "--offset", "-1"},
                     &c, &problem),
      Parsed::kRun)
      << problem;
  EXPECT_EQ(c.command, "demo");
  EXPECT_EQ(c.accepted, "frH");
  EXPECT_TRUE(c.json);
  EXPECT_TRUE(c.quiet);
  EXPECT_EQ(c.sort, SortOrder::kSize);
  EXPECT_EQ(c.wait_seconds, 0);
  // Values no field takes stay in order, a value that looks like an option
  // included.
  const std::vector<std::pair<std::string, std::string>> values = {
      {"offset", "0x10"}, {"offset", "-1"}};
  EXPECT_EQ(c.values, values);
  EXPECT_EQ(c.args, std::vector<std::string>{"/a"});
  // Typed again in the entry's order, the options of every command left
  // out.
  EXPECT_EQ(c.retyped, "--json --sort size --offset 0x10 --offset -1");
}

TEST(ParseArguments, RetypesLettersFirst) {
  Context c;
  std::string problem;
  ASSERT_EQ(ParseArguments(kDemo, {"/a", "--sort=name", "--human", "-r", "t"},
                           &c, &problem),
            Parsed::kRun);
  EXPECT_EQ(c.retyped, "-Hr --sort name");
  EXPECT_EQ(c.image, "/a");
}

// find spells its tests with one dash, as find(1): -name GLOB, -type f.
TEST(ParseArguments, TakesOptionsOfOneDash) {
  Context c;
  std::string problem;
  ASSERT_EQ(ParseArguments(kFindCommand,
                           {"t.img", "-name", "*.txt", "/d", "-type=f",
                            "--json", "--name", "a*"},
                           &c, &problem),
            Parsed::kRun)
      << problem;
  const std::vector<std::pair<std::string, std::string>> values = {
      {"name", "*.txt"}, {"type", "f"}, {"name", "a*"}};
  EXPECT_EQ(c.values, values);
  EXPECT_TRUE(c.json);
  EXPECT_EQ(c.args, std::vector<std::string>{"/d"});
  EXPECT_EQ(c.retyped, "-name *.txt -name a* -type f --json");
  const struct {
    std::vector<std::string> args;
    const char* problem;
  } refused[] = {
      {{"t.img", "-type", "x"}, "-type takes s (storages) or f (streams)"},
      {{"t.img", "-name"}, "-name takes a pattern"},
      {{"t.img", "-name", "a\xff"}, "-name takes a pattern in UTF-8"},
      {{"t.img", "-nam", "x"}, "unknown option -n (in -nam)"},
  };
  for (const auto& r : refused) {
    Context d;
    EXPECT_EQ(ParseArguments(kFindCommand, r.args, &d, &problem),
              Parsed::kUsage);
    EXPECT_EQ(problem.rfind(r.problem, 0), 0u) << problem;
  }
}

TEST(LeadingOptions, CountsTheOptionsOfEveryCommandBeforeTheCommandWord) {
  const struct {
    std::vector<std::string> args;
    size_t leading;
  } cases[] = {
      {{"ls", "-q"}, 0},
      {{"-q", "ls"}, 1},
      {{"--wait", "5", "-q", "ls", "t.img"}, 3},
      {{"--wait=5", "ls"}, 1},
      {{"--wait"}, 1},
      {{"-qq", "ls"}, 0},
      {{"--json", "ls"}, 0},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(LeadingOptions(test.args), test.leading) << test.args[0];
  }
}

TEST(Suggestions, NearWordsWithinAnEditOrTwoOrByTheirStart) {
  EXPECT_EQ(Distance("lsit", "list"), 1u);  // a swap is one edit
  EXPECT_EQ(Distance("", "ls"), 2u);
  const std::vector<std::pair<std::string, std::string>> candidates = {
      {"ls", "ls"},
      {"list", "ls"},
      {"recover", "recover"},
      {"remove", "rm"},
      {"reset", "reset"}};
  EXPECT_EQ(Near("lsit", candidates), std::vector<std::string>{"ls"});
  EXPECT_EQ(Near("re", candidates),
            (std::vector<std::string>{"recover", "rm", "reset"}));
  EXPECT_EQ(Near("recovr", candidates),
            (std::vector<std::string>{"recover", "rm"}));  // "remove": 2 edits
  EXPECT_TRUE(Near("zzz", candidates).empty());
  EXPECT_EQ(Nearest("jsn", {"sort", "json"}), "json");
}

// Every entry is one the parser and help can use, and its usage line and
// help name each of its options.
TEST(Commands, EntriesAreWellFormed) {
  std::set<std::string> names;
  for (const Command* command : AllCommands()) {
    SCOPED_TRACE(command->name);
    EXPECT_TRUE(names.insert(command->name).second);
    EXPECT_NE(command->run, nullptr);
    EXPECT_LE(command->min_args, command->max_args);
    EXPECT_EQ(std::string(command->examples)
                  .rfind(std::string("qsplex ") + command->name, 0),
              0u);
    const std::string usage = command->usage;
    const std::string details = command->details;
    std::set<char> letters = {kQuietOption.letter, kHelpOption.letter};
    std::set<std::string> long_names = {kWaitOption.name, kHelpOption.name};
    for (const Option& option : command->options) {
      const std::string spelled =
          (option.one_dash ? "-" : "--") +
          std::string(option.name != nullptr ? option.name : "");
      if (option.letter != 0) {
        EXPECT_TRUE(letters.insert(option.letter).second) << option.letter;
        // A letter with a value has a long name too, to retype it by.
        EXPECT_TRUE(!option.takes_value || option.name != nullptr)
            << option.letter;
        EXPECT_NE(usage.find(std::string("-") + option.letter),
                  std::string::npos)
            << option.letter;
        EXPECT_NE(details.find(std::string("-") + option.letter),
                  std::string::npos)
            << option.letter;
      } else {
        ASSERT_NE(option.name, nullptr);
        EXPECT_TRUE(option.takes_value || option.take != nullptr)
            << option.name;
        EXPECT_NE(usage.find(spelled), std::string::npos) << option.name;
      }
      if (option.name != nullptr) {
        EXPECT_TRUE(long_names.insert(option.name).second) << option.name;
        EXPECT_NE(details.find(spelled), std::string::npos) << option.name;
      }
    }
  }
  for (const Command* command : AllCommands()) {
    for (const char* synonym : command->synonyms) {
      EXPECT_EQ(names.count(synonym), 0u) << synonym;
    }
  }
}

// A letter that takes a value ("-d 2", "-d2", "-Hd 2"), as du and report
// have, and its long name.
TEST(ParseArguments, ALetterWithAValueTakesTheRestOfTheWordOrTheNext) {
  const Command depth = {"depth",
                         "[-d N] [-H] IMAGE",
                         {{'d', "depth", true, nullptr}, kHumanOption},
                         0,
                         0,
                         Access::kRead,
                         "",
                         "",
                         "",
                         RunNothing,
                         {}};
  const struct {
    std::vector<std::string> args;
    std::string options, value, problem;
  } cases[] = {
      {{"-d", "2", "t.img"}, "", "2", ""},
      {{"t.img", "-d2"}, "", "2", ""},
      {{"-Hd", "3", "t.img"}, "H", "3", ""},
      {{"--depth=4", "t.img"}, "", "4", ""},
      {{"t.img", "-d"}, "", "", "-d takes a value"},
  };
  for (const auto& test : cases) {
    Context c;
    std::string problem;
    const Parsed parsed = ParseArguments(depth, test.args, &c, &problem);
    EXPECT_EQ(problem, test.problem) << test.args[0];
    if (parsed != Parsed::kRun) continue;
    EXPECT_EQ(c.image, "t.img");
    EXPECT_EQ(c.options, test.options);
    ASSERT_EQ(c.values.size(), 1u) << test.args[0];
    EXPECT_EQ(c.values[0].first, "depth");
    EXPECT_EQ(c.values[0].second, test.value);
  }
}

}  // namespace
}  // namespace qsplex
