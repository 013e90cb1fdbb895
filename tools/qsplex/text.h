// Text for the command line: UTF-8 paths and names in, UTF-8 out, result
// codes in words, class ids.
#ifndef QSSTORAGE_TOOLS_QSPLEX_TEXT_H_
#define QSSTORAGE_TOOLS_QSPLEX_TEXT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/com.h"
#include "support/utf8.h"

namespace qsplex {

using qss_support::Utf8ToWide;
using qss_support::WideString;
using qss_support::WideToUtf8;

// An element name for people: "(no name)" for an empty or null one.
std::string ShownName(const OLECHAR* name);

// A path's element names, root first; "/" alone (or "") is the root, empty
// components are skipped. False when the path is not valid UTF-8.
bool SplitPath(const std::string& path, std::vector<WideString>* names);
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

#endif  // QSSTORAGE_TOOLS_QSPLEX_TEXT_H_
