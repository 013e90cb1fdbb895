#include "tools/qsplex/cli/suggest.h"

#include <algorithm>

namespace qsplex {

size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1,
                                     std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] =
          std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

std::vector<std::string> Near(
    const std::string& word,
    const std::vector<std::pair<std::string, std::string>>& candidates) {
  const size_t allowed = word.size() <= 4 ? 1 : 2;
  std::vector<std::string> nearest;
  for (const auto& candidate : candidates) {
    const bool close =
        Distance(word, candidate.first) <= allowed ||
        (word.size() >= 2 && candidate.first.rfind(word, 0) == 0);
    if (close && std::find(nearest.begin(), nearest.end(), candidate.second) ==
                     nearest.end()) {
      nearest.push_back(candidate.second);
    }
  }
  return nearest;
}

std::string Nearest(const std::string& word,
                    const std::vector<std::string>& names) {
  std::vector<std::pair<std::string, std::string>> candidates;
  for (const std::string& name : names) candidates.emplace_back(name, name);
  const std::vector<std::string> nearest = Near(word, candidates);
  return nearest.empty() ? std::string() : nearest[0];
}

}  // namespace qsplex
