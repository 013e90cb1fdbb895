#include "tools/qsplex/compound/compound_directory.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>
#include <vector>

#include "tools/qsplex/compound/export_check.h"

namespace qsplex {
namespace {

constexpr HRESULT kFileCorrupt = static_cast<HRESULT>(0x80030109);

// The file's header and directory entries, by byte offset.
constexpr size_t kHeaderBytes = 512;
constexpr size_t kSectorShiftAt = 0x1E;
constexpr size_t kFatSectorsAt = 0x2C;
constexpr size_t kFirstDirectorySectorAt = 0x30;
constexpr size_t kFirstDifatSectorAt = 0x44;
constexpr size_t kDifatSectorsAt = 0x48;
constexpr size_t kHeaderDifatAt = 0x4C;
constexpr size_t kHeaderDifatEntries = 109;
constexpr size_t kEntryBytes = 128;
constexpr size_t kNameLengthAt = 0x40;  // bytes, terminator included
constexpr size_t kTypeAt = 0x42;
constexpr size_t kColourAt = 0x43;
constexpr size_t kLeftAt = 0x44;
constexpr size_t kRightAt = 0x48;
constexpr size_t kChildAt = 0x4C;

constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kNoEntry = 0xFFFFFFFF;
constexpr uint8_t kStorageType = 1;
constexpr uint8_t kStreamType = 2;
constexpr uint8_t kRootType = 5;
constexpr uint8_t kRed = 0;
constexpr uint8_t kBlack = 1;

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void Put32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

class File {
 public:
  explicit File(const std::string& path)
      : file_(std::fopen(path.c_str(), "r+b")) {}
  ~File() {
    if (file_ != nullptr) std::fclose(file_);
  }
  bool is_open() const { return file_ != nullptr; }
  uint64_t Size() {
    if (fseeko(file_, 0, SEEK_END) != 0) return 0;
    const off_t size = ftello(file_);
    return size < 0 ? 0 : static_cast<uint64_t>(size);
  }
  bool Read(uint64_t offset, void* out, size_t bytes) {
    return fseeko(file_, static_cast<off_t>(offset), SEEK_SET) == 0 &&
           std::fread(out, 1, bytes, file_) == bytes;
  }
  bool Write(uint64_t offset, const void* data, size_t bytes) {
    return fseeko(file_, static_cast<off_t>(offset), SEEK_SET) == 0 &&
           std::fwrite(data, 1, bytes, file_) == bytes;
  }
  bool Close() {
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    return closed;
  }

 private:
  std::FILE* file_;
};

// The sector table and the directory's bytes, with where each of its
// sectors lies in the file.
struct Tables {
  unsigned shift = 0;
  std::vector<uint32_t> fat;
  std::vector<uint32_t> directory_sectors;
  std::vector<uint8_t> directory;
};

uint64_t SectorOffset(const Tables& t, uint32_t sector) {
  return (static_cast<uint64_t>(sector) + 1) << t.shift;
}

// The FAT sectors' numbers: the header's first 109, then chained DIFAT
// sectors, each ending with the number of the next.
bool ReadFatSectors(File* file, const uint8_t* header, const Tables& t,
                    uint64_t sectors_in_file, std::vector<uint32_t>* out) {
  const uint32_t count = Get32(header + kFatSectorsAt);
  if (count > sectors_in_file) return false;
  for (size_t i = 0; i < count && i < kHeaderDifatEntries; ++i) {
    out->push_back(Get32(header + kHeaderDifatAt + 4 * i));
  }
  const size_t per_sector = (size_t{1} << t.shift) / 4 - 1;
  std::vector<uint8_t> sector(size_t{1} << t.shift);
  uint32_t next = Get32(header + kFirstDifatSectorAt);
  for (uint32_t left = Get32(header + kDifatSectorsAt);
       out->size() < count && left > 0; --left) {
    if (next >= sectors_in_file ||
        !file->Read(SectorOffset(t, next), sector.data(), sector.size())) {
      return false;
    }
    for (size_t i = 0; i < per_sector && out->size() < count; ++i) {
      out->push_back(Get32(&sector[4 * i]));
    }
    next = Get32(&sector[4 * per_sector]);
  }
  return out->size() == count;
}

bool ReadTables(File* file, Tables* t) {
  uint8_t header[kHeaderBytes];
  if (!file->Read(0, header, sizeof header)) return false;
  t->shift = static_cast<unsigned>(header[kSectorShiftAt]) |
             static_cast<unsigned>(header[kSectorShiftAt + 1]) << 8;
  if (t->shift != 9 && t->shift != 12) return false;
  const size_t sector_bytes = size_t{1} << t->shift;
  const uint64_t sectors_in_file = file->Size() >> t->shift;
  std::vector<uint32_t> fat_sectors;
  if (!ReadFatSectors(file, header, *t, sectors_in_file, &fat_sectors)) {
    return false;
  }
  t->fat.resize(fat_sectors.size() * sector_bytes / 4);
  std::vector<uint8_t> sector(sector_bytes);
  for (size_t i = 0; i < fat_sectors.size(); ++i) {
    if (fat_sectors[i] >= sectors_in_file ||
        !file->Read(SectorOffset(*t, fat_sectors[i]), sector.data(),
                    sector_bytes)) {
      return false;
    }
    for (size_t k = 0; k < sector_bytes / 4; ++k) {
      t->fat[i * sector_bytes / 4 + k] = Get32(&sector[4 * k]);
    }
  }
  // A chain longer than the table has a loop.
  for (uint32_t s = Get32(header + kFirstDirectorySectorAt); s != kEndOfChain;
       s = t->fat[s]) {
    if (s >= t->fat.size() || s >= sectors_in_file ||
        t->directory_sectors.size() >= t->fat.size()) {
      return false;
    }
    t->directory_sectors.push_back(s);
  }
  t->directory.resize(t->directory_sectors.size() * sector_bytes);
  for (size_t i = 0; i < t->directory_sectors.size(); ++i) {
    if (!file->Read(SectorOffset(*t, t->directory_sectors[i]),
                    &t->directory[i * sector_bytes], sector_bytes)) {
      return false;
    }
  }
  return !t->directory.empty() && t->directory[kTypeAt] == kRootType;
}

uint8_t* Entry(Tables* t, uint32_t index) {
  return &t->directory[static_cast<size_t>(index) * kEntryBytes];
}

// The children of a storage, in the tree's order, found from its child
// link; false when a link leads outside the directory, to an entry that is
// no element, or to an entry met before.
bool Children(Tables* t, uint32_t storage, std::vector<bool>* seen,
              std::vector<uint32_t>* out) {
  const uint32_t count =
      static_cast<uint32_t>(t->directory.size() / kEntryBytes);
  std::vector<uint32_t> pending;
  for (uint32_t at = Get32(Entry(t, storage) + kChildAt);
       at != kNoEntry || !pending.empty();) {
    if (at != kNoEntry) {
      const uint8_t type = at < count ? Entry(t, at)[kTypeAt] : 0;
      if ((type != kStorageType && type != kStreamType) || (*seen)[at]) {
        return false;
      }
      (*seen)[at] = true;
      pending.push_back(at);
      at = Get32(Entry(t, at) + kLeftAt);
      continue;
    }
    at = pending.back();
    pending.pop_back();
    out->push_back(at);
    at = Get32(Entry(t, at) + kRightAt);
  }
  return true;
}

WideString NameOf(Tables* t, uint32_t index) {
  const uint8_t* e = Entry(t, index);
  const size_t bytes = static_cast<size_t>(e[kNameLengthAt]) |
                       static_cast<size_t>(e[kNameLengthAt + 1]) << 8;
  const size_t units = std::min<size_t>(bytes, 64) / 2;  // with terminator
  WideString name;
  for (size_t i = 0; i + 1 < units; ++i) {
    name.push_back(static_cast<OLECHAR>(e[2 * i] | e[2 * i + 1] << 8));
  }
  return name;
}

// Shorter names first, then upper-cased unit by unit.
bool Precedes(const WideString& a, const WideString& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  return CompoundNameKey(a) < CompoundNameKey(b);
}

// Links `sorted` as a tree whose every subtree splits at its middle: leaves
// lie on the two deepest levels. Nodes on the deepest level (below the
// root) are red, all others black, so every path holds as many black nodes
// and no red node has a red child. Returns the root.
uint32_t LinkBalanced(Tables* t, const std::vector<uint32_t>& sorted) {
  if (sorted.empty()) return kNoEntry;
  struct Range {
    size_t begin, end;
    int depth;
  };
  std::vector<int> depth(sorted.size());
  std::vector<Range> pending = {{0, sorted.size(), 0}};
  int deepest = 0;
  while (!pending.empty()) {
    const Range r = pending.back();
    pending.pop_back();
    const size_t middle = r.begin + (r.end - r.begin) / 2;
    depth[middle] = r.depth;
    deepest = std::max(deepest, r.depth);
    uint8_t* e = Entry(t, sorted[middle]);
    const size_t left = r.begin + (middle - r.begin) / 2;
    const size_t right = middle + 1 + (r.end - middle - 1) / 2;
    Put32(e + kLeftAt, middle > r.begin ? sorted[left] : kNoEntry);
    Put32(e + kRightAt, r.end > middle + 1 ? sorted[right] : kNoEntry);
    if (middle > r.begin) pending.push_back({r.begin, middle, r.depth + 1});
    if (r.end > middle + 1) pending.push_back({middle + 1, r.end, r.depth + 1});
  }
  for (size_t i = 0; i < sorted.size(); ++i) {
    const bool red = depth[i] == deepest && deepest > 0;
    Entry(t, sorted[i])[kColourAt] = red ? kRed : kBlack;
  }
  return sorted[sorted.size() / 2];
}

bool Rebalance(Tables* t) {
  const uint32_t count =
      static_cast<uint32_t>(t->directory.size() / kEntryBytes);
  std::vector<bool> seen(count, false);
  std::vector<uint32_t> children;
  std::vector<std::pair<WideString, uint32_t>> named;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t type = Entry(t, i)[kTypeAt];
    if (type != kStorageType && type != kRootType) continue;
    children.clear();
    if (!Children(t, i, &seen, &children)) return false;
    named.clear();
    for (uint32_t child : children) named.emplace_back(NameOf(t, child), child);
    std::stable_sort(named.begin(), named.end(),
                     [](const auto& a, const auto& b) {
                       return Precedes(a.first, b.first);
                     });
    for (size_t k = 0; k < named.size(); ++k) children[k] = named[k].second;
    Put32(Entry(t, i) + kChildAt, LinkBalanced(t, children));
  }
  return true;
}

}  // namespace

HRESULT BalanceDirectory(const std::string& path) {
  File file(path);
  if (!file.is_open()) return STG_E_ACCESSDENIED;
  Tables tables;
  try {
    if (!ReadTables(&file, &tables) || !Rebalance(&tables)) return kFileCorrupt;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  const size_t sector_bytes = size_t{1} << tables.shift;
  for (size_t i = 0; i < tables.directory_sectors.size(); ++i) {
    if (!file.Write(SectorOffset(tables, tables.directory_sectors[i]),
                    &tables.directory[i * sector_bytes], sector_bytes)) {
      return STG_E_MEDIUMFULL;
    }
  }
  return file.Close() ? S_OK : STG_E_MEDIUMFULL;
}

}  // namespace qsplex
