#include "tools/qsplex/compound/gsf_objects.h"

#include <cerrno>
#include <cstring>

namespace qsplex {
namespace gsf {

CLSID ClassIdFromBytes(const guint8* b) {
  CLSID id;
  id.Data1 = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
             static_cast<uint32_t>(b[2]) << 16 |
             static_cast<uint32_t>(b[3]) << 24;
  id.Data2 = static_cast<uint16_t>(b[4] | b[5] << 8);
  id.Data3 = static_cast<uint16_t>(b[6] | b[7] << 8);
  std::memcpy(id.Data4, b + 8, 8);
  return id;
}

void ClassIdToBytes(const CLSID& id, guint8* b) {
  for (int i = 0; i < 4; ++i) b[i] = static_cast<guint8>(id.Data1 >> (8 * i));
  for (int i = 0; i < 2; ++i) {
    b[4 + i] = static_cast<guint8>(id.Data2 >> (8 * i));
    b[6 + i] = static_cast<guint8>(id.Data3 >> (8 * i));
  }
  std::memcpy(b + 8, id.Data4, 8);
}

bool NameToUtf8(const WideString& name, std::string* utf8) {
  gchar* converted = gsf->utf16_to_utf8(
      reinterpret_cast<const gunichar2*>(name.data()),
      static_cast<glong>(name.size()), nullptr, nullptr, nullptr);
  if (converted == nullptr) return false;
  *utf8 = converted;
  gsf->free(converted);
  return true;
}

WideString NameFromUtf8(const char* utf8) {
  glong units = 0;
  gunichar2* converted =
      utf8 == nullptr ? nullptr
                      : gsf->utf8_to_utf16(utf8, -1, nullptr, &units, nullptr);
  if (converted == nullptr) return WideString();
  WideString name(reinterpret_cast<const OLECHAR*>(converted),
                  static_cast<size_t>(units));
  gsf->free(converted);
  return name;
}

HRESULT FillStat(STATSTG* stat, DWORD flags, const WideString& name, DWORD type,
                 uint64_t size, DWORD mode, const CLSID& clsid) {
  if (stat == nullptr) return STG_E_INVALIDPOINTER;
  *stat = STATSTG{};
  if ((flags & STATFLAG_NONAME) == 0) {
    const size_t bytes = (name.size() + 1) * sizeof(OLECHAR);
    stat->pwcsName = static_cast<OLECHAR*>(CoTaskMemAlloc(bytes));
    if (stat->pwcsName == nullptr) return STG_E_INSUFFICIENTMEMORY;
    std::memcpy(stat->pwcsName, name.c_str(), bytes);
  }
  stat->type = type;
  stat->cbSize.QuadPart = size;
  stat->grfMode = mode;
  stat->clsid = clsid;
  return S_OK;
}

// libgsf reports an errno, or for files it reads a GFileError.
HRESULT FileError(GError* error, HRESULT missing) {
  int code = error != nullptr ? error->code : 0;
  if (error != nullptr && error->domain == gsf->file_error_quark()) {
    code = code == G_FILE_ERROR_NOENT    ? ENOENT
           : code == G_FILE_ERROR_NOTDIR ? ENOTDIR
           : code == G_FILE_ERROR_NOSPC  ? ENOSPC
                                         : 0;
  }
  gsf->clear_error(&error);
  if (code == ENOENT) return missing;
  if (code == ENOTDIR) return kPathNotFound;
  if (code == ENOSPC) return STG_E_MEDIUMFULL;
  return STG_E_ACCESSDENIED;
}

}  // namespace gsf
}  // namespace qsplex
