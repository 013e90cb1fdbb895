// The file system as the tool sees it: UTF-8 names on both builds (the wide
// calls on Windows), and the system's own words for a failure.
#ifndef QSSTORAGE_TOOLS_QSPLEX_OS_FILES_H_
#define QSSTORAGE_TOOLS_QSPLEX_OS_FILES_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/utf8.h"

namespace qsplex {

using qss_support::WideString;

enum class FileKind { kMissing, kFile, kDirectory, kOther, kUnreadable };

struct FileStatus {
  FileKind kind = FileKind::kFile;
  uint64_t bytes = 0;  // of a file
  std::string reason;  // the system's words when missing or unreadable
};

FileStatus Probe(const std::string& path);
// Whether `a` and `b` name one file that exists (through links, other
// names and hard links too).
bool SameFile(const std::string& a, const std::string& b);
// Whether `path` is a file that starts as a plex image does: a cheap look
// at an operand, not at the image a command loads (the load tells that).
bool LooksLikeImage(const std::string& path);
// The last component of `path`: the name inside its folder.
std::string BaseName(const std::string& path);
// The folder holding `path`: "." for a bare name.
std::string FolderOf(const std::string& path);
// "cannot create it: REASON", with the missing folder named when that is
// why.
std::string CreateProblem(const std::string& path, const std::string& reason);

// fopen with a UTF-8 name; null with SystemReason() set on failure.
std::FILE* OpenFile(const std::string& path, const char* mode);
bool RemoveFile(const std::string& path);

// fopen for writing a file that must not exist yet; never follows a link
// left in its place. Null with SystemReason() set on failure.
std::FILE* CreateNewFile(const std::string& path);
// Whether `path` is a symbolic link (natively) or another reparse point
// (on Windows), whatever it points to.
bool IsLink(const std::string& path);

// One entry of a folder: its name in UTF-8 and its kind, a link not
// followed (`link` set, `kind` kOther).
struct FolderEntry {
  std::string name;
  FileKind kind = FileKind::kFile;
  bool link = false;
  uint64_t bytes = 0;  // of a file
};
// The entries of the folder `path`, "." and ".." left out, sorted by name.
// False with `*reason` set when it cannot be read.
bool ListFolder(const std::string& path, std::vector<FolderEntry>* entries,
                std::string* reason);
// Makes the folder `path`; false with SystemReason() set when it cannot.
bool MakeFolder(const std::string& path);
// `name` inside the folder `folder`.
std::string InFolder(const std::string& folder, const std::string& name);

// Whether this process may change the file at `path`; `*problem` says why
// not (read-only, or the system's reason).
bool IsWritable(const std::string& path, std::string* problem);

// `path` in UTF-16, as the wide file calls take it.
WideString WideName(const std::string& path);

// A name under which the host's store (which takes narrow names) opens
// `path`: the path itself, or on Windows its ANSI form or, when the code
// page lacks a character of it, its short form. Empty when there is none.
std::string StorePath(const std::string& path);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_OS_FILES_H_
