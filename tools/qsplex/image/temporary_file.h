// Temporary files beside an image: the whole image written to one and
// renamed over the image, and the handlers that remove it when the command
// is interrupted (see image_file.h for how this meets the image's lock).
#ifndef QSSTORAGE_TOOLS_QSPLEX_IMAGE_TEMPORARY_FILE_H_
#define QSSTORAGE_TOOLS_QSPLEX_IMAGE_TEMPORARY_FILE_H_

#include <string>
#include <vector>

namespace qsplex {

// Installs the handlers that remove the temporary file on interrupts.
void InstallInterruptCleanup();
#if !defined(_WIN32)
// Removes this process's temporary file, if there is one: for a handler of
// another signal that ends the process.
void RemoveTemporaryInHandler();
#endif

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
  // the final file (or, unless `over_existing`, to the final name only if
  // no file has it) and (POSIX) syncs the folder.
  bool Replace(std::string* problem, bool over_existing = true);
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

// The paths of the temporary files beside `target` that are its own,
// whichever process made them.
std::vector<std::string> TemporariesOf(const std::string& target);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_IMAGE_TEMPORARY_FILE_H_
