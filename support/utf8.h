// UTF-8 and UTF-16 for the command line, the tests and the checker's
// reports.
#ifndef QSSTORAGE_SUPPORT_UTF8_H_
#define QSSTORAGE_SUPPORT_UTF8_H_

#include <cstdint>
#include <string>

#include "platform/com.h"

namespace qss_support {

using WideString = std::basic_string<OLECHAR>;

// False when `utf8` is not valid UTF-8 (overlong forms, surrogates and
// values past U+10FFFF included) or holds a zero; `*wide` is then
// incomplete.
bool Utf8ToWide(const std::string& utf8, WideString* wide);
// Surrogate pairs as one character, a lone surrogate as U+FFFD; "" for
// null.
std::string WideToUtf8(const OLECHAR* wide);
// Appends the UTF-8 form of `code_point` (at most U+10FFFF).
void AppendUtf8(uint32_t code_point, std::string* out);

}  // namespace qss_support

#endif  // QSSTORAGE_SUPPORT_UTF8_H_
