#include "fuzz/image_fuzz.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "platform/com.h"
#include "qsstorage/qsstorage.h"
#include "records/dms.h"
#include "records/node_records.h"
#include "standins/image/format.h"
#include "standins/plex_controls.h"
#include "support/com_ref.h"
#include "support/utf8.h"

#define XXH_INLINE_ALL
#include "xxhash.h"

#if defined(__SANITIZE_ADDRESS__)
#define QSS_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QSS_FUZZ_ASAN 1
#endif
#endif
#if defined(QSS_FUZZ_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace qss_fuzz {
namespace {

using qss_support::Ref;

using qss::standins::kBaseSlotOffset;
using qss::standins::kDataStart;
using qss::standins::kEntryBytes;
using qss::standins::kFirstChecksumBytes;
using qss::standins::kFirstHeaderBytes;
using qss::standins::kFnvOffset;
using qss::standins::kFnvPrime;
using qss::standins::kHeadSeed;
using qss::standins::kMagic;
using qss::standins::kSecondEntryBytes;
using qss::standins::kSecondHeaderBytes;
using qss::standins::kSlotBytes;
using qss::standins::kSlotCheckedBytes;
using qss::standins::kSlotOffsets;
// A file may hold a head every 64 bytes; resealing follows this many.
constexpr int kMaxHeads = 64;

constexpr uint64_t kPlexBytes = 64 << 20;
constexpr uint64_t kPoisonMarginBytes = 1 << 20;
constexpr int kOwnBlockWords = 40;

uint64_t Get(const std::vector<uint8_t>& f, uint64_t at, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= uint64_t{f[at + i]} << (8 * i);
  return value;
}

void Put(uint64_t value, uint64_t at, std::vector<uint8_t>* f) {
  for (int i = 0; i < 8; ++i) (*f)[at + i] = (value >> (8 * i)) & 0xFF;
}

// Whether the file holds `bytes` from `at`.
bool Holds(const std::vector<uint8_t>& f, uint64_t at, uint64_t bytes) {
  return at <= f.size() && bytes <= f.size() - at;
}

uint64_t Xxh(const std::vector<uint8_t>& f, uint64_t at, uint64_t bytes,
             uint64_t seed = 0) {
  return XXH3_64bits_withSeed(f.data() + at, bytes, seed);
}

// Sums each block of the table into its entry while `*budget` lasts: a
// crafted file can name its largest block from every entry.
void ResealEntries(uint64_t table, uint64_t count, uint64_t entry_bytes,
                   bool placed, uint64_t* budget, std::vector<uint8_t>* f) {
  uint64_t at = table + count * entry_bytes;  // the second format's words
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t entry = table + i * entry_bytes;
    const uint64_t bytes = 4 * Get(*f, entry + 4, 4);
    if (placed) at = Get(*f, entry + 8, 8);
    const uint64_t sum_at = entry + (placed ? 16 : 8);
    if (Holds(*f, at, bytes) && bytes <= *budget) {
      *budget -= bytes;
      Put(Xxh(*f, at, bytes), sum_at, f);
    }
    if (!placed) at += bytes;
  }
}

void ResealCurrent(uint8_t control, std::vector<uint8_t>* f) {
  if (f->size() < kBaseSlotOffset + kSlotBytes) return;
  struct Place {
    uint64_t at;
    int seed;
  };
  std::vector<Place> slots;
  for (int k = 0; k < 2; ++k) slots.push_back({kSlotOffsets[k], k});
  slots.push_back({kBaseSlotOffset, qss::standins::kBaseSeed});
  // The heads: each at the end of the image before it, from the base's.
  uint64_t end = Get(*f, kBaseSlotOffset + 40, 8);
  for (int n = 0; n < kMaxHeads; ++n) {
    const uint64_t at = (end + 7) / 8 * 8;
    if (at < kDataStart || !Holds(*f, at, kSlotBytes)) break;
    slots.push_back({at, kHeadSeed});
    end = Get(*f, at + 40, 8);
    if (end <= at) break;
  }
  uint64_t budget = 4 * f->size() + (1 << 20);
  for (const Place& slot : slots) {
    const uint64_t count = Get(*f, slot.at + 12, 4);
    const uint64_t table = Get(*f, slot.at + 24, 8);
    const bool whole = table >= kDataStart && table <= f->size() &&
                       (f->size() - table) / kEntryBytes >= count;
    if (whole && (control & kKeepBlocks) == 0) {
      ResealEntries(table, count, kEntryBytes, true, &budget, f);
    }
    if (whole && (control & kKeepTables) == 0) {
      Put(Xxh(*f, table, count * kEntryBytes), slot.at + 32, f);
    }
    const uint8_t keep = slot.seed == kHeadSeed ? kKeepHeads : kKeepHeaders;
    if ((control & keep) == 0) {
      Put(Xxh(*f, slot.at, kSlotCheckedBytes, static_cast<uint64_t>(slot.seed)),
          slot.at + kSlotCheckedBytes, f);
    }
  }
}

void ResealSecond(uint8_t control, std::vector<uint8_t>* f) {
  if (f->size() < kSecondHeaderBytes) return;
  const uint64_t count = Get(*f, 16, 4);
  if ((f->size() - kSecondHeaderBytes) / kSecondEntryBytes >= count) {
    uint64_t budget = 4 * f->size();
    if ((control & kKeepBlocks) == 0) {
      ResealEntries(kSecondHeaderBytes, count, kSecondEntryBytes, false,
                    &budget, f);
    }
    if ((control & kKeepTables) == 0) {
      Put(Xxh(*f, kSecondHeaderBytes, count * kSecondEntryBytes), 32, f);
    }
  }
  if ((control & kKeepHeaders) == 0) Put(Xxh(*f, 0, 40), 40, f);
}

void ResealFirst(uint8_t control, std::vector<uint8_t>* f) {
  if (f->size() < kFirstHeaderBytes + kFirstChecksumBytes ||
      (control & kKeepHeaders) != 0) {
    return;
  }
  uint64_t hash = kFnvOffset;
  const size_t body = f->size() - kFirstChecksumBytes;
  for (size_t i = 0; i < body; ++i) hash = (hash ^ (*f)[i]) * kFnvPrime;
  Put(hash, body, f);
}

// Scratch files to remove when the process ends; never destroyed, as the
// handler that removes them runs after the statics are gone.
std::vector<std::string>& ScratchFiles() {
  static auto* files = new std::vector<std::string>;
  return *files;
}

void RemoveScratchFiles() {
  for (const std::string& path : ScratchFiles()) std::remove(path.c_str());
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx",
                static_cast<unsigned long long>(value));
  return text;
}

std::string ClassId(const CLSID& id) {
  char text[40];
  std::snprintf(text, sizeof text,
                "%08x-%04x-%04x-%02x%02x%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned>(id.Data1), id.Data2, id.Data3,
                id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4],
                id.Data4[5], id.Data4[6], id.Data4[7]);
  return text;
}

// The members Stat and Next fill (qsstorage.h), of a record cleared first.
std::string StatLine(const std::string& path, const STATSTG& stat) {
  std::string line = path + " type " + std::to_string(stat.type) + " mode " +
                     Hex(stat.grfMode);
  return line + (stat.type == STGTY_STREAM
                     ? " size " + std::to_string(stat.cbSize.QuadPart)
                     : " class " + ClassId(stat.clsid));
}

// Reads the stream through to its end, counting and summing its bytes.
void ReadWhole(IStream* stream, uint64_t size, const std::string& path,
               Walk* walk) {
  std::vector<uint8_t> chunk(64 * 1024);
  uint64_t total = 0;
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  for (;;) {
    ULONG got = 0;
    const HRESULT hr =
        stream->Read(chunk.data(), static_cast<ULONG>(chunk.size()), &got);
    if (FAILED(hr)) {
      walk->text += " read fails " + Hex(static_cast<uint32_t>(hr));
      return;
    }
    XXH3_64bits_update(&state, chunk.data(), got);
    total += got;
    if (got == 0) break;
  }
  if (total != size && walk->problem.empty()) {
    walk->problem = path + " reads " + std::to_string(total) +
                    " bytes of its " + std::to_string(size);
  }
  walk->bytes += total;
  walk->text += " read " + std::to_string(total) + " xxh3 " +
                Hex(XXH3_64bits_digest(&state));
}

}  // namespace

FuzzInput Prepare(const uint8_t* data, size_t size) {
  FuzzInput input;
  if (size > 0) {
    input.image.assign(data, data + size - 1);
    input.control = data[size - 1];
  }
  Reseal(input.control, &input.image);
  return input;
}

void Reseal(uint8_t control, std::vector<uint8_t>* image) {
  if (image->size() < 12 ||
      std::memcmp(image->data(), kMagic, sizeof kMagic) != 0) {
    return;
  }
  switch (Get(*image, 8, 4)) {
    case 1:
      return ResealFirst(control, image);
    case 2:
      return ResealSecond(control, image);
    case 3:
      return ResealCurrent(control, image);
  }
}

std::string ScratchPath(const char* name) {
  std::error_code error;
  std::filesystem::path folder = std::filesystem::temp_directory_path(error);
  if (error) folder = ".";
  const std::string path =
      (folder /
       ("qss-image-fuzz-" + std::to_string(getpid()) + "-" + name + ".img"))
          .string();
  static std::once_flag registered;
  std::call_once(registered, [] { std::atexit(RemoveScratchFiles); });
  if (std::find(ScratchFiles().begin(), ScratchFiles().end(), path) ==
      ScratchFiles().end()) {
    ScratchFiles().push_back(path);
  }
  return path;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok =
      std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

void FreshPlex(uint8_t control) {
  QssPlex_SetReservationBytes(kPlexBytes);
  QssPlex_Reset();
  QssPlex_SetMapImages((control & kUnmapped) == 0);
  if ((control & kOverBlocks) == 0) return;
  int flag = 1;
  DMS_SIMBEAD(&flag);
  int id = 0, index = 0;
  DMS_ALLOCI(&kOwnBlockWords, &id, &index);
  for (int k = 0; k < kOwnBlockWords; ++k) ib0[index + k] = 0x5EED0000 + k;
  flag = 0;
  DMS_SIMBEAD(&flag);
}

int LoadSalvage(const std::string& path, DamageLog* log) {
  *log = DamageLog{};
  return QssPlex_LoadSalvage(
      path.c_str(),
      [](int block, int damage, void* context) {
        auto* log = static_cast<DamageLog*>(context);
        ++log->reports;
        if (damage == QSS_PLEX_CHANGES_LOST) {
          log->changes_lost = static_cast<uint64_t>(block);
        } else if (damage == QSS_PLEX_HEADER_DAMAGED) {
          log->header_damaged = true;
        } else {
          log->blocks[block] = damage;
        }
      },
      log);
}

PlexSnapshot Snapshot() {
  PlexSnapshot blocks;
  for (int id = QssPlex_NextBlockId(0); id != 0; id = QssPlex_NextBlockId(id)) {
    const int32_t* words = ib0 + DMS_LOCATI(&id);
    blocks.push_back(
        {id, std::vector<int32_t>(words, words + QssPlex_BlockWords(id))});
  }
  return blocks;
}

std::string Difference(const PlexSnapshot& before, const PlexSnapshot& after) {
  for (size_t i = 0; i < std::max(before.size(), after.size()); ++i) {
    if (i >= before.size())
      return "block " + std::to_string(after[i].id) + " is new";
    if (i >= after.size() || before[i].id != after[i].id) {
      return "block " + std::to_string(before[i].id) + " is gone";
    }
    const std::vector<int32_t>& a = before[i].words;
    const std::vector<int32_t>& b = after[i].words;
    // memcmp first: the element by element search is instrumented.
    if (a.size() == b.size() &&
        (a.empty() || std::memcmp(a.data(), b.data(), 4 * a.size()) == 0)) {
      continue;
    }
    if (a.size() != b.size()) {
      return "block " + std::to_string(before[i].id) + " has " +
             std::to_string(b.size()) + " words, not " +
             std::to_string(a.size());
    }
    const auto differs = std::mismatch(a.begin(), a.end(), b.begin());
    if (differs.first != a.end()) {
      return "word " + std::to_string(differs.first - a.begin()) +
             " of block " + std::to_string(before[i].id) + " is " +
             Hex(static_cast<uint32_t>(*differs.second)) + ", not " +
             Hex(static_cast<uint32_t>(*differs.first));
    }
  }
  return "";
}

std::vector<qss::AllocatedBlock> Blocks() {
  std::vector<qss::AllocatedBlock> blocks;
  for (int id = QssPlex_NextBlockId(0); id != 0; id = QssPlex_NextBlockId(id)) {
    blocks.push_back({id, QssPlex_BlockWords(id)});
  }
  return blocks;
}

bool HoldsHostBlocks() {
  return QssPlex_BlockWords(1) >= 0 &&
         QssPlex_BlockWords(qss::kAnchorBlock) > qss::kAnchorWord;
}

int AnchoredRoot() {
  int block = qss::kAnchorBlock;
  return ib0[DMS_LOCATI(&block) + qss::kAnchorWord];
}

std::string Describe(const std::vector<qss::TreeFinding>& findings) {
  std::string text;
  for (const qss::TreeFinding& finding : findings) {
    text += std::to_string(static_cast<int>(finding.kind)) + " " +
            finding.location + ": " + finding.message + "\n";
  }
  return text;
}

PoisonOutsideBlocks::PoisonOutsideBlocks() {
#if defined(QSS_FUZZ_ASAN)
  int64_t top = 0;
  for (int id = QssPlex_NextBlockId(0); id != 0; id = QssPlex_NextBlockId(id)) {
    top = std::max<int64_t>(top, DMS_LOCATI(&id) + QssPlex_BlockWords(id));
  }
  start_ = reinterpret_cast<char*>(ib0);
  bytes_ = static_cast<size_t>(std::min<uint64_t>(
      QssPlex_CapacityBytes(), 4 * top + kPoisonMarginBytes));
  ASAN_POISON_MEMORY_REGION(start_, bytes_);
  for (int id = QssPlex_NextBlockId(0); id != 0; id = QssPlex_NextBlockId(id)) {
    ASAN_UNPOISON_MEMORY_REGION(
        ib0 + DMS_LOCATI(&id), 4 * static_cast<size_t>(QssPlex_BlockWords(id)));
  }
#endif
}

PoisonOutsideBlocks::~PoisonOutsideBlocks() {
#if defined(QSS_FUZZ_ASAN)
  ASAN_UNPOISON_MEMORY_REGION(start_, bytes_);
#endif
}

bool HasAddressSanitizer() {
#if defined(QSS_FUZZ_ASAN)
  return true;
#else
  return false;
#endif
}

bool PoisonWorks() {
#if defined(QSS_FUZZ_ASAN)
  QssPlex_Reset();
  int id = 2;  // the last of a fresh plex: block 1 ends where it starts
  const int32_t* block = ib0 + DMS_LOCATI(&id);
  const int words = QssPlex_BlockWords(id);
  bool works;
  {
    PoisonOutsideBlocks poison;
    works = __asan_address_is_poisoned(block + words) &&
            !__asan_address_is_poisoned(block) &&
            !__asan_address_is_poisoned(block + words - 1) &&
            __asan_address_is_poisoned(ib0);
  }
  return works && !__asan_address_is_poisoned(block + words);
#else
  return false;
#endif
}

int ReadPastBlockEnd() {
  QssPlex_Reset();
  int id = 2;
  const volatile int32_t* block = ib0 + DMS_LOCATI(&id);
  PoisonOutsideBlocks poison;
  return block[QssPlex_BlockWords(id)];
}

std::vector<qss::TreeFinding> CheckPoisoned() {
  PoisonOutsideBlocks poison;
  return qss::CheckTree(Blocks());
}

std::string SaveAndReload(const std::string& out, uint8_t control,
                          const PlexSnapshot& expected) {
  if (QssPlex_Save(out.c_str()) != 0) {
    return "cannot save " + out + ": " + std::strerror(errno);
  }
  FreshPlex(control);
  const int reloaded = QssPlex_Load(out.c_str());
  if (reloaded != QSS_PLEX_LOADED) {
    return "the saved image does not load: " + std::to_string(reloaded);
  }
  const std::string changed = Difference(expected, Snapshot());
  return changed.empty() ? "" : "the saved image loads otherwise: " + changed;
}

Walk WalkTree() {
  PoisonOutsideBlocks poison;
  struct Pending {
    Ref<IStorage> storage;
    std::string path;
  };
  std::vector<Pending> pending;
  pending.push_back({Ref<IStorage>(GetRootIStorage()), ""});
  Walk walk;
  while (!pending.empty()) {
    Pending at = std::move(pending.back());
    pending.pop_back();
    if (!at.storage) {
      walk.text += at.path + " has no root\n";
      continue;
    }
    STATSTG stat = {};
    HRESULT hr = at.storage->Stat(&stat, STATFLAG_NONAME);
    walk.text += FAILED(hr)
                     ? at.path + " stat fails " + Hex(static_cast<uint32_t>(hr))
                     : StatLine(at.path, stat);
    walk.text += "\n";
    Ref<IEnumSTATSTG> elements;
    hr = at.storage->EnumElements(0, nullptr, 0, elements.Out());
    if (FAILED(hr)) {
      walk.text += at.path + " enumeration fails " +
                   Hex(static_cast<uint32_t>(hr)) + "\n";
      continue;
    }
    for (stat = {}; elements->Next(1, &stat, nullptr) == S_OK; stat = {}) {
      const std::string path =
          at.path + "/" + qss_support::WideToUtf8(stat.pwcsName);
      walk.text += StatLine(path, stat);
      ++walk.elements;
      constexpr DWORD kMode = STGM_READ | STGM_SHARE_EXCLUSIVE;
      if (stat.type == STGTY_STORAGE) {
        Ref<IStorage> child;
        hr = at.storage->OpenStorage(stat.pwcsName, nullptr, kMode, nullptr, 0,
                                     child.Out());
        if (SUCCEEDED(hr)) pending.push_back({std::move(child), path});
      } else {
        Ref<IStream> stream;
        hr = at.storage->OpenStream(stat.pwcsName, nullptr, kMode, 0,
                                    stream.Out());
        if (SUCCEEDED(hr)) {
          STATSTG own = {};
          const HRESULT stated = stream->Stat(&own, STATFLAG_NONAME);
          if (SUCCEEDED(stated)) {
            ReadWhole(stream.get(), own.cbSize.QuadPart, path, &walk);
          } else {
            walk.text += " stat fails " + Hex(static_cast<uint32_t>(stated));
          }
        }
      }
      if (FAILED(hr))
        walk.text += " open fails " + Hex(static_cast<uint32_t>(hr));
      walk.text += "\n";
      CoTaskMemFree(stat.pwcsName);
    }
  }
  return walk;
}

#if !defined(QSS_IMAGE_FUZZ_TESTS)
void InitializeTarget() {
  if (!PoisonWorks()) {
    std::fprintf(stderr,
                 "image fuzz: the words outside live blocks cannot be "
                 "poisoned; build with -fsanitize=address\n");
    std::abort();
  }
}

void Report(const std::string& failure) {
  if (failure.empty()) return;
  std::fprintf(stderr, "image fuzz: %s\n", failure.c_str());
  std::abort();
}
#endif

}  // namespace qss_fuzz
