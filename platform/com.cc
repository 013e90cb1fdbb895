#include "platform/com.h"

#include <cstdlib>

#if !defined(_WIN32)

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000,
                          {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_ISequentialStream = {
    0x0c733a30, 0x2a1c, 0x11ce, {0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d}};
const IID IID_IStream = {0x0000000c, 0x0000, 0x0000,
                         {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IStorage = {0x0000000b, 0x0000, 0x0000,
                          {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IEnumSTATSTG = {0x0000000d, 0x0000, 0x0000,
                              {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const CLSID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

void* CoTaskMemAlloc(size_t size) { return std::malloc(size); }
void CoTaskMemFree(void* block) { std::free(block); }

namespace {

// Code page 1252 between 0x80 and 0x9F; the five bytes the code page leaves
// undefined map to the C1 control of the same value, as on Windows.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char AnsiOf(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
  for (int i = 0; i < 32; ++i) {
    if (kHighControls[i] == c) return static_cast<char>(0x80 + i);
  }
  return '?';
}

}  // namespace

namespace qss {

int WideToAnsi(const OLECHAR* wide, char* out, int capacity) {
  int written = 0;
  for (;; ++wide) {
    if (written == capacity) return 0;
    // Each half of a surrogate pair becomes '?', as on Windows.
    const char16_t c = *wide;
    out[written++] = AnsiOf(c);
    if (c == 0) return written;
  }
}

int AnsiToWide(const char* ansi, OLECHAR* out, int capacity) {
  int written = 0;
  for (;; ++ansi) {
    if (written == capacity) return 0;
    unsigned char b = static_cast<unsigned char>(*ansi);
    out[written++] = (b >= 0x80 && b < 0xA0) ? kHighControls[b - 0x80] : b;
    if (b == 0) return written;
  }
}

}  // namespace qss

#else  // _WIN32

namespace qss {

int WideToAnsi(const OLECHAR* wide, char* out, int capacity) {
  return WideCharToMultiByte(CP_ACP, 0, wide, -1, out, capacity, nullptr,
                             nullptr);
}

int AnsiToWide(const char* ansi, OLECHAR* out, int capacity) {
  return MultiByteToWideChar(CP_ACP, 0, ansi, -1, out, capacity);
}

}  // namespace qss

#endif  // _WIN32

namespace qss {

size_t WideLength(const OLECHAR* wide) {
  size_t n = 0;
  while (wide[n] != 0) ++n;
  return n;
}

}  // namespace qss
