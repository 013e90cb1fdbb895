#include "tools/qsplex/cli/context.h"

#include "tools/qsplex/os/files.h"

namespace qsplex {
namespace {

std::string Quoted(const std::string& arg) {
  return arg.find_first_of(" '\"") == std::string::npos ? arg : "'" + arg + "'";
}

}  // namespace

int Context::Fail(const std::string& subject,
                  const std::string& message) const {
  return TellFailure(command, subject, message);
}

int Context::Fail(const std::string& subject, HRESULT hr) const {
  return Reporter(*this).Fail(subject, hr);
}

std::string SwappedHint(const Context& c) {
  // diff takes two images: there is no order to put right.
  if (c.command == "diff") return std::string();
  for (size_t i = 0; i < c.args.size(); ++i) {
    if (!LooksLikeImage(c.args[i])) continue;
    std::string line = "qsplex " + c.command;
    if (!c.retyped.empty()) line += " " + c.retyped;
    line += " " + Quoted(c.args[i]);
    for (size_t k = 0; k < c.args.size(); ++k) {
      line += " " + Quoted(k == i ? c.image : c.args[k]);
    }
    return "; " + c.args[i] + " is one: IMAGE comes first, as in '" + line +
           "'";
  }
  return std::string();
}

}  // namespace qsplex
