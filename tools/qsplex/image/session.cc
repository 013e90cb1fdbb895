#include "tools/qsplex/image/session.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qsstorage/qsstorage.h"
#include "records/node_records.h"
#include "standins/plex_controls.h"
#include "tools/qsplex/os/files.h"
#include "tools/qsplex/image/image_watch.h"

namespace qsplex {

int PrintJson(const Context& c, const JsonWriter& json, int status) {
  const std::string text = json.Text();
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
      std::fflush(stdout) != 0) {
    return c.Fail("standard output", std::strerror(errno));
  }
  return status;
}

std::vector<qss::AllocatedBlock> AllocatedBlocks() {
  std::vector<qss::AllocatedBlock> blocks;
  for (int id = QssPlex_NextBlockId(0); id != 0; id = QssPlex_NextBlockId(id)) {
    blocks.push_back({id, QssPlex_BlockWords(id)});
  }
  return blocks;
}

namespace {

const char* g_activity = "starting";

constexpr uint64_t kMebibyte = 1024 * 1024;

// Whether the whole file reads without an error; `*reason` says why not.
bool ReadsThrough(const std::string& path, std::string* reason) {
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) {
    *reason = SystemReason();
    return false;
  }
  std::vector<char> chunk(1 << 20);
  while (std::fread(chunk.data(), 1, chunk.size(), file) == chunk.size()) {
  }
  const bool failed = std::ferror(file) != 0;
  if (failed) *reason = SystemReason();
  std::fclose(file);
  return !failed;
}

// Why a file that does not start as an image is refused: it cannot be
// read, or it holds something else.
std::string ImageProblem(const std::string& path) {
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) return "cannot read it: " + SystemReason();
  std::fclose(file);
  return "not a plex image: a file of another kind";
}

// Why init cannot make the image; empty when it can.
std::string CreateRefusal(const Context& c, const FileStatus& status) {
  const FileStatus folder = Probe(FolderOf(c.image));
  if (folder.kind != FileKind::kDirectory) {
    return CreateProblem(
        c.image, folder.reason.empty() ? "not a folder" : folder.reason);
  }
  switch (status.kind) {
    case FileKind::kMissing:
      return std::string();
    case FileKind::kDirectory:
      return "is a folder";
    case FileKind::kOther:
      return "is not a regular file";
    default:
      return c.Has('f') ? std::string() : "exists already (-f replaces it)";
  }
}

// Why the image cannot be opened (before it is locked); empty when it can.
std::string OpenRefusal(const Context& c, const FileStatus& status) {
  if (status.kind == FileKind::kFile && LooksLikeImage(c.image)) {
    return std::string();
  }
  std::string problem;
  switch (status.kind) {
    case FileKind::kMissing:
      problem = "no such image";
      break;
    case FileKind::kDirectory:
      problem = "is a folder, not a plex image";
      break;
    case FileKind::kOther:
      problem = "is not a regular file, so not a plex image";
      break;
    case FileKind::kFile:
      problem = ImageProblem(c.image);
      break;
    default:
      problem = "cannot read it: " + status.reason;
  }
  const std::string hint = SwappedHint(c);
  if (!hint.empty()) return problem + hint;
  if (status.kind == FileKind::kMissing) {
    problem += " (make one with 'qsplex init IMAGE')";
  }
  return problem;
}

// Shows the progress of the store's loads and saves.
void QSS_HOST_CALL OnPlexProgress(unsigned long long done,
                                  unsigned long long total, void* context) {
  static_cast<Progress*>(context)->Reached(done, total);
}

// Reports the store's progress to `progress` while it lives.
class PlexProgress {
 public:
  explicit PlexProgress(const char* verb) : progress_(verb, 0, 0) {
    QssPlex_SetProgress(OnPlexProgress, &progress_);
  }
  PlexProgress(const PlexProgress&) = delete;
  PlexProgress& operator=(const PlexProgress&) = delete;
  ~PlexProgress() { QssPlex_SetProgress(nullptr, nullptr); }

 private:
  Progress progress_;
};

}  // namespace

void ResetPlex() {
  const char* bytes = std::getenv("QSPLEX_PLEX_BYTES");
  if (bytes != nullptr && *bytes != 0) {
    QssPlex_SetReservationBytes(std::strtoull(bytes, nullptr, 10));
  }
  QssPlex_Reset();
}

std::string Mebibytes(uint64_t bytes) {
  return std::to_string((bytes + kMebibyte - 1) / kMebibyte) + " MiB";
}

std::string PlexFull(uint64_t bytes) {
  return "the plex cannot hold " + std::to_string(bytes) +
         " bytes more (capacity " + Mebibytes(QssPlex_CapacityBytes()) +
         " in this build)";
}

void SetActivity(const char* what) { g_activity = what; }

const char* Activity() { return g_activity; }

bool PrepareImage(Context* c, Access access, ImageLock* lock) {
  SetActivity("opening the image");
  const FileStatus status = Probe(c->image);
  const std::string refusal = access == Access::kCreate
                                  ? CreateRefusal(*c, status)
                                  : OpenRefusal(*c, status);
  if (!refusal.empty()) {
    c->Fail(c->image, refusal);
    return false;
  }
  std::string problem;
  if (access == Access::kChange && !IsWritable(c->image, &problem)) {
    c->Fail(c->image, "cannot change it: " + problem);
    return false;
  }
  bool in_use = false;
  if (!lock->Acquire(c->image, access != Access::kRead,
                     access == Access::kCreate, c->wait_seconds, &problem,
                     &in_use)) {
    if (in_use) {
      std::fprintf(stderr,
                   "qsplex: %s: %s is in use by another qsplex (waited %d s; "
                   "--wait SECONDS waits longer)\n",
                   c->command.c_str(), c->image.c_str(), c->wait_seconds);
    } else {
      c->Fail(c->image, problem);
    }
    return false;
  }
  c->target = lock->target();
  c->lock = lock;
  // Only under the lock of an image that exists: a new image's name may
  // be another init's too.
  if (lock->holds() && access != Access::kRead) {
    RemoveStaleTemporaries(c->target);
  }
  return true;
}

void QSS_HOST_CALL RecordImageDamage(int block, int kind, void* context) {
  auto* damage = static_cast<ImageDamage*>(context);
  if (kind == QSS_PLEX_CHANGES_LOST) {
    damage->changes_lost = static_cast<uint64_t>(block);
  } else if (kind == QSS_PLEX_HEADER_DAMAGED) {
    damage->header_damaged = true;
  } else if (kind == QSS_PLEX_SLOT_DAMAGED) {
    damage->newest_slot_damaged = true;
  } else {
    damage->blocks[block] = BlockDamage{kind, 0};
  }
}

std::string OlderImageText(const ImageDamage& damage) {
  if (damage.header_damaged) {
    return "its header is damaged: read as the newest save the file holds "
           "whole, which may be one that did not finish";
  }
  if (damage.newest_slot_damaged) {
    return "the header slot of its newest save is damaged, but the file "
           "holds that save whole: read from there";
  }
  if (damage.changes_lost == 0) return "";
  const std::string saves =
      damage.changes_lost == 1
          ? "its newest save"
          : "its newest " + std::to_string(damage.changes_lost) + " saves";
  return "the file is cut short before the block table of " + saves +
         " (or that table is damaged): read as it was before " +
         (damage.changes_lost == 1 ? "that save" : "those saves") +
         ", whose changes are lost";
}

bool LoadImageFile(const Context& c, ImageDamage* damage) {
  SetActivity("loading the image");
  ResetPlex();
  const std::string store_path = StorePath(c.image);
  if (store_path.empty()) {
    c.Fail(c.image,
           "this build's plex store takes only names in the ANSI code page, "
           "and this one has no short form in it");
    return false;
  }
  int loaded;
  WatchImage(c.command, c.image);
  {
    PlexProgress progress("loading the image");
    if (damage != nullptr) *damage = ImageDamage{};
    // The command holds the image's lock, and a change only adds to the
    // file or renames a new one over it: its large blocks can be mapped,
    // so that a command pays for what it reads and writes, not the image.
    QssPlex_SetMapImages(1);
    loaded = damage != nullptr ? QssPlex_LoadSalvage(store_path.c_str(),
                                                     RecordImageDamage, damage)
                               : QssPlex_Load(store_path.c_str());
  }
  if (loaded == QSS_PLEX_LOADED) {
    if (QssPlex_BlockWords(1) >= 0 &&
        QssPlex_BlockWords(qss::kAnchorBlock) > qss::kAnchorWord) {
      return true;
    }
    c.Fail(c.image,
           "not a plex image of this host: block 2 cannot hold the root "
           "anchor");
    return false;
  }
  std::string reason;
  QssPlexImageInfo info = {};
  if (loaded == QSS_PLEX_TOO_LARGE &&
      QssPlex_ImageInfo(store_path.c_str(), &info) == QSS_PLEX_LOADED) {
    c.Fail(c.image, "holds " + Mebibytes(info.plex_bytes) +
                        ", but this build's plex holds at most " +
                        Mebibytes(QssPlex_CapacityBytes()));
  } else if (loaded == QSS_PLEX_NEWER_SAVE) {
    c.Fail(c.image,
           "the header slot of its newest save is damaged, but the file "
           "holds that save whole: not read, as the image would seem to be "
           "the save before, and a change would lose the newer one; "
           "'qsplex recover " +
               c.image + " NEW' brings it back, 'qsplex check " + c.image +
               "' tells more");
  } else if (loaded == QSS_PLEX_UNREADABLE && errno == ENOMEM) {
    c.Fail(c.image, "cannot load it: out of memory");
  } else if (loaded == QSS_PLEX_UNREADABLE && !ReadsThrough(c.image, &reason)) {
    c.Fail(c.image, "cannot read it: " + reason);
  } else if (!LooksLikeImage(c.image)) {
    c.Fail(c.image, ImageProblem(c.image));
  } else if (damage != nullptr) {
    c.Fail(c.image,
           "a damaged plex image: its header or block table is wrong (or, "
           "in an image of the first format, its one checksum), so no block "
           "in it can be placed");
  } else {
    c.Fail(c.image,
           "a damaged plex image: its header, block table or checksum is "
           "wrong; 'qsplex check " +
               c.image +
               "' tells what is damaged, 'qsplex recover' keeps "
               "what can be read");
  }
  return false;
}

bool OpenImage(const Context& c, bool change) {
  if (!LoadImageFile(c)) return false;
  SetActivity("checking the tree");
  const std::vector<qss::TreeFinding> findings =
      qss::CheckTree(AllocatedBlocks());
  if (!qss::TreeIsWalkable(findings)) {
    c.Fail(c.image, "the storage tree is damaged; 'qsplex check " + c.image +
                        "' lists what is wrong");
    return false;
  }
  if (change) QSStrg_RestoreRefCounts();
  SetActivity("working on the tree");
  return true;
}

bool IsAsLoaded(const Context& c, bool saving) {
  const std::string* changed = ChangedImage();
  if (changed == nullptr) return true;
  const std::string path = *changed;
  StopWatching();  // said once
  c.Fail(path, std::string(kChangedByAnother) +
                       (saving ? "; nothing was saved"
                               : "; what the command showed or wrote of it "
                                 "cannot be trusted") +
                       ": run the command again");
  return false;
}

namespace {

// Whether the last write failed for want of room: a full disk, a quota or
// a limit on the file's size.
bool OutOfRoom() {
#if defined(_WIN32)
  const DWORD error = GetLastError();
  if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) return true;
  return errno == ENOSPC || errno == EFBIG;
#else
  return errno == ENOSPC || errno == EFBIG || errno == EDQUOT;
#endif
}

// A QssPlex_SaveChanges or QssPlex_SaveChangesInPlace of the image,
// synced, with progress shown.
int SaveInPlace(const std::string& store_path,
                int(QSS_HOST_CALL* save)(const char*)) {
  ClearSystemError();
  PlexProgress progress("saving the image");
  QssPlex_SetSyncOnSave(1);
  const int saved = save(store_path.c_str());
  const int error = errno;
  QssPlex_SetSyncOnSave(0);
  errno = error;
  return saved;
}

}  // namespace

int SaveImage(const Context& c) {
  SetActivity("saving the image");
  QSStrg_RestoreRefCounts();
  // What was locked: an image still to be made is not, and goes into
  // place only if no other program made a file of its name meanwhile.
  const bool existed = c.lock != nullptr
                           ? c.lock->holds()
                           : Probe(c.target).kind == FileKind::kFile;
  const std::string unchanged = existed ? "; the image is unchanged" : "";
  // After a failed sync nobody knows what reached the disk.
  const std::string unsure =
      "; the change may or may not have reached the disk: run 'qsplex "
      "check " +
      c.image + "'";
  const std::string target_store_path = existed ? StorePath(c.target) : "";
  if (!IsAsLoaded(c, true)) return kExitFailure;
  auto fail_in_place = [&](int saved) {
    return c.Fail(c.image,
                  "cannot write the image: " + SystemReason() +
                      (saved == QSS_PLEX_SAVE_UNSURE ? unsure : unchanged));
  };
  if (!target_store_path.empty()) {
    const int saved = SaveInPlace(target_store_path, QssPlex_SaveChanges);
    // The save changed the file itself.
    if (saved == 0 || saved == QSS_PLEX_SAVE_UNSURE) StopWatching();
    if (saved == 0) return 0;
    if (saved != QSS_PLEX_SAVE_WHOLE) return fail_in_place(saved);
  }
  TemporaryFile temporary(c.target);
  std::string problem;
  if (!temporary.Create(&problem)) {
    return c.Fail(c.image, "cannot write the image: cannot create " +
                               temporary.path() + ": " + problem + unchanged);
  }
  // Locked at once, so that no other command takes it for one a killed
  // run left.
  if (c.lock != nullptr && !c.lock->HandOver(temporary.path(), &problem)) {
    return c.Fail(c.image, "cannot write the image: " + problem + unchanged);
  }
  const std::string store_path = StorePath(temporary.path());
  if (store_path.empty()) {
    return c.Fail(c.image,
                  "cannot write the image: this build's plex store takes "
                  "only names in the ANSI code page, and its folder's has "
                  "no short form in it" +
                      unchanged);
  }
  ClearSystemError();
  int saved;
  {
    PlexProgress progress("saving the image");
    saved = QssPlex_Save(store_path.c_str());
  }
  if (saved != 0) {
    const bool no_room = OutOfRoom();
    const std::string reason = SystemReason();
    // A full disk has no room for the image whole (the failed copy is
    // gone again), but may have room to add the change to it in place:
    // removing what fills the disk must work then.
    if (!target_store_path.empty() && no_room) {
      const int in_place =
          SaveInPlace(target_store_path, QssPlex_SaveChangesInPlace);
      if (in_place == 0 || in_place == QSS_PLEX_SAVE_UNSURE) StopWatching();
      if (in_place == 0) return 0;
      if (in_place != QSS_PLEX_SAVE_WHOLE) return fail_in_place(in_place);
    }
    return c.Fail(c.image, "cannot write the image: " + reason + unchanged);
  }
  // What was written came partly from pages mapped from the image.
  if (!IsAsLoaded(c, true)) return kExitFailure;
  StopWatching();
  if (!temporary.Replace(&problem, existed)) {
    return c.Fail(c.image, "cannot write the image: " + problem +
                               (temporary.renamed() ? unsure : unchanged));
  }
  return 0;
}

bool ParsePath(const Context& c, const std::string& path,
               std::vector<WideString>* names) {
  std::string problem;
  if (!SplitPath(path, names, &problem)) {
    c.Fail(ShownPath(path), problem);
    return false;
  }
  for (const WideString& name : *names) {
    if (!NameFits(c, path, name)) return false;
  }
  return true;
}

bool NameFits(const Context& c, const std::string& subject,
              const WideString& name) {
  uint32_t character = 0;
  const size_t place = FirstCharacterOutsideCodePage(name, &character);
  if (place == 0) return true;
  WideString shown;
  if (character >= 0x10000) {
    shown = {static_cast<OLECHAR>(0xD800 + ((character - 0x10000) >> 10)),
             static_cast<OLECHAR>(0xDC00 + (character & 0x3FF))};
  } else {
    shown = {static_cast<OLECHAR>(character)};
  }
  c.Fail(subject, "character " + std::to_string(place) + " of the name '" +
                      ShownName(name.c_str()) + "', '" +
                      WideToUtf8(shown.c_str()) + "' (" +
                      CodePointName(character) + "), is not in code page " +
                      std::to_string(AnsiCodePage()) +
                      ", in which element names are kept");
  return false;
}

void WarnUnnamed(const Context& c, const std::vector<TreeNode>& nodes,
                 const std::string& top_path, const char* what) {
  for (size_t i = 1; i < nodes.size(); ++i) {
    if (!nodes[i].name.empty()) continue;
    std::fprintf(stderr, "qsplex: %s: %s: has no name, so it is not %s\n",
                 c.command.c_str(),
                 NodePath(nodes, static_cast<int>(i), top_path).c_str(), what);
  }
}

bool NextElement(IEnumSTATSTG* elements, STATSTG* stat) {
  *stat = STATSTG{};
  return elements->Next(1, stat, nullptr) == S_OK;
}

bool FindChild(IStorage* storage, const OLECHAR* name, Element* out) {
  Ref<IEnumSTATSTG> elements;
  if (FAILED(storage->EnumElements(0, nullptr, 0, elements.Out()))) {
    return false;
  }
  STATSTG stat = {};
  bool found = false;
  while (!found && NextElement(elements.get(), &stat)) {
    if (stat.pwcsName != nullptr && SameElementName(stat.pwcsName, name)) {
      found = true;
      out->type = stat.type;
      out->size = stat.cbSize.QuadPart;
      out->mode = stat.grfMode;
      out->clsid = stat.clsid;
    }
    CoTaskMemFree(stat.pwcsName);
  }
  return found;
}

bool OpenStorageAt(const Context& c, const std::vector<WideString>& names,
                   size_t count, DWORD mode, bool create, Ref<IStorage>* out) {
  Ref<IStorage> storage(GetRootIStorage());
  if (!storage) {
    c.Fail("/", E_OUTOFMEMORY);
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    Ref<IStorage> child;
    const OLECHAR* name = names[i].c_str();
    HRESULT hr =
        storage->OpenStorage(name, nullptr, mode, nullptr, 0, child.Out());
    if (hr == STG_E_FILENOTFOUND && create) {
      hr = storage->CreateStorage(name, kReadWrite, 0, 0, child.Out());
    }
    if (FAILED(hr)) {
      Element found;
      if (FindChild(storage.get(), name, &found) &&
          found.type == STGTY_STREAM) {
        c.Fail(JoinPath(names, i + 1), "is a stream, not a storage");
      } else if (hr == STG_E_FILENOTFOUND &&
                 c.accepted.find('p') != std::string::npos) {
        c.Fail(JoinPath(names, i + 1),
               DescribeResult(hr) + "; -p makes the missing storages");
      } else {
        c.Fail(JoinPath(names, i + 1), hr);
      }
      return false;
    }
    storage = std::move(child);
  }
  *out = std::move(storage);
  return true;
}

bool Locate(const Context& c, const std::string& path, DWORD parent_mode,
            bool create, Element* out) {
  if (!ParsePath(c, path, &out->names)) return false;
  if (out->is_root()) {
    Ref<IStorage> root(GetRootIStorage());
    STATSTG stat = {};
    const HRESULT hr =
        root ? root->Stat(&stat, STATFLAG_NONAME) : E_OUTOFMEMORY;
    if (FAILED(hr)) {
      c.Fail("/", hr);
      return false;
    }
    out->type = STGTY_STORAGE;
    out->mode = stat.grfMode;
    out->clsid = stat.clsid;
    return true;
  }
  if (!OpenStorageAt(c, out->names, out->names.size() - 1, parent_mode, create,
                     &out->parent)) {
    return false;
  }
  FindChild(out->parent.get(), out->name(), out);
  return true;
}

bool LocateExisting(const Context& c, const std::string& path,
                    DWORD parent_mode, Element* out) {
  if (!Locate(c, path, parent_mode, false, out)) return false;
  if (out->type != 0) return true;
  c.Fail(out->path(), STG_E_FILENOTFOUND);
  return false;
}

HRESULT OpenAsStorage(const Element& element, DWORD mode, IStorage** out) {
  *out = nullptr;
  if (element.is_root()) {
    *out = GetRootIStorage();
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  return element.parent->OpenStorage(element.name(), nullptr, mode, nullptr, 0,
                                     out);
}

}  // namespace qsplex
