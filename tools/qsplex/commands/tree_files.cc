// get: a stream into a file, or a storage's subtree into a folder.
#include "tools/qsplex/commands/tree_files.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/image/image_file.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/image/prepare.h"
#include "tools/qsplex/image/temporary_file.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/os/system.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/progress.h"
#include "tools/qsplex/records/stream_data.h"
#include "tools/qsplex/tree/lookup.h"
#include "tools/qsplex/tree/path.h"
#include "tools/qsplex/tree/walk.h"

#if defined(_WIN32)
#include <cwctype>
#endif

namespace qsplex {
namespace {

// A class id file holds one class id and a line end; anything much longer
// is something else.
constexpr size_t kClassIdFileBytes = 64;

// Writes `write` into `file`: a new file, or with `replace` one that takes
// the place of the file there whole (and of a link there, not its target).
// A new file is removed again on failure. Returns the exit code.
template <class Write>
int WriteFile(const Context& c, const std::string& file, bool replace,
              Write write) {
  TemporaryFile temporary(file);
  std::string problem;
  std::FILE* out = nullptr;
  if (replace) {
    if (!temporary.Create(&problem)) {
      return c.Fail(file, CreateProblem(file, problem));
    }
    out = OpenFile(temporary.path(), "wb");
  } else {
    out = CreateNewFile(file);
  }
  if (out == nullptr) return c.Fail(file, CreateProblem(file, SystemReason()));
  int status = write(out);
  ClearSystemError();
  if (std::fclose(out) != 0 && status == 0) {
    status = c.Fail(file, SystemReason());
  }
  if (status != 0) {
    if (!replace) RemoveFile(file);
    return status;
  }
  if (replace && !temporary.Replace(&problem)) return c.Fail(file, problem);
  return 0;
}

bool Exists(const std::string& path) {
  return Probe(path).kind != FileKind::kMissing || IsLink(path);
}

// Copies the stream `name` of `parent` (the element at `subject`) into
// `file`, replacing a file there. Returns the exit code.
int GetStreamFile(const Context& c, IStorage* parent, const OLECHAR* name,
                  const std::string& subject, const std::string& file,
                  Progress* progress) {
  Ref<IStream> stream;
  const HRESULT hr = parent->OpenStream(name, nullptr, kRead, 0, stream.Out());
  if (FAILED(hr)) return c.Fail(subject, hr);
  return WriteFile(c, file, Exists(file), [&](std::FILE* out) {
    return CopyStreamOut(c, stream.get(), subject, out, file, progress);
  });
}

// The file or folder of every node: the top's is `folder`.
std::vector<std::string> FilePaths(const std::vector<TreeNode>& nodes,
                                   const std::string& folder) {
  std::vector<std::string> files(nodes.size());
  files[0] = folder;
  for (size_t i = 1; i < nodes.size(); ++i) {
    files[i] =
        InFolder(files[nodes[i].parent], EscapeName(nodes[i].name, kFileName));
  }
  return files;
}

#if defined(_WIN32)
// Whether Windows takes the file name `name` (upper-cased) for a device:
// CON, PRN, AUX, NUL, COM1-COM9 or LPT1-LPT9, alone or before a dot.
bool IsDeviceName(const std::wstring& name) {
  const std::wstring base = name.substr(0, name.find(L'.'));
  static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL"};
  for (const wchar_t* device : kDevices) {
    if (base == device) return true;
  }
  return base.size() == 4 &&
         (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
         base[3] >= L'1' && base[3] <= L'9';
}
#endif

// Why the file of node `i` cannot be written where it goes; empty when it
// can. Only -f lets get -r write where something is.
std::string InTheWay(const TreeNode& node, const std::string& file) {
  const FileKind kind = Probe(file).kind;
  if (node.type == STGTY_STORAGE) {
    if (IsLink(file)) return "is a link; get does not write through links";
    if (kind != FileKind::kMissing && kind != FileKind::kDirectory) {
      return "is a file where the storage's folder goes";
    }
  } else if (kind == FileKind::kDirectory) {
    return "is a folder where the stream's file goes";
  } else if (kind == FileKind::kOther && !IsLink(file)) {
    return "is not a regular file, so get does not replace it";
  }
  return std::string();
}

// Lists every element whose file cannot be written: in the way of what is
// there (with -f), or, on Windows, differing only in case from a sibling's.
// True when there is none.
bool Writable(const Context& c, const std::vector<TreeNode>& nodes,
              const std::vector<std::string>& files, const std::string& top) {
  size_t problems = 0;
#if defined(_WIN32)
  std::map<std::pair<int, std::wstring>, int> folded;
#endif
  for (size_t i = 1; i < nodes.size(); ++i) {
    if (nodes[i].name.empty()) continue;
    const std::string path = NodePath(nodes, static_cast<int>(i), top);
    const std::string why = c.Has('f') ? InTheWay(nodes[i], files[i]) : "";
    if (!why.empty()) {
      c.Fail(files[i], why + " (" + path + ")");
      ++problems;
    }
#if defined(_WIN32)
    std::wstring key;
    for (wchar_t unit : WideName(EscapeName(nodes[i].name, kFileName))) {
      key.push_back(towupper(unit));
    }
    if (IsDeviceName(key)) {
      c.Fail(path,
             "its file name is a device's on Windows, so no file can "
             "have it");
      ++problems;
    }
    const auto found = folded.emplace(std::make_pair(nodes[i].parent, key),
                                      static_cast<int>(i));
    if (!found.second) {
      c.Fail(path, "its file name differs only in case from that of " +
                       NodePath(nodes, found.first->second, top) +
                       ", and Windows does not tell them apart");
      ++problems;
    }
#endif
  }
  if (problems == 0) return true;
  c.Fail(files[0], Count(problems, "element") +
                       " above cannot be written; "
                       "nothing was written");
  return false;
}

// Writes the subtree of `top` listed in `nodes` into the folders and files
// `files`. Returns the exit code.
int WriteTree(const Context& c, IStorage* top,
              const std::vector<TreeNode>& nodes,
              const std::vector<std::string>& files, const std::string& path) {
  SetActivity("writing the folder");
  Progress progress("getting", nodes[0].size, nodes[0].streams);
  std::vector<Ref<IStorage>> storages(nodes.size());
  top->AddRef();
  storages[0] = Ref<IStorage>(top);
  for (size_t i = 0; i < nodes.size(); ++i) {
    const TreeNode& n = nodes[i];
    // Elements without a name, and what is below them, are not reached.
    if (i > 0 && (n.name.empty() || !storages[n.parent])) continue;
    const std::string subject = NodePath(nodes, static_cast<int>(i), path);
    const bool stream = n.type == STGTY_STREAM;
    progress.Created(subject, stream);
    if (stream) {
      const int status =
          GetStreamFile(c, storages[n.parent].get(), n.name.c_str(), subject,
                        files[i], &progress);
      if (status != 0) return status;
      continue;
    }
    if (i > 0) {
      const HRESULT hr = storages[n.parent]->OpenStorage(
          n.name.c_str(), nullptr, kRead, nullptr, 0, storages[i].Out());
      if (FAILED(hr)) return c.Fail(subject, hr);
    }
    if (Probe(files[i]).kind != FileKind::kDirectory && !MakeFolder(files[i])) {
      return c.Fail(files[i], CreateProblem(files[i], SystemReason()));
    }
    if (!WriteClassIdFile(c, files[i], n.clsid)) return kExitFailure;
  }
  progress.Done();
  return 0;
}

int GetTree(const Context& c, const Element& e) {
  const std::string& folder = c.args[1];
  if (e.type != STGTY_STORAGE) {
    return c.Fail(e.path(), "is a stream; get without -r copies it");
  }
  const FileKind kind = Probe(folder).kind;
  if (kind != FileKind::kMissing && kind != FileKind::kDirectory) {
    return c.Fail(folder, "exists and is not a folder");
  }
  if (kind == FileKind::kDirectory && !c.Has('f')) {
    return c.Fail(folder,
                  "exists already (-f writes into it, replacing files of the "
                  "same names)");
  }
  Ref<IStorage> top;
  std::vector<TreeNode> nodes;
  int failed = 0;
  HRESULT hr = OpenAsStorage(e, kRead, top.Out());
  if (SUCCEEDED(hr)) {
    hr = LoadTree(top.get(), e.is_root() ? WideString() : e.name(), false,
                  &nodes, &failed);
  }
  if (FAILED(hr)) return c.Fail(NodePath(nodes, failed, e.path()), hr);
  const std::vector<std::string> files = FilePaths(nodes, folder);
  if (!Writable(c, nodes, files, e.path())) return kExitFailure;
  WarnUnnamed(c, nodes, e.path(), "copied");
  return WriteTree(c, top.get(), nodes, files, e.path());
}

}  // namespace

bool WriteClassIdFile(const Context& c, const std::string& folder,
                      const CLSID& clsid) {
  const std::string file = InFolder(folder, kClassIdFile);
  const bool exists = Exists(file);
  if (IsEqualGUID(clsid, GUID_NULL)) {
    // A folder written over with -f keeps no class id of an earlier tree.
    if (exists && !RemoveFile(file)) {
      c.Fail(file, "cannot remove it: " + SystemReason());
      return false;
    }
    return true;
  }
  const std::string text = FormatClassId(clsid) + "\n";
  return WriteFile(c, file, exists, [&](std::FILE* out) {
           return std::fwrite(text.data(), 1, text.size(), out) == text.size()
                      ? 0
                      : c.Fail(file, SystemReason());
         }) == 0;
}

bool ReadClassIdFile(const std::string& path, CLSID* clsid,
                     std::string* problem) {
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) {
    *problem = "cannot read it: " + SystemReason();
    return false;
  }
  char text[kClassIdFileBytes + 1];
  const size_t got = std::fread(text, 1, sizeof text, file);
  std::fclose(file);
  std::string id(text, got);
  while (!id.empty() && std::strchr(" \t\r\n", id.back()) != nullptr) {
    id.pop_back();
  }
  if (got > kClassIdFileBytes || !ParseClassId(id, clsid)) {
    *problem =
        "does not hold a class id ({XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}) "
        "for its folder's storage";
    return false;
  }
  return true;
}

int RunGet(const Context& c) {
  Element e;
  if (!OpenImage(c, false) || !LocateExisting(c, c.args[0], kRead, &e)) {
    return kExitFailure;
  }
  if (!DataReadable(c, e)) return kExitFailure;
  if (c.Has('r')) return GetTree(c, e);
  if (e.type != STGTY_STREAM) {
    return c.Fail(e.path(),
                  "is a storage (-r copies it with everything in it into a "
                  "folder)");
  }
  if (c.args[1] == "-") return WriteToStandardOutput(c, e);
  // Into a folder, the file takes the element's name.
  std::string file = c.args[1];
  if (Probe(file).kind == FileKind::kDirectory) {
    file = InFolder(file, EscapeName(e.names.back(), kFileName));
  }
  const FileKind kind = Probe(file).kind;
  if (kind == FileKind::kDirectory) return c.Fail(file, "is a folder");
  if (kind == FileKind::kOther && !IsLink(file)) {
    return c.Fail(file,
                  "is not a regular file ('-' writes to standard output)");
  }
  if (IsTheImage(c, file)) return kExitFailure;
  if (Exists(file) && !c.Has('f')) {
    return c.Fail(file, "exists already (-f replaces it)");
  }
  SetActivity("writing the stream to a file");
  Progress progress("getting the stream", e.size, 0);
  return GetStreamFile(c, e.parent.get(), e.name(), e.path(), file, &progress);
}

const Command kGetCommand = {
    "get",
    "[-r] [-f] IMAGE PATH DEST",
    {Flag('r'), Flag('f')},
    2,
    2,
    Access::kRead,
    "copy a stream into a file, or a subtree into a folder",
    "Copies the stream at PATH into the file DEST ('-': standard output;\n"
    "an existing folder: a file of the stream's name in it).\n"
    "File names are element names with the characters a file system\n"
    "cannot hold as %XX (hex of the byte in code page 1252): control\n"
    "characters, '%' and '/', in the Win32 build also < > : \" \\ | ? *\n"
    "and a trailing dot or space; \"\\x05SummaryInformation\" becomes\n"
    "'%05SummaryInformation', \"100%\" '100%25'.\n"
    "  -r  copy the storage at PATH with everything in it into the folder\n"
    "      DEST (made): storages as folders, streams as files, a class\n"
    "      id in a file '%classid' of its folder. Elements without a name\n"
    "      are not copied (each is named on standard error)\n"
    "  -f  replace an existing file; with -r write into an existing\n"
    "      folder, replacing files of the same names\n",
    "qsplex get t.img /docs/a.txt a.txt\nqsplex get -r t.img /docs docs",
    RunGet,
    {"extract"}};

}  // namespace qsplex
