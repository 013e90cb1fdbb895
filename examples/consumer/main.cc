// A host's first use of qsstorage: a storage and a stream in the root, bytes
// written and read back, the stream's status, and the tree left closed.
#include <qsstorage/qsstorage.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

int Fail(const char* what, HRESULT hr) {
  std::fprintf(stderr, "%s failed: 0x%08lX\n", what,
               static_cast<unsigned long>(hr));
  return 1;
}

// Writes `text` into the stream, then reads it back from the start.
int WriteAndReadBack(IStream* stream, const char* text) {
  const ULONG length = static_cast<ULONG>(std::strlen(text));
  ULONG written = 0;
  HRESULT hr = stream->Write(text, length, &written);
  if (FAILED(hr)) return Fail("Write", hr);

  LARGE_INTEGER start;
  start.QuadPart = 0;
  hr = stream->Seek(start, STREAM_SEEK_SET, nullptr);
  if (FAILED(hr)) return Fail("Seek", hr);
  char back[64] = {};
  ULONG read = 0;
  hr = stream->Read(back, sizeof back - 1, &read);
  if (FAILED(hr)) return Fail("Read", hr);
  if (read != length || std::strcmp(back, text) != 0) {
    std::fprintf(stderr, "read back \"%s\"\n", back);
    return 1;
  }

  // Stat fills only some members: clear the record first. The name is the
  // caller's to free.
  STATSTG stat;
  std::memset(&stat, 0, sizeof stat);
  hr = stream->Stat(&stat, STATFLAG_DEFAULT);
  if (FAILED(hr)) return Fail("Stat", hr);
  const bool sized = stat.cbSize.QuadPart == length;
  CoTaskMemFree(stat.pwcsName);
  if (!sized) {
    std::fprintf(stderr, "Stat reports %llu bytes\n",
                 static_cast<unsigned long long>(stat.cbSize.QuadPart));
    return 1;
  }
  return 0;
}

}  // namespace

int main() {
  IStorage* root = GetRootIStorage();
  if (root == nullptr) return Fail("GetRootIStorage", E_OUTOFMEMORY);

  IStorage* docs = nullptr;
  HRESULT hr = root->CreateStorage(OLESTR("docs"), kMode, 0, 0, &docs);
  root->Release();
  if (FAILED(hr)) return Fail("CreateStorage", hr);

  IStream* note = nullptr;
  hr = docs->CreateStream(OLESTR("note"), kMode, 0, 0, &note);
  docs->Release();
  if (FAILED(hr)) return Fail("CreateStream", hr);

  const int failed = WriteAndReadBack(note, "kept in the plex");
  note->Release();
  if (failed != 0) return failed;

  // Releasing closes nothing: the elements stay open in the plex until the
  // host closes them all at once.
  QSStrg_RestoreRefCounts();
  std::puts("OK");
  return 0;
}
