#include "exports/root_anchor.h"
#include "qsstorage/qsstorage.h"

extern "C" {

QSS_API IStorage* QSS_CALL GetRootIStorage(void) {
  return qss::OpenRootStorage();
}

QSS_API int QSS_CALL QSStrg_ClearRootStorage(void) {
  qss::ClearRoot();
  return 1;
}

QSS_API int QSS_CALL QSStrg_RestoreRefCounts(void) {
  qss::ResetOpenState();
  return 1;
}

}  // extern "C"

#if defined(_WIN32)
// Nothing to set up: all state is in the plex. Thread notifications are
// turned off since the library has no per-thread state.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
#endif
