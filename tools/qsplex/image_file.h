// The image file under concurrent and interrupted use.
//
// Every command locks its image for its whole run: shared while it only
// reads, exclusive while it changes the image. The image is replaced by
// rename, so the lock is on a companion file that is never renamed, IMAGE
// plus ".lock" beside the image (a link's target, not the link). It holds
// no data and stays in place: removing it while another process waits on
// it would let two writers in at once. Natively the lock is an fcntl lock
// on the open file (the kind Wine's LockFileEx also takes), in the Win32
// build LockFileEx.
//
// A change is added to the image in place where it can be: the plex store
// appends what changed and then switches the header, so that the file
// holds the old image or the new one at any moment, and only the bytes
// past the image's end that an interrupted save left, which the next save
// cuts off. Otherwise (an image of an earlier format, or more dead bytes
// than live ones) the image goes whole to a temporary file of the
// process's own beside it, IMAGE plus ".qsplex-PID.tmp", which is synced and
// renamed over the image. Ctrl-C, SIGTERM, SIGHUP and a console close remove
// it; one left by a killed run is removed by the next command that changes
// that image.
#ifndef QSSTORAGE_TOOLS_QSPLEX_IMAGE_FILE_H_
#define QSSTORAGE_TOOLS_QSPLEX_IMAGE_FILE_H_

#include <string>

namespace qsplex {

// Installs the handlers that remove the temporary file on interrupts.
void InstallInterruptCleanup();
#if !defined(_WIN32)
// Removes this process's temporary file, if there is one: for a handler of
// another signal that ends the process.
void RemoveTemporaryInHandler();
#endif

class ImageLock {
 public:
  ImageLock() = default;
  ImageLock(const ImageLock&) = delete;
  ImageLock& operator=(const ImageLock&) = delete;
  ~ImageLock();

  // Locks `image`, waiting up to `wait_seconds` for other holders. False,
  // with `*problem` set, when it cannot; "in use" tells that apart.
  bool Acquire(const std::string& image, bool exclusive, int wait_seconds,
               std::string* problem, bool* in_use);
  // The file the image names: a symbolic link resolved. The image's own
  // name when it does not exist yet.
  const std::string& target() const { return target_; }

 private:
  std::string target_;
#if defined(_WIN32)
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

// A temporary file of this process beside `final_path`, removed by the
// destructor and by the interrupt handlers unless it replaced the final
// file. One at a time.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& final_path);
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile();

  // Creates it empty, with the permissions, owner and group (on Windows the
  // attributes) of the final file when that exists.
  bool Create(std::string* problem);
  const std::string& path() const { return path_; }
  // Flushes what was written under its name to the disk, renames it over
  // the final file and (POSIX) syncs the folder.
  bool Replace(std::string* problem);
  // Whether Replace renamed it over the final file, even if it failed
  // after (syncing the folder): the final file may then be either one
  // once the system is restarted.
  bool renamed() const { return renamed_; }

 private:
  std::string final_path_;
  std::string path_;
  bool created_ = false;
  bool renamed_ = false;
};

// Whether this process may change the file at `path`; `*problem` says why
// not (read-only, or the system's reason).
bool IsWritable(const std::string& path, std::string* problem);

// Removes the temporary files that killed runs left beside `target`. Call
// only under the exclusive lock.
void RemoveStaleTemporaries(const std::string& target);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_IMAGE_FILE_H_
