#include "tools/qsplex/compound/file_storage.h"

#include <cstdio>
#include <cstring>

#include "tools/qsplex/os/files.h"
#if !defined(_WIN32)
#include "tools/qsplex/compound/gsf_storage.h"
#endif

namespace qsplex {

#if defined(_WIN32) || defined(QSPLEX_HAVE_GSF)

HRESULT CreateFileStorage(const std::string& path, IStorage** out) {
#if defined(_WIN32)
  return StgCreateDocfile(WideName(path).c_str(),
                          STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                          0, out);
#else
  return CreateCompoundFile(path, out);
#endif
}

HRESULT OpenFileStorage(const std::string& path, IStorage** out) {
#if defined(_WIN32)
  *out = nullptr;
  if (StgIsStorageFile(WideName(path).c_str()) != S_OK) {
    return kNotCompound;
  }
  return StgOpenStorage(WideName(path).c_str(), nullptr,
                        STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, out);
#else
  return OpenCompoundFile(path, out);
#endif
}
#endif  // _WIN32 || QSPLEX_HAVE_GSF

namespace {
// The first bytes of every compound file.
constexpr unsigned char kCompoundMagic[] = {0xD0, 0xCF, 0x11, 0xE0,
                                            0xA1, 0xB1, 0x1A, 0xE1};
}  // namespace

bool IsCompoundFile(const std::string& path) {
  if (Probe(path).kind != FileKind::kFile) return false;
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) return false;
  unsigned char head[sizeof kCompoundMagic];
  const bool compound = std::fread(head, 1, sizeof head, file) == sizeof head &&
                        std::memcmp(head, kCompoundMagic, sizeof head) == 0;
  std::fclose(file);
  return compound;
}

}  // namespace qsplex
