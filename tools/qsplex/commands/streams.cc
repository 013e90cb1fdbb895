// cat and put: a stream's bytes out and in, and the copying between
// streams and files that get and put -r share.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include "standins/plex_controls.h"
#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/image/plex.h"
#include "tools/qsplex/image/save.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/os/system.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/progress.h"
#include "tools/qsplex/records/stream_data.h"
#include "tools/qsplex/tree/lookup.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {
namespace {

void SetBinary(std::FILE* file) {
#if defined(_WIN32)
  _setmode(_fileno(file), _O_BINARY);
#else
  (void)file;
#endif
}

int RunCat(const Context& c) {
  Element e;
  if (!OpenReadableStream(c, c.args[0], &e)) return kExitFailure;
  return WriteToStandardOutput(c, e);
}
int RunPut(const Context& c) {
  if (c.Has('r')) return RunPutTree(c);
  if (c.Has('f')) {
    c.Fail("-f",
           "replaces elements in 'put -r' only (a stream is replaced "
           "without it)");
    return kExitUsage;
  }
  const bool from_file = c.args.size() > 1 && c.args[1] != "-";
  if (c.args.size() == 1 && IsTerminal(stdin)) {
    std::fprintf(stderr,
                 "qsplex: put: standard input is a terminal: give FILE, or "
                 "'-' to type the bytes (end them with Ctrl-D; Ctrl-Z and "
                 "Enter on Windows)\n");
    return kExitUsage;
  }
  FileStatus input_status;
  input_status.kind = FileKind::kOther;
  if (from_file) input_status = Probe(c.args[1]);
  if (input_status.kind == FileKind::kDirectory) {
    return c.Fail(
        c.args[1],
        "is a folder; put stores one file (-r stores a folder's tree)");
  }
  // A regular file's length is known before anything is stored.
  const uint64_t expected =
      input_status.kind == FileKind::kFile ? input_status.bytes : 0;
  std::FILE* input = from_file ? OpenFile(c.args[1], "rb") : stdin;
  if (input == nullptr) return c.Fail(c.args[1], SystemReason());
  if (!from_file) SetBinary(stdin);
  // Closed before the save: FILE may be the image itself, which Windows
  // does not replace while it is open.
  struct Closer {
    std::FILE* file;
    void Close() {
      if (file != stdin && file != nullptr) std::fclose(file);
      file = nullptr;
    }
    ~Closer() { Close(); }
  } closer{input};

  Element e;
  if (!OpenImage(c, true) ||
      !Locate(c, c.args[0], kReadWrite, c.Has('p'), &e)) {
    return kExitFailure;
  }
  if (e.is_root() || e.type == STGTY_STORAGE) {
    return c.Fail(e.path(), "is a storage, not a stream");
  }
  Ref<IStream> stream;
  HRESULT hr;
  // A stream whose data is damaged is made anew: written over, its block
  // would keep the damage (and its checksum that fails) whatever it holds.
  const bool anew = e.type == STGTY_STREAM && DataDamaged(e);
  if (e.type == STGTY_STREAM && !anew) {
    hr = e.parent->OpenStream(e.name(), nullptr, kReadWrite, 0, stream.Out());
    if (SUCCEEDED(hr)) hr = stream->SetSize(ULARGE_INTEGER{});
  } else {
    hr = anew ? e.parent->DestroyElement(e.name()) : S_OK;
    if (SUCCEEDED(hr)) {
      hr = e.parent->CreateStream(e.name(), kReadWrite, 0, 0, stream.Out());
    }
  }
  if (FAILED(hr)) return c.Fail(e.path(), hr);
  SetActivity(from_file ? "storing the file" : "storing standard input");
  Progress progress(from_file ? "storing the file" : "storing standard input",
                    expected, 0);
  const int status =
      StoreInStream(c, input, from_file ? c.args[1] : "standard input",
                    stream.get(), expected, e.path(), &progress);
  if (status != 0) return status;
  progress.Done();
  stream.Reset();
  closer.Close();
  return SaveImage(c);
}

}  // namespace

int CopyStreamOut(const Context& c, IStream* stream, const std::string& subject,
                  std::FILE* out, const std::string& out_name,
                  Progress* progress) {
  std::vector<char> chunk(kChunkBytes);
  for (;;) {
    ULONG got = 0;
    const HRESULT hr =
        stream->Read(chunk.data(), static_cast<ULONG>(chunk.size()), &got);
    if (FAILED(hr)) return c.Fail(subject, hr);
    if (got == 0) return 0;
    progress->Wrote(got);
    ClearSystemError();
    if (std::fwrite(chunk.data(), 1, got, out) != got) {
      return c.Fail(out_name, SystemReason());
    }
  }
}

int WriteToStandardOutput(const Context& c, const Element& e) {
  Ref<IStream> stream;
  HRESULT hr = e.parent->OpenStream(e.name(), nullptr, kRead, 0, stream.Out());
  if (FAILED(hr)) return c.Fail(e.path(), hr);
  SetBinary(stdout);
  SetActivity("writing the stream to standard output");
  // Progress would mix into the bytes on a terminal.
  if (IsTerminal(stdout)) SetQuiet(true);
  Progress progress("writing the stream", e.size, 0);
  const int status = CopyStreamOut(c, stream.get(), e.path(), stdout,
                                   "standard output", &progress);
  if (status != 0) return status;
  return std::fflush(stdout) == 0
             ? 0
             : c.Fail("standard output", std::strerror(errno));
}

int StoreInStream(const Context& c, std::FILE* input,
                  const std::string& input_name, IStream* stream,
                  uint64_t expected, const std::string& subject,
                  Progress* progress) {
  // Reserving the whole length first refuses what the plex cannot hold
  // before a byte is copied, and grows the data block once.
  HRESULT hr = S_OK;
  if (expected > 0) {
    ULARGE_INTEGER room;
    room.QuadPart = expected;
    hr = stream->SetSize(room);
    if (hr == STG_E_MEDIUMFULL || hr == STG_E_INVALIDFUNCTION) {
      return c.Fail(subject, PlexFull(expected) + kUnchanged);
    }
    if (FAILED(hr)) return c.Fail(subject, hr);
  }
  std::vector<char> chunk(kChunkBytes);
  size_t got;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), input)) > 0) {
    ULONG written = 0;
    hr = stream->Write(chunk.data(), static_cast<ULONG>(got), &written);
    progress->Wrote(written);
    if (hr == STG_E_MEDIUMFULL || (SUCCEEDED(hr) && written != got)) {
      return c.Fail(subject, "the plex cannot hold more than the " +
                                 std::to_string(progress->bytes()) +
                                 " bytes stored so far (capacity " +
                                 Mebibytes(QssPlex_CapacityBytes()) +
                                 " in this build)" + kUnchanged);
    }
    if (FAILED(hr)) return c.Fail(subject, hr);
  }
  if (std::ferror(input)) return c.Fail(input_name, SystemReason());
  return 0;
}

const Command kCatCommand = {
    "cat",
    "IMAGE PATH",
    {},
    1,
    1,
    Access::kRead,
    "write a stream's bytes to standard output",
    "Writes the bytes of the stream at PATH to standard output.\n",
    "qsplex cat t.img /docs/a.txt > a.txt",
    RunCat,
    {"show", "type"}};

const Command kPutCommand = {
    "put",
    "[-p] [-r [-f]] IMAGE PATH [FILE | DIR]",
    {Flag('p'), Flag('r'), Flag('f')},
    1,
    2,
    Access::kChange,
    "store a file or standard input in a stream",
    "Stores FILE as the stream at PATH, replacing the bytes of an existing\n"
    "stream. FILE '-' is standard input; without FILE, standard input too,\n"
    "unless it is a terminal (then give '-' to type the bytes).\n"
    "  -p  create the missing storages on the way\n"
    "  -r  store the folder DIR and everything in it as the storage PATH,\n"
    "      folders as storages and files as streams, names in the form\n"
    "      'get -r' writes (%XX escapes; a name not in that form is\n"
    "      refused), class ids from '%classid' files; links are named\n"
    "      and left out, not followed. The image keeps no times: the\n"
    "      files' are dropped (said on standard error unless -q). PATH is\n"
    "      made; an existing PATH, or an element DIR's files would\n"
    "      replace, is refused\n"
    "  -f  with -r: store into an existing PATH, replacing elements of the\n"
    "      same names (storages take in the folder's elements)\n",
    "qsplex put t.img /docs/a.txt a.txt\n"
    "qsplex put -r t.img /docs docs",
    RunPut,
    {"write"}};

}  // namespace qsplex
