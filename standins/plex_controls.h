// Controls of the plex stand-in (mxdms, rtmalloc) for tests and tools. The
// library itself never calls these; they are exported from mxdms alongside the
// DMS calls they steer. The stand-in is single-threaded, like the host's store.
#ifndef QSSTORAGE_STANDINS_PLEX_CONTROLS_H_
#define QSSTORAGE_STANDINS_PLEX_CONTROLS_H_

#include "records/dms.h"

#ifdef __cplusplus
extern "C" {
#endif

// A fresh plex holding only the host's blocks 1 (16 words) and 2 (64 words),
// all zero; the next new id is 3. Closes the simulation bead, zeroes the
// counts and cancels a pending injected failure. Keeps the options (strict,
// move-on-realloc, poison) and applies a pending reservation size.
QSS_MXDMS_API void QSS_HOST_CALL QssPlex_Reset(void);
// Size of the address range reserved for the plex, applied at the next Reset.
// 0 selects the default: natively 2 GiB - 64 KiB, the most a Win32 build
// can have, so that every image a Win32 build saves opens natively; in the
// Win32 build the largest range the process can reserve, at most that
// (under Wine about 1 GiB for qsplex, 1.9 GiB when it is
// large-address-aware). Other
// values are rounded up to 64 KiB and clamped to [64 KiB, 8 GiB - 64 KiB]
// (2 GiB - 64 KiB in a 32-bit process); a size the system refuses is halved
// until it fits (down to 16 MiB).
QSS_MXDMS_API void QSS_HOST_CALL
QssPlex_SetReservationBytes(unsigned long long bytes);
// Bytes reserved for the plex now: the most its blocks can ever occupy.
QSS_MXDMS_API unsigned long long QSS_HOST_CALL QssPlex_CapacityBytes(void);
// Bytes of that range held by live blocks, with the slack each block carries
// for growth; what is not held is free, possibly in several pieces.
QSS_MXDMS_API unsigned long long QSS_HOST_CALL QssPlex_UsedBytes(void);
// The largest word count DMS_RALOCI can give the block now, or for blockId 0
// the largest DMS_ALLOCI can; -1 for an id that is not allocated. An answer
// for this moment: any other allocation changes it.
QSS_MXDMS_API long long QSS_HOST_CALL QssPlex_GrowableWords(int blockId);

// Number of allocated blocks, the host's own included, and the sum of their
// word counts.
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_LiveBlocks(void);
QSS_MXDMS_API long long QSS_HOST_CALL QssPlex_LiveWords(void);
// Never a contract breach, whatever the id.
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_IsLive(int blockId);
// Word count of the block, or -1 if it is not allocated.
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_BlockWords(int blockId);
// The smallest live id greater than `after` (0 gives the first), or 0 when
// there is none.
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_NextBlockId(int after);

// Image files. QssPlex_Save writes every live block (id, word count,
// contents) and the id range; QssPlex_Load replaces the plex with a saved one:
// same ids, word counts and contents; ids that were not live come back as
// free ids, lowest reused first; plex indexes are not kept (blocks are laid
// out afresh). The bead, options and counts are left as they are. Load reads
// the current format and the two before it; Save writes the current one
// (docs/image-format.md describes them, and how saves and loads go). Neither
// holds a copy of the image in memory: data moves between the file and the
// plex in pieces.
//
// Load, LoadSalvage and ImageInfo answer one of these; on any answer but 0
// the plex is as it was, unless the file could not be read, or changed, part
// way through loading into a plex holding more than after QssPlex_Reset:
// then it is as after QssPlex_Reset. A 1 keeps errno (ENOMEM when the system
// will not give the memory for the plex's pages).
// QSS_PLEX_NOT_AN_IMAGE and QSS_PLEX_NEWER_FORMAT come only from
// QssPlex_LoadImage; the other loads answer QSS_PLEX_DAMAGED for both.
enum QssPlexLoadResult {
  QSS_PLEX_LOADED = 0,
  QSS_PLEX_UNREADABLE = 1,  // the file cannot be opened or read
  QSS_PLEX_DAMAGED = 2,     // a damaged image: a checksum, the length, the
                            // header or the block table is wrong
  QSS_PLEX_TOO_LARGE = 3,   // a sound image needing more than this plex's
                            // reservation (QssPlex_CapacityBytes)
  // The header slot of the image's newest save is damaged, while the file
  // holds that save whole past the older save the other slot names: Load
  // refuses rather than roll the image back to the older save (a change
  // would then cut the newer one off). LoadSalvage loads the newer save.
  QSS_PLEX_NEWER_SAVE = 4,
  // The file does not start as an image does: a file of another kind.
  QSS_PLEX_NOT_AN_IMAGE = 5,
  // An image of a format version newer than this build reads
  // (QssPlexLoadOutcome names both).
  QSS_PLEX_NEWER_FORMAT = 6,
};
// 0 on success; otherwise 1 with errno kept, and no file left at `path`.
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_Save(const char* path);
// QssPlex_SaveChanges answers QSS_PLEX_SAVE_WHOLE when it wrote nothing:
// save whole. QSS_PLEX_SAVE_UNSURE (errno kept) when writing or syncing
// the header slot failed after the slot was handed to the system: the file
// holds the old image or the new one, and which one reached the device
// cannot be known.
enum { QSS_PLEX_SAVE_WHOLE = 2, QSS_PLEX_SAVE_UNSURE = 3 };
// Saves the plex into the image at `path` in place, writing only the blocks
// that differ (by id, size or contents) from the image last loaded or saved
// by this plex (docs/image-format.md, "A change added in place"): a save
// cut short at any moment leaves the old image. Answers 0 on success; 1 with errno kept and the file holding the old
// image; or QSS_PLEX_SAVE_WHOLE, with nothing written, when `path` does not
// hold that image (another image, another format, a missing file), when
// the file would hold more dead bytes than live ones, or when the image
// holds less than 1 MiB: then write the image whole (QssPlex_Save to a new
// file, renamed over). Syncs as Save does, at both steps.
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_SaveChanges(const char* path);
// QssPlex_SaveChanges without the rules that call for a whole save (dead
// bytes, a small image): for when a whole save cannot be written, as on a
// full disk, where this needs room only for a head, a block table and the
// blocks that changed. QSS_PLEX_SAVE_WHOLE only when `path` does not hold
// the image last loaded or saved, or its generations are used up.
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_SaveChangesInPlace(const char* path);
// A QssPlexLoadResult. A load into a plex holding more than after
// QssPlex_Reset reads the file twice, verifying it before anything changes.
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_Load(const char* path);
// With this on (default off), Load maps the large blocks of a current-format
// image into the plex copy-on-write instead of reading them (on Windows,
// where a view of a file cannot go inside the plex's reserved range, their
// pages are left without memory and read from the file a piece at a time
// the first time something touches them): a block costs memory only for
// the pages read or written. A plain load into a fresh plex (after Reset) verifies only the
// block table and the blocks it reads, leaving the mapped ones to
// QssPlex_VerifyBlock: whoever reads a mapped block's words verifies it
// first, and a change verifies those it writes, resizes or frees before
// the save sums them. Every other load verifies them by reading them
// through before they are mapped, LoadSalvage included. The file must then stay as it is where the plex maps it until
// the next Load or Reset: SaveChanges keeps it so, and Save of that file
// first gives the mapped pages memory of their own (on Windows every whole
// Save does, and closes the file, which could not be replaced while open);
// replacing the file by a rename is safe, changing it in place otherwise
// is not.
QSS_MXDMS_API void QSS_HOST_CALL QssPlex_SetMapImages(int on);
// Verifies block `block` of the loaded image against the image's checksum
// for it, once: QSS_PLEX_LOADED when its bytes are the image's (or it was
// verified before, or was resized since the load, which verified it then,
// or holds no image bytes: a block the load read, or allocated since),
// QSS_PLEX_DAMAGED when they are not. A block found damaged stays damaged:
// a later save never stamps its bytes with a fresh checksum. Only blocks a
// plain load mapped without verifying are read here (from the file loaded,
// kept open for them); QSS_PLEX_UNREADABLE, errno kept, when that file
// cannot be read, leaving the block unverified.
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_VerifyBlock(int block);

// What an image holds and what it needs here, read without loading it.
struct QssPlexImageInfo {
  unsigned int version;           // of the file format
  int blocks;                     // live blocks
  long long words;                // their word counts summed
  unsigned long long file_bytes;  // the file's length
  unsigned long long plex_bytes;  // reservation it needs in this build
};
// A QssPlexLoadResult, never QSS_PLEX_TOO_LARGE (compare plex_bytes with
// QssPlex_CapacityBytes). Reads the header and block table of a current
// image; a first-format image is read whole, as its one checksum covers it.
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_ImageInfo(const char* path,
                                                  struct QssPlexImageInfo* out);

// Damage LoadSalvage reports, per block.
enum QssPlexDamage {
  QSS_PLEX_BLOCK_CHECKSUM = 1,  // loaded as read; its checksum is wrong
  QSS_PLEX_BLOCK_CUT = 2,       // the file ends inside or before the block:
                                // loaded with the bytes there, the rest zero
  // Reported once, before any block, with the number of saves lost in place
  // of a block id: the file ends before the newest image's block table, or
  // that table is damaged, so the image loaded is the newest earlier one the
  // file still holds, as that many saves ago left it.
  QSS_PLEX_CHANGES_LOST = 3,
  // Reported once, before any block, with block id 0: neither header slot is
  // sound, so the image loaded is the newest one the file's record of its
  // last whole save and of the changes since leads to, which may be a save
  // that did not finish.
  QSS_PLEX_HEADER_DAMAGED = 4,
  // Reported once, before any block, with block id 0: the header slot of
  // the newest save is damaged, and the image loaded is that save, which
  // the file holds whole past the older one the other slot names (Load
  // answers QSS_PLEX_NEWER_SAVE for such a file).
  QSS_PLEX_SLOT_DAMAGED = 5,
  // Only in a QssPlexLoadOutcome: the block table is wrong (its checksum or
  // an entry), or a first-format image's one checksum, which places no
  // damage in a block.
  QSS_PLEX_TABLE_DAMAGED = 6,
  QSS_PLEX_IMAGE_CHECKSUM = 7,
};
typedef void(QSS_HOST_CALL* QssPlexDamageReport)(int blockId, int damage,
                                                 void* context);
// Like Load, but loads an image in one of the checksummed formats whose
// block contents are damaged or cut short, calling `report`
// (when not null) once per damaged block in increasing id order. A file
// cut short before its newest changes' block table loads as an earlier
// save left it (QSS_PLEX_CHANGES_LOST). Answers QSS_PLEX_DAMAGED only when
// no image the file holds has a usable header and block table (and for a
// damaged first-format image, whose damage cannot be placed in a block).
// Maps only sound blocks, and leaves no image for SaveChanges to add to:
// the file holds damaged blocks, so what was loaded is saved whole.
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_LoadSalvage(const char* path,
                                                    QssPlexDamageReport report,
                                                    void* context);
// Of a block the last LoadSalvage reported as QSS_PLEX_BLOCK_CUT, the bytes
// at its start that the file holds (0 when the file ends before it); -1 for
// any other id, and after any other load or Reset.
QSS_MXDMS_API long long QSS_HOST_CALL QssPlex_CutBlockBytes(int blockId);

// What QssPlex_LoadImage found, beyond its answer.
struct QssPlexLoadOutcome {
  // The format version the file names (0 for a file of another kind), and
  // the oldest and newest this build reads.
  unsigned int version;
  unsigned int oldest_version;
  unsigned int newest_version;
  // With QSS_PLEX_DAMAGED, where: a QssPlexDamage, with the block's id for
  // QSS_PLEX_BLOCK_CHECKSUM and QSS_PLEX_BLOCK_CUT (0 when the file ends
  // before the image does, short of any one block).
  int damage;
  int damaged_block;
  // With QSS_PLEX_TOO_LARGE, the reservation the image needs in this build.
  unsigned long long plex_bytes;
};
// QssPlex_Load (`salvage` 0) or QssPlex_LoadSalvage (1) answering every
// QssPlexLoadResult, with what it found in `*outcome` (when not null).
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_LoadImage(
    const char* path, int salvage, QssPlexDamageReport report, void* context,
    struct QssPlexLoadOutcome* outcome);

// Called by Save, SaveChanges, Load, LoadSalvage and ImageInfo after every
// piece they move (at most a few MiB) with the bytes done so far and the
// total, both counting the file's bytes (a load that reads twice counts both
// passes; SaveChanges counts the live blocks' bytes, which it reads or
// writes). Null (the default) turns it off.
typedef void(QSS_HOST_CALL* QssPlexProgress)(unsigned long long done,
                                             unsigned long long total,
                                             void* context);
QSS_MXDMS_API void QSS_HOST_CALL QssPlex_SetProgress(QssPlexProgress progress,
                                                     void* context);
// Save and SaveChanges flush the file's data to the device before they
// return (fsync; FlushFileBuffers on Windows). Default off.
QSS_MXDMS_API void QSS_HOST_CALL QssPlex_SetSyncOnSave(int on);

// Strict mode (default on): a contract breach prints one line naming the call
// and the ids to stderr and aborts. Off: the call fails quietly instead (a
// non-zero return, or index 0 from DMS_LOCATI) where it cannot proceed, and
// otherwise proceeds (allocation outside the bead, realloc or free inside it).
QSS_MXDMS_API void QSS_HOST_CALL QssPlex_SetStrict(int on);
// Every DMS_RALOCI, shrinking included, moves the block to a fresh place.
QSS_MXDMS_API void QSS_HOST_CALL QssPlex_SetMoveOnRealloc(int on);
// Freed words, and the old place of a moved block, are filled with
// 0xDEADBEEF (default on).
QSS_MXDMS_API void QSS_HOST_CALL QssPlex_SetPoisonFreed(int on);
// The (n+1)-th following DMS_ALLOCI or growing DMS_RALOCI fails, once; -1
// (the default) cancels.
QSS_MXDMS_API void QSS_HOST_CALL QssPlex_FailAllocAfter(int n);
QSS_MXDMS_API int QSS_HOST_CALL QssPlex_InBead(void);

// Successful calls of each kind; `moves` counts reallocs that changed a
// block's index and `words_moved` the words they copied.
struct QssPlexCounts {
  long long allocs, reallocs, frees, moves, words_moved;
};
QSS_MXDMS_API void QSS_HOST_CALL QssPlex_GetCounts(struct QssPlexCounts* out);
QSS_MXDMS_API void QSS_HOST_CALL QssPlex_ResetCounts(void);

#ifdef __cplusplus
}
#endif

#endif  // QSSTORAGE_STANDINS_PLEX_CONTROLS_H_
