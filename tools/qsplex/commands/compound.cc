// Export and import copy between the image and a compound file through the
// standard interfaces: the platform's own compound files in the Win32 build,
// libgsf's natively.
#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/image/save.h"
#include "tools/qsplex/image/temporary_file.h"
#include "tools/qsplex/os/system.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/progress.h"
#include "tools/qsplex/tree/lookup.h"
#include "tools/qsplex/tree/path.h"
#include "tools/qsplex/tree/progress_storage.h"

#if defined(_WIN32) || defined(QSPLEX_HAVE_GSF)

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <utility>
#include <vector>

#include "tools/qsplex/compound/class_ids.h"
#include "tools/qsplex/compound/export_check.h"
#include "tools/qsplex/compound/file_storage.h"
#include "tools/qsplex/compound/renamed_copy.h"
#include "tools/qsplex/image/prepare.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/records/stream_data.h"
#include "tools/qsplex/tree/walk.h"
#if !defined(_WIN32)
#include "tools/qsplex/compound/gsf_storage.h"  // LoadCompoundFiles
#endif

namespace qsplex {
namespace {

bool WideFileName(const Context& c, const std::string& file, WideString* out) {
  if (Utf8ToWide(file, out)) return true;
  c.Fail(file, "the file name is not valid UTF-8");
  return false;
}

// Natively libgsf is loaded only now; says why when it cannot be.
bool CompoundFilesReady(const Context& c) {
#if defined(_WIN32)
  (void)c;
  return true;
#else
  std::string problem;
  if (LoadCompoundFiles(&problem)) return true;
  c.Fail("", problem);
  return false;
#endif
}

constexpr DWORD kCommitDefault = 0;  // STGC_DEFAULT

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

bool Renaming(const Context& c) {
  for (const auto& value : c.values) {
    if (value.first == "rename") return true;
  }
  return false;
}

// Commits the compound file `*file_storage` after a copy that gave `hr`,
// a failure of which happened at `at`. Returns the exit code; on failure
// the file is let go uncommitted.
int Committed(const Context& c, const std::string& file,
              Ref<IStorage>* file_storage, HRESULT hr, std::string at) {
  if (SUCCEEDED(hr)) {
    hr = (*file_storage)->Commit(kCommitDefault);
    at = file;
  }
  if (FAILED(hr)) {
    file_storage->Reset();
    return c.Fail(at, hr);
  }
  return 0;
}

// Writes the subtree `nodes` of `e` (open as `source`) into the compound
// file `*file_storage` under `names` where given, and commits it. Returns
// the exit code; a failure is told in the file when a call on the file
// failed, else in the image.
int WriteRenamed(const Context& c, const std::string& file, const Element& e,
                 IStorage* source, Ref<IStorage>* file_storage,
                 const std::vector<TreeNode>& nodes,
                 const std::vector<WideString>& names) {
  Progress progress("exporting", nodes[0].size, nodes[0].streams);
  int failed_node = 0;
  bool in_dest = false;
  HRESULT hr = CopyRenamed(source, file_storage->get(), nodes, names, &progress,
                           &failed_node, &in_dest);
  progress.Done();
  std::string at;
  if (FAILED(hr)) {
    const std::string& made = progress.last_created();
    at = in_dest ? InFile(file, made.empty() ? "/" : made)
                 : NodePath(nodes, failed_node, e.path());
  }
  return Committed(c, file, file_storage, hr, at);
}

// Copies `source` (the storage `e`) into the compound file `*file_storage`
// through the library's CopyTo, then the class ids, which the element copy
// leaves behind, and commits it. Returns the exit code; the copy names what
// it makes from the file's top, so a failure is told in the file when a
// call on the file failed, else in the image.
int WriteCopy(const Context& c, const std::string& file, const Element& e,
              IStorage* source, Ref<IStorage>* file_storage,
              const std::vector<TreeNode>& nodes) {
  Progress progress("exporting", nodes[0].size, nodes[0].streams);
  Ref<IStorage> watched(
      NewProgressStorage(file_storage->get(), &progress, "/"));
  HRESULT hr = watched ? source->CopyTo(0, nullptr, nullptr, watched.get())
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
  CopyFailure failure;
  if (SUCCEEDED(hr)) {
    hr = CopyClassIds(source, file_storage->get(), &failure);
    const std::string where = JoinPath(failure.names, failure.names.size());
    at = failure.in_dest ? InFile(file, where) : InImage(e.path(), where);
  }
  return Committed(c, file, file_storage, hr, at);
}

// import IMAGE [PATH] FILE, the order of export; the order before it,
// IMAGE FILE PATH, is taken when its FILE is a compound file and the last
// operand is not.
void ImportOperands(const Context& c, std::string* path, std::string* file) {
  *path = "/";
  *file = c.args.back();
  if (c.args.size() < 2) return;
  *path = c.args[0];
  if (!IsCompoundFile(c.args[1]) && IsCompoundFile(c.args[0])) {
    std::swap(*path, *file);
  }
}

// When the compound file `file` is not there: a hint if another operand
// is a file, or if it looks like a path in the image.
std::string OrderHint(const Context& c, const std::string& file) {
  for (const std::string& arg : c.args) {
    if (arg == file) continue;
    if (Probe(arg).kind == FileKind::kFile ||
        (file[0] == '/' && arg[0] != '/')) {
      return "; FILE comes last, as in 'qsplex " + c.command + " " + c.image +
             " " + file + " " + arg + "'";
    }
  }
  if (file[0] == '/' && c.args.size() == 1) {
    return "; PATH in the image comes before FILE, as in 'qsplex " + c.command +
           " " + c.image + " " + file + " FILE'";
  }
  return std::string();
}

// Opens the compound file `file` for import, refusing a missing file (with
// a hint when the operands look swapped), a folder, an unreadable file and
// one of another kind. Prints the failure.
bool OpenCompoundFile(const Context& c, const std::string& file,
                      Ref<IStorage>* out) {
  WideString wide_file;
  if (!WideFileName(c, file, &wide_file)) return false;
  const FileStatus status = Probe(file);
  if (status.kind == FileKind::kMissing) {
    c.Fail(file, "no such file: " + status.reason + OrderHint(c, file));
    return false;
  }
  if (status.kind == FileKind::kDirectory) {
    c.Fail(file,
           "is a folder, not a compound file (put -r stores a "
           "folder)");
    return false;
  }
  std::FILE* readable = OpenFile(file, "rb");
  if (readable == nullptr) {
    c.Fail(file, "cannot read it: " + SystemReason());
    return false;
  }
  std::fclose(readable);
  const HRESULT hr = OpenFileStorage(file, out->Out());
  if (hr == kNotCompound) {
    c.Fail(file, "not a compound file (its header is not one's)");
  } else if (FAILED(hr)) {
    c.Fail(file, hr);
  }
  return SUCCEEDED(hr);
}

// The platform's copy merges into storages that exist already and then
// fails half way on streams that exist; refusing any clash up front keeps
// the import whole or nothing. Prints the failure.
bool RefuseClashes(const Context& c, const Element& e, IStorage* destination,
                   const std::vector<TreeNode>& nodes) {
  for (size_t i = 1; i < nodes.size(); ++i) {
    Element clash;
    if (nodes[i].parent == 0 &&
        FindChild(destination, nodes[i].name.c_str(), &clash)) {
      c.Fail(NodePath(nodes, static_cast<int>(i), e.path()),
             STG_E_FILEALREADYEXISTS);
      return false;
    }
  }
  return true;
}

}  // namespace

std::string CompoundFiles() {
#if defined(_WIN32)
  return "the platform's (ole32)";
#else
  return CompoundFileLibrary();
#endif
}

int RunExport(const Context& c) {
  if (!CompoundFilesReady(c)) return kExitFailure;
  const std::string path = c.args.size() > 1 ? c.args[0] : "/";
  const std::string& file = c.args.back();
  WideString wide_file;
  Element e;
  if (!WideFileName(c, file, &wide_file)) return kExitFailure;
  const FileKind kind = Probe(file).kind;
  if (kind == FileKind::kDirectory) return c.Fail(file, "is a folder");
  if (IsTheImage(c, file)) return kExitFailure;
  if (kind != FileKind::kMissing && !c.Has('f')) {
    return c.Fail(file, "exists already (-f replaces it)");
  }
  if (!OpenImage(c, false) || !LocateExisting(c, path, kRead, &e)) {
    return kExitFailure;
  }
  if (e.type != STGTY_STORAGE) {
    return c.Fail(e.path(), "is a stream; export takes a storage");
  }
  if (!DataReadable(c, e)) return kExitFailure;
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
  // With --rename, what a compound file cannot hold goes in under names
  // it can; the renames are printed once the file is written.
  std::vector<WideString> names;
  std::string renames;
  if (Renaming(c)) {
    names = ExportNames(nodes);
    for (size_t i = 1; i < names.size(); ++i) {
      if (names[i].empty()) continue;
      renames += NodePath(nodes, static_cast<int>(i), e.path()) + " -> " +
                 ShownName(names[i].c_str()) + "\n";
    }
  } else if (!Exportable(c, nodes, e.path())) {
    return kExitFailure;
  }

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
  const int written =
      renames.empty()
          ? WriteCopy(c, file, e, source.get(), &file_storage, nodes)
          : WriteRenamed(c, file, e, source.get(), &file_storage, nodes, names);
  if (written != 0) return written;
  file_storage.Reset();
  if (!temporary.Replace(&problem)) return c.Fail(file, problem);
  std::fputs(renames.c_str(), stdout);
  return 0;
}

int RunImport(const Context& c) {
  if (!CompoundFilesReady(c)) return kExitFailure;
  std::string path;
  std::string file;
  ImportOperands(c, &path, &file);
  // The image's own problems come first: it is the first operand, and its
  // refusal says when another operand is the image.
  if (!OpenImage(c, true)) return kExitFailure;
  Ref<IStorage> file_storage;
  Element e;
  if (!OpenCompoundFile(c, file, &file_storage)) return kExitFailure;
  if (!Locate(c, path, kReadWrite, c.Has('p'), &e)) {
    return kExitFailure;
  }
  if (e.type == STGTY_STREAM) {
    return c.Fail(e.path(), "is a stream; import needs a storage");
  }
  Ref<IStorage> destination;
  std::vector<TreeNode> nodes;
  int failed = 0;
  HRESULT hr =
      LoadTree(file_storage.get(), WideString(), false, &nodes, &failed);
  if (FAILED(hr)) return c.Fail(InFile(file, NodePath(nodes, failed, "/")), hr);
  for (size_t i = 1; i < nodes.size(); ++i) {
    if (!NameFits(c, file + ": " + NodePath(nodes, static_cast<int>(i), "/"),
                  nodes[i].name)) {
      return kExitFailure;
    }
  }
  SetActivity("importing");
  // A storage that is not there is made, as put -r makes its own; the image
  // is saved only once everything is copied, so a failure leaves none.
  hr = e.type == 0 ? e.parent->CreateStorage(e.name(), kReadWrite, 0, 0,
                                             destination.Out())
                   : OpenAsStorage(e, kReadWrite, destination.Out());
  if (FAILED(hr)) return c.Fail(e.path(), hr);
  if (!RefuseClashes(c, e, destination.get(), nodes)) return kExitFailure;
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
  // A file whose top has no class id leaves PATH's as it was: the
  // platform's copy sets the null one, which would wipe, say, the root's.
  if (nodes[0].clsid == CLSID{} && e.type != 0) {
    hr = destination->SetClass(e.clsid);
    if (FAILED(hr)) return c.Fail(e.path(), hr);
  }
  destination.Reset();
  const int saved = SaveImage(c);
  for (const TreeNode& node : nodes) {
    if (saved != 0 || !node.timed) continue;
    NoteTimesDropped(c, file);
    break;
  }
  return saved;
}

}  // namespace qsplex

#else

namespace qsplex {

std::string CompoundFiles() { return "none (built without libgsf)"; }

int RunExport(const Context& c) {
  return c.Fail("",
                "not available in this build: compound files need libgsf "
                "(libgsf-1-dev) natively, or the Win32 build");
}

int RunImport(const Context& c) { return RunExport(c); }

}  // namespace qsplex

#endif

namespace qsplex {
namespace {

// --rename, kept among the values by its name.
bool TakeRename(const std::string&, Context* c, std::string*) {
  c->values.emplace_back("rename", "");
  return true;
}

}  // namespace

const Command kExportCommand = {
    "export",
    "[-f] [--rename] IMAGE [PATH] FILE",
    {Flag('f'), {0, "rename", false, TakeRename}},
    1,
    2,
    Access::kRead,
    "copy a subtree to a compound file",
    "Copies the storage at PATH (default /) into a new compound file FILE\n"
    "(the platform's in the Win32 build, libgsf's natively), class ids\n"
    "included. When the subtree holds elements a compound file cannot hold\n"
    "(names over 31 characters, with / \\ : or !, or differing only in case\n"
    "from a sibling), lists each one and writes nothing; with --rename\n"
    "each goes in under a legal, unique name (/ \\ : ! become _, a long\n"
    "name is cut to 31, a clash ends in ~1, ~2, ...) and the renames are\n"
    "printed, one 'PATH -> NAME' a line.\n"
    "Elements without a name are not copied (each is named on standard\n"
    "error).\n"
    "  -f        replace FILE if it exists\n"
    "  --rename  rename what a compound file cannot hold\n",
    "qsplex export t.img /docs docs.cfb\n"
    "qsplex export --rename t.img / all.cfb",
    RunExport,
    {}};

const Command kImportCommand = {
    "import",
    "[-p] IMAGE [PATH] FILE",
    {Flag('p')},
    1,
    2,
    Access::kChange,
    "copy a compound file into a storage",
    "Copies the content of the compound file FILE into the storage at PATH\n"
    "(default /), class ids included; the operands go as in export. A\n"
    "missing storage at PATH is made, and with -p its parents too. Refuses\n"
    "names that exist at PATH already, and names the ANSI code page cannot\n"
    "hold. The image keeps no times: those of the file's elements are\n"
    "dropped (said once on standard error). 'import IMAGE FILE PATH', the\n"
    "older order, is taken too when FILE is a compound file and PATH is not.\n"
    "  -p  make the storages above PATH that are missing\n",
    "qsplex import t.img /docs docs.cfb\nqsplex import -p t.img /a/b docs.cfb",
    RunImport,
    {}};

}  // namespace qsplex
