// Export and import copy between the image and a compound file through the
// standard interfaces: the platform's own compound files in the Win32 build,
// libgsf's natively.
#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/image/save.h"
#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/image/temporary_file.h"
#include "tools/qsplex/os/system.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/progress.h"
#include "tools/qsplex/tree/lookup.h"
#include "tools/qsplex/tree/path.h"
#include "tools/qsplex/tree/progress_storage.h"

#if defined(_WIN32) || defined(QSPLEX_HAVE_GSF)

#include <cstdio>
#include <cwchar>
#include <vector>

#include "tools/qsplex/compound/class_ids.h"
#include "tools/qsplex/compound/export_check.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/tree/walk.h"
#if !defined(_WIN32)
#include "tools/qsplex/compound/gsf_storage.h"
#endif

namespace qsplex {
namespace {

bool WideFileName(const Context& c, const std::string& file, WideString* out) {
  if (Utf8ToWide(file, out)) return true;
  c.Fail(file, "the file name is not valid UTF-8");
  return false;
}

constexpr DWORD kCommitDefault = 0;  // STGC_DEFAULT
// STG_E_INVALIDHEADER: the file is not a compound file.
constexpr HRESULT kNotCompound = static_cast<HRESULT>(0x800300FB);

// Makes the compound file `path`; it holds what was written once committed.
HRESULT CreateFileStorage(const std::string& path, IStorage** out) {
#if defined(_WIN32)
  return StgCreateDocfile(WideName(path).c_str(),
                          STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                          0, out);
#else
  return CreateCompoundFile(path, out);
#endif
}

HRESULT OpenFileStorage(const std::string& path, IStorage** out) {
#if defined(_WIN32)
  *out = nullptr;
  if (StgIsStorageFile(WideName(path).c_str()) != S_OK) {
    return kNotCompound;
  }
  return StgOpenStorage(WideName(path).c_str(), nullptr,
                        STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, out);
#else
  return OpenCompoundFile(path, out);
#endif
}

// The subject of a failure at `path` ('/'-separated, "/" for its top) in the
// compound file `file`: the file, then the element in it.
std::string InFile(const std::string& file, const std::string& path) {
  return path == "/" ? file : file + ": " + path;
}

// The same in the image, below its storage `top`.
std::string InImage(const std::string& top, const std::string& path) {
  if (path == "/") return top;
  return top == "/" ? path : top + path;
}

// Lists every element below `top` that a compound file cannot hold; true
// when there is none.
bool Exportable(const Context& c, const std::vector<TreeNode>& nodes,
                const std::string& top) {
  const std::vector<ExportProblem> problems = CheckExportable(nodes);
  for (const ExportProblem& p : problems) {
    c.Fail(NodePath(nodes, p.node, top), p.reason);
  }
  if (problems.empty()) return true;
  c.Fail(top, std::to_string(problems.size()) +
                  " element(s) above cannot be held by a compound file; "
                  "nothing was written");
  return false;
}

}  // namespace

int RunExport(const Context& c) {
  const std::string path = c.args.size() > 1 ? c.args[0] : "/";
  const std::string& file = c.args.back();
  WideString wide_file;
  Element e;
  if (!WideFileName(c, file, &wide_file)) return kExitFailure;
  const FileKind kind = Probe(file).kind;
  if (kind == FileKind::kDirectory) return c.Fail(file, "is a folder");
  if (kind != FileKind::kMissing && !c.Has('f')) {
    return c.Fail(file, "exists already (-f replaces it)");
  }
  if (!OpenImage(c, false) || !LocateExisting(c, path, kRead, &e)) {
    return kExitFailure;
  }
  if (e.type != STGTY_STORAGE) {
    return c.Fail(e.path(), "is a stream; export takes a storage");
  }
  // Copying reads streams only while their open mode allows reading.
  std::vector<TreeNode> nodes;
  Ref<IStorage> source;
  int failed = 0;
  HRESULT hr = OpenAsStorage(e, kRead, source.Out());
  if (SUCCEEDED(hr)) {
    hr = LoadTree(source.get(), e.is_root() ? WideString() : e.name(), true,
                  &nodes, &failed);
  }
  if (FAILED(hr)) return c.Fail(NodePath(nodes, failed, e.path()), hr);
  WarnUnnamed(c, nodes, e.path(), "exported");
  if (!Exportable(c, nodes, e.path())) return kExitFailure;

  // The file is made under a temporary name and replaces FILE only whole;
  // the temporary file goes on failure, Ctrl-C and a console close.
  SetActivity("exporting");
  TemporaryFile temporary(file);
  std::string problem;
  if (!temporary.Create(&problem)) {
    return c.Fail(file, CreateProblem(file, problem));
  }
  Ref<IStorage> file_storage;
  hr = CreateFileStorage(temporary.path(), file_storage.Out());
  if (FAILED(hr)) return c.Fail(file, hr);
  {
    // The copy names what it makes from the file's top; a failure is told
    // in the file when a call on the file failed, else in the image.
    Progress progress("exporting", nodes[0].size, nodes[0].streams);
    Ref<IStorage> watched(
        NewProgressStorage(file_storage.get(), &progress, "/"));
    hr = watched ? source->CopyTo(0, nullptr, nullptr, watched.get())
                 : E_OUTOFMEMORY;
    std::string at;
    if (FAILED(hr)) {
      at = !progress.failed_at().empty()
               ? InFile(file, progress.failed_at())
               : InImage(e.path(), progress.last_created().empty()
                                       ? "/"
                                       : progress.last_created());
    }
    watched.Reset();
    // The element copy leaves every class id behind.
    CopyFailure failure;
    if (SUCCEEDED(hr)) {
      hr = CopyClassIds(source.get(), file_storage.get(), &failure);
      const std::string where = JoinPath(failure.names, failure.names.size());
      at = failure.in_dest ? InFile(file, where) : InImage(e.path(), where);
    }
    if (SUCCEEDED(hr)) {
      hr = file_storage->Commit(kCommitDefault);
      at = file;
    }
    if (FAILED(hr)) {
      file_storage.Reset();
      return c.Fail(at, hr);
    }
  }
  file_storage.Reset();
  if (!temporary.Replace(&problem)) return c.Fail(file, problem);
  return 0;
}

int RunImport(const Context& c) {
  const std::string& file = c.args[0];
  const std::string path = c.args.size() > 1 ? c.args[1] : "/";
  WideString wide_file;
  Element e;
  if (!WideFileName(c, file, &wide_file)) return kExitFailure;
  const FileStatus status = Probe(file);
  if (status.kind == FileKind::kMissing) {
    return c.Fail(file, "no such file: " + status.reason);
  }
  if (status.kind == FileKind::kDirectory) {
    return c.Fail(file, "is a folder, not a compound file");
  }
  std::FILE* readable = OpenFile(file, "rb");
  if (readable == nullptr)
    return c.Fail(file, "cannot read it: " + SystemReason());
  std::fclose(readable);
  Ref<IStorage> file_storage;
  HRESULT hr = OpenFileStorage(file, file_storage.Out());
  if (hr == kNotCompound) {
    return c.Fail(file, "not a compound file (its header is not one's)");
  }
  if (FAILED(hr)) return c.Fail(file, hr);
  if (!OpenImage(c, true) || !LocateExisting(c, path, kReadWrite, &e)) {
    return kExitFailure;
  }
  if (e.type != STGTY_STORAGE) {
    return c.Fail(e.path(), "is a stream; import needs a storage");
  }
  Ref<IStorage> destination;
  std::vector<TreeNode> nodes;
  int failed = 0;
  hr = LoadTree(file_storage.get(), WideString(), false, &nodes, &failed);
  if (FAILED(hr)) return c.Fail(InFile(file, NodePath(nodes, failed, "/")), hr);
  for (size_t i = 1; i < nodes.size(); ++i) {
    if (!NameFits(c, file + ": " + NodePath(nodes, static_cast<int>(i), "/"),
                  nodes[i].name)) {
      return kExitFailure;
    }
  }
  SetActivity("importing");
  hr = OpenAsStorage(e, kReadWrite, destination.Out());
  if (FAILED(hr)) return c.Fail(e.path(), hr);
  // The platform's copy merges into storages that exist already and then
  // fails half way on streams that exist; refusing any clash up front keeps
  // the import whole or nothing.
  for (size_t i = 1; i < nodes.size(); ++i) {
    Element clash;
    if (nodes[i].parent == 0 &&
        FindChild(destination.get(), nodes[i].name.c_str(), &clash)) {
      return c.Fail(NodePath(nodes, static_cast<int>(i), e.path()),
                    STG_E_FILEALREADYEXISTS);
    }
  }
  // A failure is told in the image when a call on it failed, else in the
  // file, at the element being copied.
  Progress progress("importing", nodes[0].size, nodes[0].streams);
  Ref<IStorage> watched(NewProgressStorage(destination.get(), &progress, "/"));
  hr = watched ? file_storage->CopyTo(0, nullptr, nullptr, watched.get())
               : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    if (!progress.failed_at().empty()) {
      return c.Fail(InImage(e.path(), progress.failed_at()), hr);
    }
    const std::string& at = progress.last_created();
    return c.Fail(InFile(file, at.empty() ? "/" : at), hr);
  }
  progress.Done();
  watched.Reset();
  destination.Reset();
  return SaveImage(c);
}

}  // namespace qsplex

#else

namespace qsplex {

int RunExport(const Context& c) {
  return c.Fail("",
                "not available in this build: compound files need libgsf "
                "(libgsf-1-dev) natively, or the Win32 build");
}

int RunImport(const Context& c) { return RunExport(c); }

}  // namespace qsplex

#endif

namespace qsplex {

const Command kExportCommand = {
    "export",
    "[-f] IMAGE [PATH] FILE",
    {Flag('f')},
    1,
    2,
    Access::kRead,
    "copy a subtree to a compound file",
    "Copies the storage at PATH (default /) into a new compound file FILE\n"
    "(the platform's in the Win32 build, libgsf's natively), class ids\n"
    "included. When the subtree holds elements a compound file cannot hold\n"
    "(names over 31 characters, with / \\ : or !, or differing only in case\n"
    "from a sibling), lists each one and writes nothing.\n"
    "Elements without a name are not copied (each is named on standard\n"
    "error).\n"
    "  -f  replace FILE if it exists\n",
    "qsplex export t.img /docs docs.cfb",
    RunExport,
    {}};

const Command kImportCommand = {
    "import",
    "IMAGE FILE [PATH]",
    {},
    1,
    2,
    Access::kChange,
    "copy a compound file into a storage",
    "Copies the content of the compound file FILE into the storage at PATH\n"
    "(default /), class ids included. Refuses names that\n"
    "exist at PATH already, and names the ANSI code page cannot hold.\n",
    "qsplex import t.img docs.cfb /docs",
    RunImport,
    {}};

}  // namespace qsplex
