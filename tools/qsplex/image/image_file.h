// The image file under concurrent and interrupted use.
//
// Every command locks its image for its whole run: shared while it only
// reads, exclusive while it changes the image. The lock belongs to the
// file, not to a name: it is a lock on a byte of the image file itself, far
// past the end of any image (Windows locks are mandatory for the bytes they
// cover, and no read or write ever reaches there), so that hard links,
// symbolic links and both builds all meet at the same lock, and nothing is
// made beside the image: reading works on read-only media. A link is
// resolved to the file it names, the same way in both builds. Natively the
// lock is an open-file-description lock (fcntl F_OFD_SETLK), which holds
// however often the store opens, maps and closes the image; in the Win32
// build it is LockFileEx, which Wine mirrors as fcntl locks, so the builds
// see each other's locks.
//
// A second byte is a gate that keeps writers from starving: a writer takes
// it exclusively before it waits for the lock and lets go once it holds
// the lock; a reader passes through it (takes it shared just while it
// takes the lock). A waiting writer so holds back new readers, and waits
// only for the readers already in.
//
// Once a command holds the lock, it checks that the image's name still
// names the file it locked: a writer that replaced the image by rename
// while the command waited makes it start over on the new file.
//
// A change is added to the image in place where it can be, so that the
// file holds the old image or the new one at any moment
// (docs/image-format.md, "A change added in place"). Otherwise (an image of an earlier format, or more dead bytes
// than live ones) the image goes whole to a temporary file of the
// process's own beside it, IMAGE plus ".qsplex-PID.tmp", which is synced and
// renamed over the image. The writer locks the temporary file as soon as
// it makes it, and in the Win32 build it then lets go of the image
// (Wine refuses to rename over a file that any process holds open): a
// command that gets the lock while a locked temporary file of the image
// exists starts over, as a replacement is under way. Waiting commands
// hold the image open only while they try the lock, and do not open it
// while a replacement is under way (a writer holding the gate while it
// waits drops out once it sees the replacement). A new
// image (init, recover) is renamed into place only if no file has taken
// its name meanwhile, so it needs no lock. Ctrl-C, SIGTERM, SIGHUP and a
// console close remove the temporary file; one left by a killed run, never
// locked, is removed by the next command that changes that image, and so
// is an empty IMAGE.lock that earlier builds kept beside it.
#ifndef QSSTORAGE_TOOLS_QSPLEX_IMAGE_IMAGE_FILE_H_
#define QSSTORAGE_TOOLS_QSPLEX_IMAGE_IMAGE_FILE_H_

#include <cstdint>
#include <string>

namespace qsplex {

class ImageLock {
 public:
  ImageLock() = default;
  ImageLock(const ImageLock&) = delete;
  ImageLock& operator=(const ImageLock&) = delete;
  ~ImageLock();

  // Locks the file `image` names, waiting up to `wait_seconds` for other
  // holders. A missing image is not locked (see holds()) when `may_be_new`,
  // and refused otherwise. False, with `*problem` set, when it cannot; "in
  // use" tells that apart.
  bool Acquire(const std::string& image, bool exclusive, bool may_be_new,
               int wait_seconds, std::string* problem, bool* in_use);
  // The file the image names: links resolved. For an image still to be
  // made, its name in the resolved folder.
  const std::string& target() const { return target_; }
  // Whether a file is locked: false for an image still to be made.
  bool holds() const { return file_ != -1; }
  // Once `temporary` is made, to be renamed over the image (or into place
  // as a new one): locks it, so that commands that get the image's lock
  // see a replacement under way and no command removes it, and in the
  // Win32 build closes the image. The temporary's lock is held until the
  // command ends.
  bool HandOver(const std::string& temporary, std::string* problem);

 private:
  void Release();

  std::string target_;
  intptr_t file_ = -1;         // the image: a descriptor or a HANDLE
  intptr_t replacement_ = -1;  // the temporary file handed over to
};

// Removes the temporary files that killed runs left beside `target` (no
// process holds their lock), and an empty lock file `target` plus ".lock"
// that earlier builds kept. Call only under the exclusive lock.
void RemoveStaleTemporaries(const std::string& target);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_IMAGE_IMAGE_FILE_H_
