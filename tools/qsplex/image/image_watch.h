// An image changed by another program while a command uses it. Natively
// the store maps an image's large blocks into the plex, so that their
// pages follow the file: bytes rewritten in place show through, and pages
// past a file cut short raise SIGBUS when read. qsplex's own writers wait
// for the image's lock, but nothing stops another program. So a command
// notes the file as it was before loading it (its identity, length and
// modification and change times) and compares them once it is done, and
// before it saves; SIGBUS on a file no longer as noted ends the command
// with the same message rather than a crash.
#ifndef QSSTORAGE_TOOLS_QSPLEX_IMAGE_IMAGE_WATCH_H_
#define QSSTORAGE_TOOLS_QSPLEX_IMAGE_IMAGE_WATCH_H_

#include <string>

namespace qsplex {

// "the image was changed by another program while qsplex read it".
extern const char kChangedByAnother[];

// Notes the file at `path` for the command `command`, before it is loaded
// (again); installs the SIGBUS handler on the first call.
void WatchImage(const std::string& command, const std::string& path);
// The path watched when the file there is no longer as noted (or is gone);
// null when it is as noted, or nothing is watched.
const std::string* ChangedImage();
// Stops watching: the command is about to change the image itself.
void StopWatching();

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_IMAGE_IMAGE_WATCH_H_
