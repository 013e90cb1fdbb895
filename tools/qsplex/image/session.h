// What every qsplex command shares: its arguments, error reporting, the
// image it works on and the way to its elements through the library.
#ifndef QSSTORAGE_TOOLS_QSPLEX_IMAGE_SESSION_H_
#define QSSTORAGE_TOOLS_QSPLEX_IMAGE_SESSION_H_

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "check/tree_check.h"
#include "platform/com.h"
#include "records/dms.h"
#include "support/com_ref.h"
#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/image/image_file.h"
#include "tools/qsplex/output/output.h"
#include "tools/qsplex/output/text.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {

constexpr DWORD kRead = STGM_READ | STGM_SHARE_EXCLUSIVE;            // 0x10
constexpr DWORD kReadWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;  // 0x12

using qss_support::Ref;

// An element found by path: the root, or a child of `parent`.
struct Element {
  std::vector<WideString> names;  // the path, root first
  Ref<IStorage> parent;           // null for the root
  DWORD type = 0;                 // STGTY_STORAGE or STGTY_STREAM; 0: none
  uint64_t size = 0;
  DWORD mode = 0;
  CLSID clsid = {};

  bool is_root() const { return names.empty(); }
  const OLECHAR* name() const { return names.back().c_str(); }
  std::string path() const { return JoinPath(names, names.size()); }
};

// Prints the finished document `json` on standard output and returns
// `status`, or prints why it could not and returns kExitFailure.
int PrintJson(const Context& c, const JsonWriter& json, int status = 0);

// What the command is doing, for a failure that can strike anywhere (out
// of memory): "loading the image". A string that outlives the call.
void SetActivity(const char* what);
const char* Activity();

// Empties the plex for the command. The environment variable
// QSPLEX_PLEX_BYTES, when set, gives the plex's reservation in bytes
// instead of the build's default: a testing aid, so that a small plex fills
// up with small data.
void ResetPlex();
// "N MiB", rounded up.
std::string Mebibytes(uint64_t bytes);
// Why `bytes` more cannot be stored: "the plex cannot hold N bytes more
// (capacity C in this build)".
std::string PlexFull(uint64_t bytes);

// Makes the command's image ready for `access`: refuses a missing image
// (but for kCreate; naming an operand that is an image, when the two look
// swapped), a folder, and a read-only image for a change; locks it in
// `lock` for the command's run, shared for kRead, and before a change
// removes the temporary files killed runs left. Sets `c->target`. Prints
// the failure.
bool PrepareImage(Context* c, Access access, ImageLock* lock);
// One damaged block, as the store reports it on loading.
struct BlockDamage {
  int kind;  // QSS_PLEX_BLOCK_CHECKSUM or QSS_PLEX_BLOCK_CUT
  // Of a cut block, the bytes the file still holds at its start.
  uint64_t bytes_read = 0;
};
using DamageMap = std::map<int, BlockDamage>;
// What a salvaging load found wrong with an image.
struct ImageDamage {
  DamageMap blocks;
  // Saves whose changes the file no longer holds: it is cut short before
  // their block table, or that table is damaged, so the image loaded is
  // the one as that many saves ago left it.
  uint64_t changes_lost = 0;
  // Neither header slot is sound: the image loaded is the newest the file
  // leads to, which may be a save that did not finish.
  bool header_damaged = false;
  // The header slot of the newest save is damaged: the image loaded is
  // that save, which the file holds whole.
  bool newest_slot_damaged = false;
  // Damage to the image as a whole rather than to blocks.
  bool older_image() const {
    return changes_lost > 0 || header_damaged || newest_slot_damaged;
  }
  // Saves whose changes may be lost: the image loaded is not known to be
  // the newest.
  bool saves_lost() const { return changes_lost > 0 || header_damaged; }
  bool empty() const { return blocks.empty() && !older_image(); }
};
// A QssPlexDamageReport adding to the ImageDamage `context`.
void QSS_HOST_CALL RecordImageDamage(int block, int kind, void* context);
// What `older_image` means for this image ("the file is cut short before
// the block table of its newest save ..."), or "".
std::string OlderImageText(const ImageDamage& damage);

// Loads the image into the plex, telling a file it cannot read from one of
// another kind, a damaged image and one larger than this build's plex.
// With `damage`, also an image whose blocks are damaged or cut short, or
// whose newest changes are, as long as a header and block table say where
// each block of an image it holds is: the damage is listed there. Prints
// the failure.
bool LoadImageFile(const Context& c, ImageDamage* damage = nullptr);
// Loads the image for a command, refusing a missing or damaged file and a
// tree that `check` finds unsafe to walk. With `change`, closes every node
// first (QSStrg_RestoreRefCounts): open modes saved by earlier runs or by
// the host grant nothing to this run. Prints the failure.
bool OpenImage(const Context& c, bool change);
// Whether the image loaded is still as it was before loading; otherwise
// prints that another program changed it (and, when `saving`, that the
// command saves nothing). See image_watch.h.
bool IsAsLoaded(const Context& c, bool saving);
// Closes every node, so that the saved image grants no access rights, and
// saves the image durably: in place where only what changed is written
// (QssPlex_SaveChanges), else whole by replacing the file (see
// image_file.h), or in place after all when there is no room for the
// whole image. Returns the exit code; a failure says whether the image is
// unchanged or whether the change may or may not have reached the disk.
int SaveImage(const Context& c);
// The store's allocated blocks, for the checker.
std::vector<qss::AllocatedBlock> AllocatedBlocks();

// Splits `path` into element names, refusing one that is not UTF-8 or
// that the ANSI code page the library keeps names in cannot hold exactly.
// Prints the failure.
bool ParsePath(const Context& c, const std::string& path,
               std::vector<WideString>* names);
// Whether the ANSI code page holds `name` exactly; prints the failure about
// `subject` when it does not.
bool NameFits(const Context& c, const std::string& subject,
              const WideString& name);
// The elements of a loaded subtree that have no name: the library's copies
// pass them by. Prints one line for each.
void WarnUnnamed(const Context& c, const std::vector<TreeNode>& nodes,
                 const std::string& top_path, const char* what);

// Opens the storage at the first `count` names of `names` with `mode`,
// creating missing ones when `create`. Prints the failure.
bool OpenStorageAt(const Context& c, const std::vector<WideString>& names,
                   size_t count, DWORD mode, bool create, Ref<IStorage>* out);
// Finds `path`: opens its parent with `parent_mode` (creating the storages
// on the way when `create`) and looks the last name up; a missing last
// element leaves type 0 and is not an error. Prints the failure.
bool Locate(const Context& c, const std::string& path, DWORD parent_mode,
            bool create, Element* out);
// Locate for an element that must exist: a missing one is a failure,
// printed as STG_E_FILENOTFOUND.
bool LocateExisting(const Context& c, const std::string& path,
                    DWORD parent_mode, Element* out);
// The next element's record, every member not filled by the enumerator
// zero (a stream's Stat leaves its class id and times as they were). False
// at the end.
bool NextElement(IEnumSTATSTG* elements, STATSTG* stat);
// Looks `name` up among the elements of `storage`, as the library compares
// names. False when there is none.
bool FindChild(IStorage* storage, const OLECHAR* name, Element* out);
// Opens `element` as a storage: the root, or a child of its parent.
HRESULT OpenAsStorage(const Element& element, DWORD mode, IStorage** out);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_IMAGE_SESSION_H_
