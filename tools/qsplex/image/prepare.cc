#include "tools/qsplex/image/prepare.h"

#include <cstdio>
#include <string>

#include "tools/qsplex/image/load.h"
#include "tools/qsplex/os/files.h"

namespace qsplex {
namespace {

// Why init cannot make the image; empty when it can.
std::string CreateRefusal(const Context& c, const FileStatus& status) {
  const FileStatus folder = Probe(FolderOf(c.image));
  if (folder.kind != FileKind::kDirectory) {
    return CreateProblem(
        c.image, folder.reason.empty() ? "not a folder" : folder.reason);
  }
  switch (status.kind) {
    case FileKind::kMissing:
      return std::string();
    case FileKind::kDirectory:
      return "is a folder";
    case FileKind::kOther:
      return "is not a regular file";
    default:
      return c.Has('f') ? std::string() : "exists already (-f replaces it)";
  }
}

// Why the image cannot be opened (before it is locked); empty when it can.
// What a file holds, the load tells.
std::string OpenRefusal(const Context& c, const FileStatus& status) {
  if (status.kind == FileKind::kFile) return std::string();
  std::string problem;
  switch (status.kind) {
    case FileKind::kMissing:
      problem = "no such image";
      break;
    case FileKind::kDirectory:
      problem = "is a folder, not a plex image";
      break;
    case FileKind::kOther:
      problem = "is not a regular file, so not a plex image";
      break;
    default:
      problem = "cannot read it: " + status.reason;
  }
  const std::string hint = SwappedHint(c);
  if (!hint.empty()) return problem + hint;
  if (status.kind == FileKind::kMissing) {
    problem += " (make one with 'qsplex init IMAGE')";
  }
  return problem;
}

}  // namespace

bool PrepareImage(Context* c, Access access, ImageLock* lock) {
  SetActivity("opening the image");
  const FileStatus status = Probe(c->image);
  const std::string refusal = access == Access::kCreate
                                  ? CreateRefusal(*c, status)
                                  : OpenRefusal(*c, status);
  if (!refusal.empty()) {
    c->Fail(c->image, refusal);
    return false;
  }
  std::string problem;
  if (access == Access::kChange && !IsWritable(c->image, &problem)) {
    c->Fail(c->image, "cannot change it: " + problem);
    return false;
  }
  bool in_use = false;
  if (!lock->Acquire(c->image, access != Access::kRead,
                     access == Access::kCreate, c->wait_seconds, &problem,
                     &in_use)) {
    if (in_use) {
      std::fprintf(stderr,
                   "qsplex: %s: %s is in use by another qsplex (waited %d s; "
                   "--wait SECONDS waits longer)\n",
                   c->command.c_str(), c->image.c_str(), c->wait_seconds);
    } else {
      c->Fail(c->image, problem);
    }
    return false;
  }
  c->target = lock->target();
  c->lock = lock;
  // Only under the lock of an image that exists: a new image's name may
  // be another init's too.
  if (lock->holds() && access != Access::kRead) {
    RemoveStaleTemporaries(c->target);
  }
  return true;
}

bool IsTheImage(const Context& c, const std::string& file) {
  if (!SameFile(file, c.image)) return false;
  c.Fail(file, "is the image itself; give another file to write to");
  return true;
}

}  // namespace qsplex
