#include "tools/qsplex/output/text.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace qsplex {
namespace {

struct ResultText {
  uint32_t code;
  const char* name;
  const char* meaning;
};

// The library's codes, and those the platform's compound files give.
constexpr ResultText kResults[] = {
    {0x00000000, "S_OK", "success"},
    {0x00000001, "S_FALSE", "nothing done"},
    {0x80004001, "E_NOTIMPL", "not implemented"},
    {0x80004002, "E_NOINTERFACE", "interface not supported"},
    {0x80004003, "E_POINTER", "invalid pointer"},
    {0x80004005, "E_FAIL", "the operation failed"},
    {0x8007000E, "E_OUTOFMEMORY", "out of memory"},
    {0x80070057, "E_INVALIDARG", "invalid argument"},
    {0x80030001, "STG_E_INVALIDFUNCTION", "invalid function or size"},
    {0x80030002, "STG_E_FILENOTFOUND", "no such element"},
    {0x80030003, "STG_E_PATHNOTFOUND", "no such path"},
    {0x80030004, "STG_E_TOOMANYOPENFILES", "too many open files"},
    {0x80030005, "STG_E_ACCESSDENIED", "access denied"},
    {0x80030008, "STG_E_INSUFFICIENTMEMORY", "not enough memory"},
    {0x80030009, "STG_E_INVALIDPOINTER", "invalid pointer"},
    {0x80030020, "STG_E_SHAREVIOLATION", "the file is in use"},
    {0x80030021, "STG_E_LOCKVIOLATION", "the file is locked"},
    {0x80030050, "STG_E_FILEALREADYEXISTS", "an element of that name exists"},
    {0x80030057, "STG_E_INVALIDPARAMETER", "invalid parameter"},
    {0x80030070, "STG_E_MEDIUMFULL", "the plex or disk is full"},
    {0x800300FB, "STG_E_INVALIDHEADER", "not a compound file"},
    {0x800300FC, "STG_E_INVALIDNAME",
     "invalid name, or too long for this storage"},
    {0x800300FF, "STG_E_INVALIDFLAG", "invalid flags"},
    {0x80030102, "STG_E_REVERTED", "the element was destroyed"},
    {0x80030109, "STG_E_DOCFILECORRUPT", "the compound file is damaged"},
};

// Controls the code page holds: C0, DEL, and the C1 controls at the five
// byte values code page 1252 leaves undefined.
bool IsControl(uint32_t c) {
  return (c >= 0x01 && c < 0x20) || c == 0x7F || c == 0x81 || c == 0x8D ||
         c == 0x8F || c == 0x90 || c == 0x9D;
}

bool Escaped(uint32_t c, NameUse use) {
  if (IsControl(c) || c == '%' || c == '/') return true;
  return use == NameUse::kWindowsFile && c != 0 && c < 0x80 &&
         std::strchr("<>:\"\\|?*", static_cast<int>(c)) != nullptr;
}

// Whether "%XX" of `byte` is a form some use writes: at the end of a name
// also a dot or a space.
bool Unescapable(int byte, bool at_end) {
  return byte > 0 &&
         (Escaped(static_cast<uint32_t>(byte), NameUse::kWindowsFile) ||
          (at_end && (byte == '.' || byte == ' ')));
}

void AppendEscape(uint32_t byte, std::string* out) {
  char text[8];
  std::snprintf(text, sizeof text, "%%%02X", static_cast<unsigned>(byte));
  out->append(text);
}

int UpperHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string EscapeName(const WideString& name, NameUse use) {
  const WideString dot(1, '.');
  // "." and ".." name the folder itself and its parent in every file system.
  const bool dots =
      use != NameUse::kShown && (name == dot || name == dot + dot);
  std::string out;
  WideString plain;
  for (size_t i = 0; i < name.size(); ++i) {
    const uint32_t c = static_cast<uint16_t>(name[i]);
    const bool last = i + 1 == name.size();
    const bool trailing =
        last &&
        (dots || (use == NameUse::kWindowsFile && (c == '.' || c == ' ')));
    if (!trailing && !Escaped(c, use)) {
      plain.push_back(name[i]);
      continue;
    }
    out += WideToUtf8(plain.c_str());
    plain.clear();
    AppendEscape(c, &out);
  }
  return out + WideToUtf8(plain.c_str());
}

bool UnescapeName(const std::string& text, WideString* name,
                  std::string* problem) {
  std::string utf8;
  size_t characters = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((text[i] & 0xC0) != 0x80) ++characters;
    if (text[i] != '%') {
      utf8.push_back(text[i]);
      continue;
    }
    int byte = -1;
    if (i + 2 < text.size() && UpperHexDigit(text[i + 1]) >= 0 &&
        UpperHexDigit(text[i + 2]) >= 0) {
      byte = UpperHexDigit(text[i + 1]) * 16 + UpperHexDigit(text[i + 2]);
    }
    if (!Unescapable(byte, i + 3 == text.size())) {
      *problem = "character " + std::to_string(characters) + " of '" + text +
                 "', '%', does not start the escape of a character that is "
                 "escaped (%XX in upper-case hex; '%' itself is %25)";
      return false;
    }
    AppendUtf8(static_cast<uint32_t>(byte), &utf8);
    i += 2;
  }
  if (!Utf8ToWide(utf8, name)) {
    *problem = "the name is not valid UTF-8";
    return false;
  }
  if (name->empty()) {
    *problem = "the name is empty";
    return false;
  }
  return true;
}

std::string ShownName(const OLECHAR* name) {
  return name == nullptr || *name == 0 ? "(no name)"
                                       : EscapeName(name, NameUse::kShown);
}

std::string ShownPath(const std::string& utf8_path) {
  std::string out;
  for (size_t i = 0; i < utf8_path.size(); ++i) {
    const unsigned char byte = utf8_path[i];
    const unsigned char next = i + 1 < utf8_path.size() ? utf8_path[i + 1] : 0;
    if (byte == '%' || IsControl(byte)) {
      AppendEscape(byte, &out);
    } else if (byte == 0xC2 && IsControl(next)) {
      AppendEscape(next, &out);  // U+0080-U+009F in UTF-8
      ++i;
    } else {
      out.push_back(static_cast<char>(byte));
    }
  }
  return out;
}

bool SplitPath(const std::string& path, std::vector<WideString>* names,
               std::string* problem) {
  names->clear();
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      WideString name;
      std::string why;
      if (!UnescapeName(path.substr(start, end - start), &name, &why)) {
        if (problem != nullptr) *problem = why;
        return false;
      }
      names->push_back(name);
    }
    start = end + 1;
  }
  return true;
}

std::string JoinPath(const std::vector<WideString>& names, size_t count) {
  if (count == 0) return "/";
  std::string out;
  for (size_t i = 0; i < count && i < names.size(); ++i) {
    out += "/" + ShownName(names[i].c_str());
  }
  return out;
}

std::string Count(uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string DescribeResult(HRESULT hr) {
  const uint32_t code = static_cast<uint32_t>(hr);
  for (const ResultText& result : kResults) {
    if (result.code == code) {
      return std::string(result.meaning) + " (" + result.name + ")";
    }
  }
  char text[32];
  std::snprintf(text, sizeof text, "result 0x%08X",
                static_cast<unsigned>(code));
  return text;
}

std::string FormatClassId(const CLSID& clsid) {
  char text[40];
  std::snprintf(text, sizeof text,
                "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(clsid.Data1), clsid.Data2, clsid.Data3,
                clsid.Data4[0], clsid.Data4[1], clsid.Data4[2], clsid.Data4[3],
                clsid.Data4[4], clsid.Data4[5], clsid.Data4[6], clsid.Data4[7]);
  return text;
}

bool ParseClassId(const std::string& text, CLSID* clsid) {
  std::string digits = text;
  if (digits.size() == 38 && digits.front() == '{' && digits.back() == '}') {
    digits = digits.substr(1, 36);
  }
  if (digits.size() != 36) return false;
  unsigned char bytes[16];
  int count = 0;
  for (size_t i = 0; i < digits.size(); i += 2) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (digits[i] != '-') return false;
      ++i;
    }
    const int high = HexDigit(digits[i]);
    const int low = HexDigit(digits[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[count++] = static_cast<unsigned char>(high * 16 + low);
  }
  // The text reads Data1 to Data3 most significant byte first.
  clsid->Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                 (uint32_t{bytes[2]} << 8) | bytes[3];
  clsid->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  clsid->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  std::memcpy(clsid->Data4, bytes + 8, 8);
  return true;
}

std::string DescribeMode(DWORD mode) {
  if (mode == 0) return "0 (not open)";
  static const char* const kAccess[] = {"read", "write", "readwrite", "?"};
  static const char* const kShare[] = {"", ", share-exclusive", ", deny-write",
                                       ", deny-read", ", deny-none"};
  char text[64];
  const DWORD share = (mode >> 4) & 7;
  std::snprintf(text, sizeof text, "0x%X (%s%s%s)", static_cast<unsigned>(mode),
                kAccess[mode & 3], share < 5 ? kShare[share] : ", ?",
                (mode & STGM_CREATE) != 0 ? ", create" : "");
  return text;
}

unsigned AnsiCodePage() {
#if defined(_WIN32)
  return GetACP();
#else
  return 1252;
#endif
}

size_t FirstCharacterOutsideCodePage(const WideString& name,
                                     uint32_t* character) {
  size_t place = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    ++place;
    WideString one(1, name[i]);
    uint32_t c = static_cast<uint16_t>(name[i]);
    const uint32_t low =
        i + 1 < name.size() ? static_cast<uint16_t>(name[i + 1]) : 0;
    if (c >= 0xD800 && c < 0xDC00 && low >= 0xDC00 && low < 0xE000) {
      one.push_back(name[++i]);
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
    }
    char ansi[8];
    OLECHAR back[8];
    if (qss::WideToAnsi(one.c_str(), ansi, sizeof ansi) == 0 ||
        qss::AnsiToWide(ansi, back, 8) == 0 || one != back) {
      *character = c;
      return place;
    }
  }
  return 0;
}

std::string CodePointName(uint32_t character) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(character));
  return text;
}

bool SameElementName(const OLECHAR* a, const OLECHAR* b) {
  char ansi_a[1024];
  char ansi_b[1024];
  if (qss::WideToAnsi(a, ansi_a, sizeof ansi_a) == 0 ||
      qss::WideToAnsi(b, ansi_b, sizeof ansi_b) == 0) {
    return WideString(a) == WideString(b);
  }
  return std::strcmp(ansi_a, ansi_b) == 0;
}

}  // namespace qsplex
