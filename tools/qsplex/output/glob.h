// Name patterns as find -name and the shell take them, over characters
// (Unicode code points) rather than bytes.
#ifndef QSSTORAGE_TOOLS_QSPLEX_OUTPUT_GLOB_H_
#define QSSTORAGE_TOOLS_QSPLEX_OUTPUT_GLOB_H_

#include <string>

namespace qsplex {

// A pattern: '*' stands for any run of characters, '?' for one character,
// '[...]' for one character of a set ("[a-z_]"; "[!...]" or "[^...]" for
// one not in it; a ']' first in the set, or after '\', is itself), '\' makes
// the next character itself; every other character is itself. A '[' that no
// ']' closes is itself too, as in fnmatch(3).
class Glob {
 public:
  // False, with `*problem` saying why, when `pattern` is not UTF-8.
  bool Parse(const std::string& pattern, std::string* problem);
  // Whether the UTF-8 `text` matches it whole.
  bool Matches(const std::string& text) const;

 private:
  // Whether `ch` matches the single-character item at `at`; `*next` is the
  // item after it.
  bool MatchesOne(size_t at, char32_t ch, size_t* next) const;

  std::u32string pattern_;
};

// The code points of UTF-8 `text`; false when it is not UTF-8.
bool DecodeUtf8(const std::string& text, std::u32string* out);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_OUTPUT_GLOB_H_
