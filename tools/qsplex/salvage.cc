#include "tools/qsplex/salvage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "records/dms.h"
#include "records/node_records.h"
#include "standins/plex_controls.h"
#include "tools/qsplex/files.h"

namespace qsplex {
namespace {

// The bytes of a loaded block up to and with its last byte that is not
// zero: words past the file's end load as zero.
uint64_t BytesUpToLastNonZero(int block) {
  const int words = QssPlex_BlockWords(block);
  if (words <= 0) return 0;
  const unsigned char* bytes =
      reinterpret_cast<const unsigned char*>(ib0 + DMS_LOCATI(&block));
  uint64_t end = 4 * static_cast<uint64_t>(words);
  while (end > 0 && bytes[end - 1] == 0) --end;
  return end;
}

// Copies `from` to `to` with its last byte inverted; false when it cannot.
bool CopyWithLastByteInverted(const std::string& from, const std::string& to) {
  std::FILE* in = OpenFile(from, "rb");
  if (in == nullptr) return false;
  std::FILE* out = OpenFile(to, "wb");
  bool ok = out != nullptr;
  std::vector<unsigned char> chunk(1 << 20);
  size_t got = 0;
  unsigned char* last = nullptr;
  while (ok && (got = std::fread(chunk.data(), 1, chunk.size(), in)) > 0) {
    last = &chunk[got - 1];
    // Each chunk goes out once the next one shows it was not the last.
    const int next = std::fgetc(in);
    if (next == EOF) *last ^= 0xFF;
    ok = std::fwrite(chunk.data(), 1, got, out) == got;
    if (next != EOF) ok = ok && std::fputc(next, out) != EOF;
  }
  ok = ok && last != nullptr && std::ferror(in) == 0;
  std::fclose(in);
  if (out != nullptr) ok = std::fclose(out) == 0 && ok;
  return ok;
}

// Where the file ends inside a cut block: the store loads the blocks' bytes
// in the order the file holds them, so the file's last byte is the last one
// read of the one block the end cuts through. A second load, of a copy with
// that byte inverted, shows which byte it is: in one of the two loads it is
// not zero, and nothing after it is in either. That holds only when the
// copy loads as the same image: a file that ends with a block table loses
// that table in the copy. Leaves the plex as the copy loaded it.
void MeasureCuts(const Context& c, const std::vector<int>& cut,
                 ImageDamage* damage) {
  TemporaryFile copy(c.target);
  std::string problem;
  ImageDamage copy_damage;
  if (!copy.Create(&problem) ||
      !CopyWithLastByteInverted(c.target, copy.path()) ||
      QssPlex_LoadSalvage(StorePath(copy.path()).c_str(), RecordImageDamage,
                          &copy_damage) != QSS_PLEX_LOADED ||
      copy_damage.changes_lost != damage->changes_lost ||
      copy_damage.header_damaged != damage->header_damaged ||
      copy_damage.newest_slot_damaged != damage->newest_slot_damaged) {
    return;
  }
  for (int block : cut) {
    BlockDamage& what = damage->blocks[block];
    what.bytes_read = std::max(what.bytes_read, BytesUpToLastNonZero(block));
  }
}

}  // namespace

bool LoadDamagedImage(const Context& c, ImageDamage* damage) {
  if (!LoadImageFile(c, damage)) return false;
  std::vector<int> cut;
  for (auto& [block, what] : damage->blocks) {
    if (what.kind != QSS_PLEX_BLOCK_CUT) continue;
    cut.push_back(block);
    what.bytes_read = BytesUpToLastNonZero(block);
  }
  if (cut.empty()) return true;
  SetActivity("measuring where the image is cut");
  MeasureCuts(c, cut, damage);
  ImageDamage again;
  return LoadImageFile(c, &again);
}

}  // namespace qsplex
