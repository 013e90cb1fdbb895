#include "tools/qsplex/compound/gsf_library.h"

#include <dlfcn.h>

#include "tools/qsplex/compound/gsf_storage.h"

// compound_files.cmake passes the soname of the libgsf the build found,
// QSPLEX_GSF_SONAME, and its version, QSPLEX_GSF_VERSION.

namespace qsplex {
namespace gsf {
namespace {

const char kInstall[] =
    "install libgsf (apt-get install libgsf-1-114, or run scripts/setup.sh)";

std::string Reason() {
  const char* reason = dlerror();
  return reason != nullptr ? reason : "no reason given";
}

// dlsym on libgsf's handle finds glib's functions too: glib and gobject
// are among what libgsf itself loads.
template <class Function>
bool Resolve(void* handle, const char* soname, const char* symbol,
             Function* out, std::string* problem) {
  dlerror();
  *out = reinterpret_cast<Function>(dlsym(handle, symbol));
  if (*out != nullptr) return true;
  *problem = std::string(soname) + " has no " + symbol + " (" + Reason() +
             "): compound files need libgsf 1.14; " + kInstall;
  return false;
}

}  // namespace

const GsfApi* gsf = nullptr;

bool LoadGsfFrom(const char* soname, GsfApi* api, std::string* problem) {
  void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    *problem = "compound files need libgsf, which cannot be loaded (" +
               Reason() + "); " + kInstall;
    return false;
  }
#define QSPLEX_GSF_RESOLVE(prefix, name)                              \
  if (!Resolve(handle, soname, #prefix #name, &api->name, problem)) { \
    return false;                                                     \
  }
  QSPLEX_GSF_FUNCTIONS(QSPLEX_GSF_RESOLVE)
#undef QSPLEX_GSF_RESOLVE
  return true;
}

bool LoadGsf(std::string* problem) {
  static GsfApi api;
  static std::string failure;
  static const bool loaded = [] {
    if (!LoadGsfFrom(QSPLEX_GSF_SONAME, &api, &failure)) return false;
    api.init();
    gsf = &api;
    return true;
  }();
  if (!loaded) *problem = failure;
  return loaded;
}

}  // namespace gsf

bool LoadCompoundFiles(std::string* problem) { return gsf::LoadGsf(problem); }

std::string CompoundFileLibrary() {
  return "libgsf " QSPLEX_GSF_VERSION " (" QSPLEX_GSF_SONAME
         ", loaded by export and import)";
}

}  // namespace qsplex
