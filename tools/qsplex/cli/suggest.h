// Suggestions for a mistyped command or option.
#ifndef QSSTORAGE_TOOLS_QSPLEX_CLI_SUGGEST_H_
#define QSSTORAGE_TOOLS_QSPLEX_CLI_SUGGEST_H_

#include <string>
#include <utility>
#include <vector>

namespace qsplex {

// Edit distance, a swap of two neighbours counting as one edit.
size_t Distance(const std::string& a, const std::string& b);

// What the candidates close to `word` stand for, each once, in the order of
// `candidates`: a candidate is close within one edit (two for a word over
// four letters), or when it starts with `word` of two letters or more. Each
// candidate pairs a word ("list") with what it stands for ("ls").
std::vector<std::string> Near(
    const std::string& word,
    const std::vector<std::pair<std::string, std::string>>& candidates);

// The first of `names` close to `word`, or "".
std::string Nearest(const std::string& word,
                    const std::vector<std::string>& names);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_CLI_SUGGEST_H_
