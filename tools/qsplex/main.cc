// qsplex: a small host over a saved plex image. It loads the image (or
// starts a fresh plex), takes the root storage, prints its status and the
// records the library keeps for it, and saves the image back.
#include <cstdio>
#include <cstring>

#include "qsstorage/qsstorage.h"
#include "records/dms.h"
#include "standins/plex_controls.h"

namespace {

void PrintWide(const OLECHAR* wide) {
  if (wide == nullptr) {
    std::printf("(none)");
    return;
  }
  for (; *wide != 0; ++wide) {
    std::putchar(*wide < 0x80 ? static_cast<char>(*wide) : '?');
  }
}

void PrintRecord(int block_id) {
  const int* words = ib0 + DMS_LOCATI(&block_id);
  const int count = QssPlex_BlockWords(block_id);
  std::printf("block %d, %d words:", block_id, count);
  for (int k = 0; k < count; ++k) std::printf(" %d:%#x", k, words[k]);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  const char* image = argc > 1 ? argv[1] : "qsplex.img";
  QssPlex_Reset();
  const bool loaded = QssPlex_Load(image) == 0;
  std::printf("plex: %s (%s)\n", image, loaded ? "loaded" : "new");

  IStorage* root = GetRootIStorage();
  if (root == nullptr) {
    std::fprintf(stderr, "qsplex: no root storage\n");
    return 1;
  }
  STATSTG stat;
  std::memset(&stat, 0, sizeof stat);
  if (root->Stat(&stat, STATFLAG_DEFAULT) != S_OK) {
    std::fprintf(stderr, "qsplex: Stat failed\n");
    root->Release();
    return 1;
  }
  std::printf("root: name ");
  PrintWide(stat.pwcsName);
  std::printf(", type %u, mode %#x, clsid %08X-%04X-%04X\n",
              static_cast<unsigned>(stat.type),
              static_cast<unsigned>(stat.grfMode),
              static_cast<unsigned>(stat.clsid.Data1), stat.clsid.Data2,
              stat.clsid.Data3);
  CoTaskMemFree(stat.pwcsName);
  root->Release();

  int anchor_block = 2;
  const int root_id = ib0[DMS_LOCATI(&anchor_block) + 52];
  std::printf("root anchor (block 2, word 52): %d\n", root_id);
  PrintRecord(root_id);
  std::printf("live blocks: %d\n", QssPlex_LiveBlocks());
  if (QssPlex_Save(image) != 0) {
    std::fprintf(stderr, "qsplex: cannot save %s\n", image);
    return 1;
  }
  return 0;
}
