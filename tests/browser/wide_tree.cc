// Makes an image of a wide tree for the report's browser test: STORAGES
// storages under /wide, each holding STREAMS streams of sizes from 0 to a
// few hundred bytes and one large one, so that most elements are too small
// for the treemap to draw. Made through the library in one run and saved
// once, it takes seconds where 100,000 files through 'qsplex put -r' take
// minutes.
//   qsplex_wide_tree IMAGE STORAGES STREAMS
#include <qsstorage/testkit.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr DWORD kMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

std::vector<OLECHAR> Wide(const std::string& text) {
  std::vector<OLECHAR> wide(text.begin(), text.end());
  wide.push_back(0);
  return wide;
}

// The bytes of stream `f` of storage `s`: the first of each storage large,
// the others small and of many sizes, some empty.
size_t StreamBytes(int s, int f) {
  return f == 0 ? 4000 * static_cast<size_t>(s + 1) : (f * 37 + s * 11) % 400;
}

bool Fail(const char* what, HRESULT hr) {
  std::fprintf(stderr, "qsplex_wide_tree: %s failed: 0x%08lX\n", what,
               static_cast<unsigned long>(hr));
  return false;
}

bool MakeTree(int storages, int streams) {
  IStorage* root = GetRootIStorage();
  if (root == nullptr) return Fail("GetRootIStorage", E_FAIL);
  IStorage* wide = nullptr;
  HRESULT hr = root->CreateStorage(Wide("wide").data(), kMode, 0, 0, &wide);
  root->Release();
  if (FAILED(hr)) return Fail("CreateStorage /wide", hr);
  const std::string bytes(4000 * static_cast<size_t>(storages + 1), 'x');
  bool ok = true;
  for (int s = 0; s < storages && ok; ++s) {
    char name[32];
    std::snprintf(name, sizeof name, "s%03d", s);
    IStorage* storage = nullptr;
    hr = wide->CreateStorage(Wide(name).data(), kMode, 0, 0, &storage);
    if (FAILED(hr)) {
      ok = Fail("CreateStorage", hr);
      break;
    }
    for (int f = 0; f < streams && ok; ++f) {
      std::snprintf(name, sizeof name, "f%04d", f);
      IStream* stream = nullptr;
      hr = storage->CreateStream(Wide(name).data(), kMode, 0, 0, &stream);
      if (FAILED(hr)) {
        ok = Fail("CreateStream", hr);
        break;
      }
      ULONG written = 0;
      const ULONG size = static_cast<ULONG>(StreamBytes(s, f));
      if (size > 0) hr = stream->Write(bytes.data(), size, &written);
      stream->Release();
      if (FAILED(hr)) ok = Fail("Write", hr);
    }
    storage->Release();
  }
  wide->Release();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: qsplex_wide_tree IMAGE STORAGES STREAMS\n");
    return 2;
  }
  QssPlex_Reset();
  if (!MakeTree(std::atoi(argv[2]), std::atoi(argv[3]))) return 1;
  QSStrg_RestoreRefCounts();
  if (QssPlex_Save(argv[1]) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
