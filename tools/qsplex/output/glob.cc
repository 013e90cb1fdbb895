#include "tools/qsplex/output/glob.h"

#include "tools/qsplex/output/text.h"

namespace qsplex {

bool DecodeUtf8(const std::string& text, std::u32string* out) {
  WideString wide;
  if (!Utf8ToWide(text, &wide)) return false;
  out->clear();
  for (size_t i = 0; i < wide.size(); ++i) {
    const char32_t unit = static_cast<char16_t>(wide[i]);
    // Utf8ToWide makes only whole pairs.
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < wide.size()) {
      const char32_t low = static_cast<char16_t>(wide[++i]);
      out->push_back(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
    } else {
      out->push_back(unit);
    }
  }
  return true;
}

bool Glob::Parse(const std::string& pattern, std::string* problem) {
  if (DecodeUtf8(pattern, &pattern_)) return true;
  *problem = "takes a pattern in UTF-8; this one is not";
  return false;
}

bool Glob::MatchesOne(size_t at, char32_t ch, size_t* next) const {
  const std::u32string& p = pattern_;
  if (p[at] == U'?') {
    *next = at + 1;
    return true;
  }
  if (p[at] == U'\\' && at + 1 < p.size()) {
    *next = at + 2;
    return p[at + 1] == ch;
  }
  if (p[at] == U'[') {
    size_t i = at + 1;
    const bool negated = i < p.size() && (p[i] == U'!' || p[i] == U'^');
    if (negated) ++i;
    bool found = false;
    for (bool first = true; i < p.size() && (first || p[i] != U']');
         first = false) {
      if (p[i] == U'\\' && i + 1 < p.size()) ++i;
      const char32_t low = p[i++];
      char32_t high = low;
      if (i + 1 < p.size() && p[i] == U'-' && p[i + 1] != U']') {
        i += p[i + 1] == U'\\' && i + 2 < p.size() ? 2 : 1;
        high = p[i++];
      }
      found = found || (low <= ch && ch <= high);
    }
    if (i < p.size()) {
      *next = i + 1;
      return found != negated;
    }
    // No ']' closes the set: the '[' is itself.
  }
  *next = at + 1;
  return p[at] == ch;
}

bool Glob::Matches(const std::string& text) const {
  std::u32string t;
  if (!DecodeUtf8(text, &t)) return false;
  // '*' is the only item of varying length: on a mismatch, the latest '*'
  // takes one character more and the rest is tried again from there.
  constexpr size_t kNone = std::u32string::npos;
  size_t p = 0, at = 0, star = kNone, star_at = 0;
  while (at < t.size()) {
    if (p < pattern_.size() && pattern_[p] == U'*') {
      star = ++p;
      star_at = at;
      continue;
    }
    size_t next = 0;
    if (p < pattern_.size() && MatchesOne(p, t[at], &next)) {
      p = next;
      ++at;
      continue;
    }
    if (star == kNone) return false;
    p = star;
    at = ++star_at;
  }
  while (p < pattern_.size() && pattern_[p] == U'*') ++p;
  return p == pattern_.size();
}

}  // namespace qsplex
