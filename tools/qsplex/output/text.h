// Text for the command line: UTF-8 paths and names in, UTF-8 out, result
// codes in words, class ids.
#ifndef QSSTORAGE_TOOLS_QSPLEX_OUTPUT_TEXT_H_
#define QSSTORAGE_TOOLS_QSPLEX_OUTPUT_TEXT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com.h"
#include "support/utf8.h"

namespace qsplex {

using qss_support::AppendUtf8;
using qss_support::Utf8ToWide;
using qss_support::WideString;
using qss_support::WideToUtf8;

// Escaped names. A character a terminal or a file system cannot hold
// travels as '%' and two upper-case hex digits of its byte in the code page
// names are kept in: "\x05SummaryInformation" is "%05SummaryInformation",
// "100%" is "100%25". Every use escapes the control characters the code
// page holds (0x01-0x1F, 0x7F and the five C1 controls of 0x80-0x9F), '%'
// and '/'. File names also escape a trailing '.' of "." and "..", and on
// Windows '<' '>' ':' '"' '\\' '|' '?' '*' and any trailing dot or space.
enum class NameUse { kShown, kPosixFile, kWindowsFile };
#if defined(_WIN32)
constexpr NameUse kFileName = NameUse::kWindowsFile;
#else
constexpr NameUse kFileName = NameUse::kPosixFile;
#endif
// `name` in UTF-8 with those characters escaped.
std::string EscapeName(const WideString& name, NameUse use);
// The name `text` (UTF-8, escaped as above for any use) stands for. False,
// with `*problem` saying why, when `text` is not valid UTF-8, is empty, or
// has a '%' that does not start the escape of a character escaped above.
bool UnescapeName(const std::string& text, WideString* name,
                  std::string* problem);
// An element name for people, escaped: "(no name)" for an empty or null one.
std::string ShownName(const OLECHAR* name);
// A path already in UTF-8 (made elsewhere) with its control characters and
// '%' escaped as above; its '/'s stay separators.
std::string ShownPath(const std::string& utf8_path);

// A path's element names, root first; "/" alone (or "") is the root, empty
// components are skipped. Each component is unescaped as UnescapeName does.
// False, with `*problem` set when given, when a component is not valid.
bool SplitPath(const std::string& path, std::vector<WideString>* names,
               std::string* problem = nullptr);
// "/" and the names joined by "/".
std::string JoinPath(const std::vector<WideString>& names, size_t count);

// "1 stream", "3 streams".
std::string Count(uint64_t count, const char* noun);

// "no such element (STG_E_FILENOTFOUND)"; unknown codes in hex.
std::string DescribeResult(HRESULT hr);

// "{01234567-89AB-CDEF-0123-456789ABCDEF}".
std::string FormatClassId(const CLSID& clsid);
// Takes that form with or without braces; false when it is not a class id.
bool ParseClassId(const std::string& text, CLSID* clsid);

// "0x12 (readwrite, share-exclusive)"; "-" for 0.
std::string DescribeMode(DWORD mode);

// The code page the library keeps element names in: the system's ANSI code
// page on Windows, 1252 as the library emulates it elsewhere.
unsigned AnsiCodePage();
// The first character of `name` that does not convert to that code page
// and back unchanged: its place, counted in characters from 1, and the
// character itself in `*character`. 0 when every character does.
size_t FirstCharacterOutsideCodePage(const WideString& name,
                                     uint32_t* character);
// "U+65E5".
std::string CodePointName(uint32_t character);

// Whether two wide names are the same element name: equal in the ANSI code
// page, as the library compares them.
bool SameElementName(const OLECHAR* a, const OLECHAR* b);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_OUTPUT_TEXT_H_
