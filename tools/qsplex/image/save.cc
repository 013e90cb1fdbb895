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

// One save of the command's image: the change added to it in place where
// it can be, else the image written whole beside itself and renamed over.
class ImageSave {
 public:
  explicit ImageSave(const Context& c)
      : c_(c),
        // What was locked: an image still to be made is not, and goes into
        // place only if no other program made a file of its name meanwhile.
        existed_(c.lock != nullptr ? c.lock->holds()
                                   : Probe(c.target).kind == FileKind::kFile),
        unchanged_(existed_ ? "; the image is unchanged" : ""),
        // After a failed sync nobody knows what reached the disk.
        unsure_(
            "; the change may or may not have reached the disk: run "
            "'qsplex check " +
            c.image + "'"),
        target_store_path_(existed_ ? StorePath(c.target) : "") {}

  int Run() const {
    if (!IsAsLoaded(c_, true)) return kExitFailure;
    if (!target_store_path_.empty()) {
      const int saved = SaveInPlace(target_store_path_, QssPlex_SaveChanges);
      // The save changed the file itself.
      if (saved == 0 || saved == QSS_PLEX_SAVE_UNSURE) StopWatching();
      if (saved == 0) return 0;
      if (saved != QSS_PLEX_SAVE_WHOLE) return FailInPlace(saved);
    }
    return Whole();
  }

 private:
  int Fail(const std::string& why) const {
    return c_.Fail(c_.image, "cannot write the image: " + why);
  }
  int FailInPlace(int saved) const {
    return Fail(SystemReason() +
                (saved == QSS_PLEX_SAVE_UNSURE ? unsure_ : unchanged_));
  }
  // Where the image cannot be written whole beside itself (no room on the
  // disk, a folder this user may not make files in), the change may still
  // be added to it in place. -1 when that cannot be done either.
  int AddInPlace() const {
    if (target_store_path_.empty()) return -1;
    const int in_place =
        SaveInPlace(target_store_path_, QssPlex_SaveChangesInPlace);
    if (in_place == 0 || in_place == QSS_PLEX_SAVE_UNSURE) StopWatching();
    if (in_place == 0) return 0;
    if (in_place != QSS_PLEX_SAVE_WHOLE) return FailInPlace(in_place);
    return -1;
  }
  int Whole() const {
    TemporaryFile temporary(c_.target);
    std::string problem;
    if (!temporary.Create(&problem)) {
      const int added = AddInPlace();
      if (added >= 0) return added;
      return Fail("cannot create " + temporary.path() + ": " + problem +
                  unchanged_);
    }
    // Locked at once, so that no other command takes it for one a killed
    // run left.
    if (c_.lock != nullptr && !c_.lock->HandOver(temporary.path(), &problem)) {
      return Fail(problem + unchanged_);
    }
    const std::string store_path = StorePath(temporary.path());
    if (store_path.empty()) {
      return Fail(
          "this build's plex store takes only names in the ANSI code page, "
          "and its folder's has no short form in it" +
          unchanged_);
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
      const int added = no_room ? AddInPlace() : -1;
      if (added >= 0) return added;
      return Fail(reason + unchanged_);
    }
    // What was written came partly from pages mapped from the image.
    if (!IsAsLoaded(c_, true)) return kExitFailure;
    StopWatching();
    if (!temporary.Replace(&problem, existed_)) {
      return Fail(problem + (temporary.renamed() ? unsure_ : unchanged_));
    }
    return 0;
  }

  const Context& c_;
  const bool existed_;
  const std::string unchanged_;
  const std::string unsure_;
  const std::string target_store_path_;
};

}  // namespace

int SaveImage(const Context& c) {
  SetActivity("saving the image");
  QSStrg_RestoreRefCounts();
  return ImageSave(c).Run();
}

}  // namespace qsplex
