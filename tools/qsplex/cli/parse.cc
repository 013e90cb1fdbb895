#include "tools/qsplex/cli/parse.h"

#include <cstring>

#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/cli/suggest.h"

namespace qsplex {
namespace {

// "--json", or "-name" for an option spelled with one dash.
std::string Spelled(const Option& option) {
  return (option.one_dash ? "-" : "--") + std::string(option.name);
}

// An option as given, with its value.
struct Given {
  const Option* option;
  std::string value;
};

// Reads one command's arguments into a Context.
class ArgumentParser {
 public:
  ArgumentParser(const Command& command, Context* c)
      : command_(command), c_(c) {
    for (const Option& option : command.options) options_.push_back(&option);
    options_.push_back(&kWaitOption);
    options_.push_back(&kQuietOption);
    options_.push_back(&kHelpOption);
  }

  Parsed Parse(const std::vector<std::string>& args, std::string* problem);

 private:
  const Option* ByLetter(char letter) const {
    for (const Option* option : options_) {
      if (option->letter != 0 && option->letter == letter) return option;
    }
    return nullptr;
  }
  const Option* ByName(const std::string& name) const {
    for (const Option* option : options_) {
      if (option->name != nullptr && name == option->name) return option;
    }
    return nullptr;
  }
  // Whether `arg` ("-name", "-name=GLOB") is an option spelled with one
  // dash.
  bool IsOneDash(const std::string& arg) const {
    const Option* option = ByName(arg.substr(1, arg.find('=') - 1));
    return option != nullptr && option->one_dash;
  }
  // "\ndid you mean '--json'?" for the long option nearest to `word`.
  std::string Suggestion(const std::string& word) const {
    std::vector<std::string> names;
    for (const Option* option : options_) {
      if (option->name != nullptr) names.push_back(option->name);
    }
    const Option* nearest = ByName(Nearest(word, names));
    return nearest == nullptr ? ""
                              : "\ndid you mean '" + Spelled(*nearest) + "'?";
  }
  Parsed TakeLong(const std::vector<std::string>& args, size_t* i,
                  std::string* problem);
  Parsed TakeLetters(const std::vector<std::string>& args, size_t* i,
                     std::string* problem);
  bool Take(const Option& option, const std::string& value,
            std::string* problem);
  std::string Retyped() const;

  const Command& command_;
  Context* c_;
  std::vector<const Option*> options_;  // the command's, then every one's
  std::vector<Given> given_;
};

bool ArgumentParser::Take(const Option& option, const std::string& value,
                          std::string* problem) {
  if (option.take != nullptr) {
    if (!option.take(value, c_, problem)) {
      *problem = Spelled(option) + " " + *problem;
      return false;
    }
  } else if (option.takes_value) {
    c_->values.emplace_back(option.name, value);
  } else {
    c_->options += option.letter;
  }
  given_.push_back({&option, value});
  return true;
}

Parsed ArgumentParser::TakeLong(const std::vector<std::string>& args, size_t* i,
                                std::string* problem) {
  const std::string& arg = args[*i];
  const size_t dashes = arg[1] == '-' ? 2 : 1;
  const size_t equals = arg.find('=');
  const std::string name = arg.substr(
      dashes, equals == std::string::npos ? equals : equals - dashes);
  const Option* option = ByName(name);
  if (option == nullptr ||
      (!option->takes_value && equals != std::string::npos)) {
    *problem = "unknown option --" + name + Suggestion(name);
    return Parsed::kUsage;
  }
  if (option == &kHelpOption) return Parsed::kHelp;
  std::string value;
  if (equals != std::string::npos) {
    value = arg.substr(equals + 1);
  } else if (option->takes_value && *i + 1 < args.size()) {
    value = args[++*i];
  } else if (option->takes_value && option->take == nullptr) {
    *problem = Spelled(*option) + " takes a value";
    return Parsed::kUsage;
  }  // else an option that reads its value says what it takes
  return Take(*option, value, problem) ? Parsed::kRun : Parsed::kUsage;
}

Parsed ArgumentParser::TakeLetters(const std::vector<std::string>& args,
                                   size_t* i, std::string* problem) {
  const std::string& arg = args[*i];
  for (size_t k = 1; k < arg.size(); ++k) {
    const char letter = arg[k];
    const Option* option = ByLetter(letter);
    if (option == &kHelpOption) return Parsed::kHelp;
    if (option != nullptr && option->takes_value) {
      // "-d 2" or "-d2": the rest of the word, or the next argument.
      if (k + 1 == arg.size() && *i + 1 == args.size()) {
        *problem = std::string("-") + letter + " takes a value";
        return Parsed::kUsage;
      }
      const std::string value =
          k + 1 < arg.size() ? arg.substr(k + 1) : args[++*i];
      return Take(*option, value, problem) ? Parsed::kRun : Parsed::kUsage;
    }
    if (option == nullptr) {
      *problem = std::string("unknown option -") + letter;
      if (arg.size() > 2) {
        *problem += " (in " + arg + ")" + Suggestion(arg.substr(1));
      }
      return Parsed::kUsage;
    }
    if (!Take(*option, "", problem)) return Parsed::kUsage;
  }
  return Parsed::kRun;
}

// The command's own options as given, letters first, then the long ones in
// the order of its entry.
std::string ArgumentParser::Retyped() const {
  std::string line = c_->options.empty() ? "" : "-" + c_->options;
  for (const Option& option : command_.options) {
    if (option.letter != 0 && !option.takes_value) continue;
    for (const Given& given : given_) {
      if (given.option != &option) continue;
      if (!line.empty()) line += " ";
      line += Spelled(option);
      if (option.takes_value) line += " " + given.value;
    }
  }
  return line;
}

Parsed ArgumentParser::Parse(const std::vector<std::string>& args,
                             std::string* problem) {
  c_->command = command_.name;
  for (const Option& option : command_.options) {
    if (option.letter != 0) c_->accepted += option.letter;
  }
  std::vector<std::string> operands;
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    Parsed parsed = Parsed::kRun;
    if (options_done || arg == "-" || arg.empty() || arg[0] != '-') {
      operands.push_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg[1] == '-' || IsOneDash(arg)) {
      parsed = TakeLong(args, &i, problem);
    } else {
      parsed = TakeLetters(args, &i, problem);
    }
    if (parsed != Parsed::kRun) return parsed;
  }
  c_->retyped = Retyped();
  if (operands.empty()) {
    *problem = "no IMAGE given";
    return Parsed::kUsage;
  }
  if (operands[0].empty()) {
    *problem = "IMAGE is an empty name";
    return Parsed::kUsage;
  }
  if (operands.size() - 1 < command_.min_args ||
      operands.size() - 1 > command_.max_args) {
    *problem = "wrong number of arguments";
    return Parsed::kUsage;
  }
  c_->image = operands[0];
  c_->args.assign(operands.begin() + 1, operands.end());
  return Parsed::kRun;
}

}  // namespace

Parsed ParseArguments(const Command& command,
                      const std::vector<std::string>& args, Context* c,
                      std::string* problem) {
  return ArgumentParser(command, c).Parse(args, problem);
}

size_t LeadingOptions(const std::vector<std::string>& args) {
  const std::string wait = std::string("--") + kWaitOption.name;
  const std::string quiet = std::string("-") + kQuietOption.letter;
  size_t at = 0;
  while (at < args.size() &&
         (args[at] == wait || args[at].rfind(wait + "=", 0) == 0 ||
          args[at] == quiet)) {
    if (args[at] == wait && at + 1 < args.size()) ++at;
    ++at;
  }
  return at;
}

}  // namespace qsplex
