#include "support/utf8.h"

namespace qss_support {

bool Utf8ToWide(const std::string& utf8, WideString* wide) {
  wide->clear();
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char lead = utf8[i];
    int extra = 0;
    uint32_t c = lead;
    if (lead >= 0xF0 && lead < 0xF5) {
      extra = 3, c = lead & 0x07;
    } else if (lead >= 0xE0) {
      extra = 2, c = lead & 0x0F;
    } else if (lead >= 0xC2) {
      extra = 1, c = lead & 0x1F;
    } else if (lead >= 0x80 || lead == 0) {
      return false;
    }
    if (lead >= 0xF5 || utf8.size() - i <= static_cast<size_t>(extra)) {
      return false;
    }
    for (int k = 1; k <= extra; ++k) {
      const unsigned char next = utf8[i + k];
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF.
    if ((extra == 2 && c < 0x800) || (extra == 3 && c < 0x10000) ||
        (c >= 0xD800 && c < 0xE000) || c > 0x10FFFF) {
      return false;
    }
    i += 1 + extra;
    if (c >= 0x10000) {
      c -= 0x10000;
      wide->push_back(static_cast<OLECHAR>(0xD800 + (c >> 10)));
      wide->push_back(static_cast<OLECHAR>(0xDC00 + (c & 0x3FF)));
    } else {
      wide->push_back(static_cast<OLECHAR>(c));
    }
  }
  return true;
}

std::string WideToUtf8(const OLECHAR* wide) {
  std::string out;
  if (wide == nullptr) return out;
  for (; *wide != 0; ++wide) {
    uint32_t c = static_cast<uint16_t>(*wide);
    const uint32_t low = static_cast<uint16_t>(wide[1]);
    if (c >= 0xD800 && c < 0xDC00 && low >= 0xDC00 && low < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++wide;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    AppendUtf8(c, &out);
  }
  return out;
}

void AppendUtf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace qss_support
