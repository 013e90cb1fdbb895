// A host's test of its save and load: a tree made in the plex, the plex
// saved to an image file, reset, loaded back, and the tree read from it.
// The image goes to the path given as the argument, or to the working
// directory.
#include <qsstorage/testkit.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD kMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr char kText[] = "saved with the plex";

bool Check(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "FAILED: %s\n", what);
  return ok;
}

// Makes docs/note in the root, holding kText.
bool MakeTree() {
  IStorage* root = GetRootIStorage();
  if (!Check(root != nullptr, "GetRootIStorage")) return false;
  IStorage* docs = nullptr;
  HRESULT hr = root->CreateStorage(OLESTR("docs"), kMode, 0, 0, &docs);
  root->Release();
  if (!Check(SUCCEEDED(hr), "CreateStorage")) return false;
  IStream* note = nullptr;
  hr = docs->CreateStream(OLESTR("note"), kMode, 0, 0, &note);
  docs->Release();
  if (!Check(SUCCEEDED(hr), "CreateStream")) return false;
  ULONG written = 0;
  hr = note->Write(kText, sizeof kText, &written);
  note->Release();
  return Check(SUCCEEDED(hr) && written == sizeof kText, "Write");
}

// Opens docs/note again and compares what it holds with kText.
bool ReadTree() {
  IStorage* root = GetRootIStorage();
  if (!Check(root != nullptr, "GetRootIStorage")) return false;
  IStorage* docs = nullptr;
  HRESULT hr =
      root->OpenStorage(OLESTR("docs"), nullptr, kMode, nullptr, 0, &docs);
  root->Release();
  if (!Check(SUCCEEDED(hr), "OpenStorage")) return false;
  IStream* note = nullptr;
  hr = docs->OpenStream(OLESTR("note"), nullptr, kMode, 0, &note);
  docs->Release();
  if (!Check(SUCCEEDED(hr), "OpenStream")) return false;
  char back[sizeof kText + 1] = {};
  ULONG read = 0;
  hr = note->Read(back, sizeof back, &read);
  note->Release();
  return Check(SUCCEEDED(hr) && read == sizeof kText &&
                   std::memcmp(back, kText, sizeof kText) == 0,
               "Read back");
}

}  // namespace

int main(int argc, char** argv) {
  const char* image = argc > 1 ? argv[1] : "plex_round_trip_test.plex";
  QssPlex_Reset();
  if (!MakeTree()) return 1;
  const int live = QssPlex_LiveBlocks();
  // Every object is released: none survives the plex being replaced.
  if (!Check(QssPlex_Save(image) == 0, "QssPlex_Save")) return 1;
  QssPlex_Reset();
  if (!Check(QssPlex_LiveBlocks() == 2, "QssPlex_Reset")) return 1;
  const int loaded = QssPlex_Load(image);
  std::remove(image);
  if (!Check(loaded == QSS_PLEX_LOADED, "QssPlex_Load")) return 1;
  // As the host does after loading: the modes saved with the plex grant
  // nothing.
  QSStrg_RestoreRefCounts();
  if (!Check(QssPlex_LiveBlocks() == live, "blocks loaded")) return 1;
  if (!ReadTree()) return 1;
  QSStrg_RestoreRefCounts();
  std::puts("OK");
  return 0;
}
