// Compound files in the native build, through libgsf, behind the standard
// interfaces: the two calls stand where the Win32 build calls the platform
// (StgCreateDocfile, StgOpenStorage), so that export and import copy with
// IStorage::CopyTo on both builds.
#ifndef QSSTORAGE_TOOLS_QSPLEX_COMPOUND_GSF_STORAGE_H_
#define QSSTORAGE_TOOLS_QSPLEX_COMPOUND_GSF_STORAGE_H_

#include <string>

#include "platform/com.h"

namespace qsplex {

// Starts the compound file `path_utf8` and hands out its root storage
// (reference count 1); `*out` is null after a failure.
//
// The storages only grow: CreateStorage and CreateStream (mode and
// STGM_CREATE are ignored), SetClass, Stat, Commit, and OpenStorage of a
// storage made earlier in this file (to set its class id late). Names follow
// the format: 1 to 31 UTF-16 units without / \ : ! (else STG_E_INVALIDNAME),
// unique among siblings once upper-cased (else STG_E_FILEALREADYEXISTS).
// A stream's Write appends; Stat gives the bytes written so far, and Seek
// only to the end. One stream is open at a time: CreateStream while another
// stream of the file is open fails with STG_E_ACCESSDENIED, since its bytes
// go to the file as they come. Everything else answers STG_E_ACCESSDENIED or
// E_NOTIMPL.
//
// The file appears only at the root's Commit(STGC_DEFAULT): it closes the
// open stream and writes the directory into PATH.tmp, balances the
// directory's sibling trees (BalanceDirectory) and renames PATH.tmp to PATH,
// replacing any earlier file whole.
// Commit returns a write failure as STG_E_MEDIUMFULL, and every object of
// the file answers STG_E_REVERTED after it. Releasing the root storage
// without a successful Commit leaves no file (nor PATH.tmp) and an earlier
// one as it was.
HRESULT CreateCompoundFile(const std::string& path_utf8, IStorage** out);

// Opens the compound file `path_utf8` read-only and hands out its root
// storage (reference count 1); `*out` is null after a failure:
// STG_E_FILENOTFOUND, STG_E_ACCESSDENIED, STG_E_INVALIDHEADER (not a
// compound file) or STG_E_DOCFILECORRUPT (libgsf cannot read its tables).
//
// EnumElements, OpenStorage and OpenStream (read modes only; names found
// exactly, or else as the format compares them), Stat (with class ids), and
// streams that Read, Seek and Stat. CopyTo(0, nullptr, nullptr, dest) copies
// the whole tree into any storage: names, bytes, and every storage's class
// id that is not null (the destination's own included), streaming bytes in
// pieces of 64 KiB, depth-first without recursion. It creates with
// STGM_READWRITE | STGM_SHARE_EXCLUSIVE and no STGM_CREATE; a destination
// failure ends the copy with its code, what was copied staying. CopyTo with
// exclusions answers E_NOTIMPL.
HRESULT OpenCompoundFile(const std::string& path_utf8, IStorage** out);

// libgsf is loaded when first needed, not at start-up. Loads it, once per
// process; false with what is wrong and what to do in `problem`. The two
// calls above load it too, and answer 0x8007007E (ERROR_MOD_NOT_FOUND)
// when it cannot be loaded.
bool LoadCompoundFiles(std::string* problem);

// The libgsf of the build and the library it loads, for --version:
// "libgsf 1.14.50 (libgsf-1.so.114, loaded by export and import)".
std::string CompoundFileLibrary();

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_COMPOUND_GSF_STORAGE_H_
