#include "tools/qsplex/tree/path.h"

#include <cstdio>

namespace qsplex {

bool ParsePath(const Reporter& c, const std::string& path,
               std::vector<WideString>* names) {
  std::string problem;
  if (!SplitPath(path, names, &problem)) {
    c.Fail(ShownPath(path), problem);
    return false;
  }
  for (const WideString& name : *names) {
    if (!NameFits(c, path, name)) return false;
  }
  return true;
}

bool NameFits(const Reporter& c, const std::string& subject,
              const WideString& name) {
  uint32_t character = 0;
  const size_t place = FirstCharacterOutsideCodePage(name, &character);
  if (place == 0) return true;
  WideString shown;
  if (character >= 0x10000) {
    shown = {static_cast<OLECHAR>(0xD800 + ((character - 0x10000) >> 10)),
             static_cast<OLECHAR>(0xDC00 + (character & 0x3FF))};
  } else {
    shown = {static_cast<OLECHAR>(character)};
  }
  c.Fail(subject, "character " + std::to_string(place) + " of the name '" +
                      ShownName(name.c_str()) + "', '" +
                      WideToUtf8(shown.c_str()) + "' (" +
                      CodePointName(character) + "), is not in code page " +
                      std::to_string(AnsiCodePage()) +
                      ", in which element names are kept");
  return false;
}

void WarnUnnamed(const Reporter& c, const std::vector<TreeNode>& nodes,
                 const std::string& top_path, const char* what) {
  for (size_t i = 1; i < nodes.size(); ++i) {
    if (!nodes[i].name.empty()) continue;
    std::fprintf(stderr, "qsplex: %s: %s: has no name, so it is not %s\n",
                 c.command().c_str(),
                 NodePath(nodes, static_cast<int>(i), top_path).c_str(), what);
  }
}

}  // namespace qsplex
