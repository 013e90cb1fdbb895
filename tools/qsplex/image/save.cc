#include "tools/qsplex/image/save.h"

#include <cerrno>
#include <string>

#include "qsstorage/qsstorage.h"
#include "standins/plex_controls.h"
#include "tools/qsplex/image/image_file.h"
#include "tools/qsplex/image/image_watch.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/image/plex.h"
#include "tools/qsplex/image/temporary_file.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/os/system.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace qsplex {
namespace {

// Whether the last write failed for want of room: a full disk, a quota or
// a limit on the file's size.
bool OutOfRoom() {
#if defined(_WIN32)
  const DWORD error = GetLastError();
  if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) return true;
  return errno == ENOSPC || errno == EFBIG;
#else
  return errno == ENOSPC || errno == EFBIG || errno == EDQUOT;
#endif
}

// A QssPlex_SaveChanges or QssPlex_SaveChangesInPlace of the image,
// synced, with progress shown.
int SaveInPlace(const std::string& store_path,
                int(QSS_HOST_CALL* save)(const char*)) {
  ClearSystemError();
  PlexProgress progress("saving the image");
  QssPlex_SetSyncOnSave(1);
  const int saved = save(store_path.c_str());
  const int error = errno;
  QssPlex_SetSyncOnSave(0);
  errno = error;
  return saved;
}

}  // namespace

int SaveImage(const Context& c) {
  SetActivity("saving the image");
  QSStrg_RestoreRefCounts();
  // What was locked: an image still to be made is not, and goes into
  // place only if no other program made a file of its name meanwhile.
  const bool existed = c.lock != nullptr
                           ? c.lock->holds()
                           : Probe(c.target).kind == FileKind::kFile;
  const std::string unchanged = existed ? "; the image is unchanged" : "";
  // After a failed sync nobody knows what reached the disk.
  const std::string unsure =
      "; the change may or may not have reached the disk: run 'qsplex "
      "check " +
      c.image + "'";
  const std::string target_store_path = existed ? StorePath(c.target) : "";
  if (!IsAsLoaded(c, true)) return kExitFailure;
  auto fail_in_place = [&](int saved) {
    return c.Fail(c.image,
                  "cannot write the image: " + SystemReason() +
                      (saved == QSS_PLEX_SAVE_UNSURE ? unsure : unchanged));
  };
  // Where the image cannot be written whole beside itself (no room on the
  // disk, a folder this user may not make files in), the change may still
  // be added to it in place. -1 when that cannot be done either.
  auto add_in_place = [&]() -> int {
    if (target_store_path.empty()) return -1;
    const int in_place =
        SaveInPlace(target_store_path, QssPlex_SaveChangesInPlace);
    if (in_place == 0 || in_place == QSS_PLEX_SAVE_UNSURE) StopWatching();
    if (in_place == 0) return 0;
    if (in_place != QSS_PLEX_SAVE_WHOLE) return fail_in_place(in_place);
    return -1;
  };
  if (!target_store_path.empty()) {
    const int saved = SaveInPlace(target_store_path, QssPlex_SaveChanges);
    // The save changed the file itself.
    if (saved == 0 || saved == QSS_PLEX_SAVE_UNSURE) StopWatching();
    if (saved == 0) return 0;
    if (saved != QSS_PLEX_SAVE_WHOLE) return fail_in_place(saved);
  }
  TemporaryFile temporary(c.target);
  std::string problem;
  if (!temporary.Create(&problem)) {
    const int added = add_in_place();
    if (added >= 0) return added;
    return c.Fail(c.image, "cannot write the image: cannot create " +
                               temporary.path() + ": " + problem + unchanged);
  }
  // Locked at once, so that no other command takes it for one a killed
  // run left.
  if (c.lock != nullptr && !c.lock->HandOver(temporary.path(), &problem)) {
    return c.Fail(c.image, "cannot write the image: " + problem + unchanged);
  }
  const std::string store_path = StorePath(temporary.path());
  if (store_path.empty()) {
    return c.Fail(c.image,
                  "cannot write the image: this build's plex store takes "
                  "only names in the ANSI code page, and its folder's has "
                  "no short form in it" +
                      unchanged);
  }
  ClearSystemError();
  int saved;
  {
    PlexProgress progress("saving the image");
    saved = QssPlex_Save(store_path.c_str());
  }
  if (saved != 0) {
    const bool no_room = OutOfRoom();
    const std::string reason = SystemReason();
    // A full disk has no room for the image whole (the failed copy is
    // gone again), but may have room to add the change to it in place:
    // removing what fills the disk must work then.
    if (no_room) {
      const int added = add_in_place();
      if (added >= 0) return added;
    }
    return c.Fail(c.image, "cannot write the image: " + reason + unchanged);
  }
  // What was written came partly from pages mapped from the image.
  if (!IsAsLoaded(c, true)) return kExitFailure;
  StopWatching();
  if (!temporary.Replace(&problem, existed)) {
    return c.Fail(c.image, "cannot write the image: " + problem +
                               (temporary.renamed() ? unsure : unchanged));
  }
  return 0;
}

}  // namespace qsplex
