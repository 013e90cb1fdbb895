#include "reliability/arguments.h"

#include "support/utf8.h"

namespace qss_reliability {
namespace {

// The names below are all UTF-8.
WideString Utf16(const std::string& utf8) {
  WideString out;
  qss_support::Utf8ToWide(utf8, &out);
  return out;
}

}  // namespace

const std::vector<NameArg>& Names() {
  static const std::vector<NameArg> names = [] {
    const std::string n1022(1022, 'n');
    const char* const utf8[] = {
        "a",
        "b",
        "c",
        "A",
        "abcd",
        "abcdefgh",
        "abcde",
        "",
        "\xC3\xA9",         // é, one byte
        "\xE2\x82\xACuro",  // €uro: 0x80 and three bytes
        "\xE4\xB8\x80",     // a character the code page lacks
        "?",
        "x\xC2\x81",         // '?', and a C1 control kept as 0x81
        "\xF0\x9F\x98\x80",  // a surrogate pair: two '?'
        "??",
        "Root"};
    std::vector<NameArg> out;
    for (const char* name : utf8) out.push_back(NameArg::Of(Utf16(name)));
    out.push_back(NameArg::Of(Utf16(n1022 + "n")));              // 1023
    out.push_back(NameArg::Of(Utf16(n1022 + "nn")));             // 1024
    out.push_back(NameArg::Of(Utf16(n1022 + "\xE2\x82\xAC")));   // 1023
    out.push_back(NameArg::Of(Utf16(n1022 + "n\xE4\xB8\x80")));  // 1024
    out.push_back(NameArg::Null());
    out.push_back(NameArg::Of(Utf16(std::string(2000, 'n'))));
    for (const char* name :
         {"a", "b", "c", "a", "s", "t", "s", "t", "abcd", "b"}) {
      out.push_back(NameArg::Of(Utf16(name)));
    }
    return out;
  }();
  return names;
}

const std::vector<std::string>& BlockNames() {
  static const std::vector<std::string> names = [] {
    auto k = [](size_t n) { return std::string(n, 'k'); };
    return std::vector<std::string>{
        "a",   "b", "abcd",  "\xE9", "",  k(250), k(251), k(255), k(300),
        "blk", "A", "x\x81", "s",    "t", "a",    "b",    k(256)};
  }();
  return names;
}

const IID& Iid(int index) {
  static const IID kOther = {0x12345678,
                             0x9ABC,
                             0xDEF0,
                             {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}};
  switch (index % 6) {
    case 0:
      return IID_IUnknown;
    case 1:
      return IID_IStorage;
    case 2:
      return IID_IStream;
    case 3:
      return IID_ISequentialStream;
    case 4:
      return IID_IEnumSTATSTG;
    default:
      return kOther;
  }
}

}  // namespace qss_reliability
