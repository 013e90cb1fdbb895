/* qsstorage: COM structured storage inside the host's plex.
 *
 * The library hands out IStorage, IStream and IEnumSTATSTG objects over a
 * tree of storages and streams that lives entirely in the host's plex, hung
 * from word 52 of block 2. It writes no file and keeps no state of its own:
 * the tree is saved and restored with the plex. docs/embedding.md shows a
 * complete program.
 *
 * LINKING
 *   Windows: qsstorage.dll, 32-bit, with the import libraries
 *   libqsstorage.dll.a (MinGW) and qsstorage.lib (Visual Studio). The DLL
 *   needs at run time the host's mxdms.dll, rtmalloc.dll and vovizu.dll and
 *   system DLLs only. Callers link ole32 (CoTaskMemFree) and uuid.
 *   Elsewhere: libqsstorage.so with libqsscom.so, which provides the COM
 *   definitions of "platform/com.h", the interface ids and CoTaskMemFree;
 *   at run time libmxdms.so, librtmalloc.so and libvovizu.so stand for the
 *   host's.
 *   With CMake: find_package(qsstorage) and link qsstorage::qsstorage; with
 *   pkg-config: the package qsstorage.
 *
 * C AND C++
 *   The header serves C (C89 on) and C++ (C++11 on) on both targets. C
 *   calls a method through the object's table, the object first:
 *   root->lpVtbl->Release(root). Names are UTF-16: OLESTR("docs") in C++;
 *   in C on Windows too, but natively only from C11 (u"" literals), so
 *   portable C spells a name as an array: {'d', 'o', 'c', 's', 0}.
 *
 * THREADS
 *   None, and no locks. Every call into this library, into any object it
 *   handed out, and the host's own calls into its plex must come one at a
 *   time; any thread may make them. Reference counts are not atomic, and
 *   names pass through static conversion buffers.
 *
 * OWNERSHIP
 *   Every interface pointer handed out carries one reference that the caller
 *   owns and releases. Objects hold only block ids: releasing one never
 *   changes the plex, and an element lives until it is destroyed, whether or
 *   not any object is open on it. An object holds no reference to the
 *   storage it came from, which may be released first.
 *   Names in STATSTG records (Stat, IEnumSTATSTG::Next) come from
 *   CoTaskMemAlloc and belong to the caller, who frees them with
 *   CoTaskMemFree.
 *
 * RESULTS
 *   Out pointers are null after every failure. Besides S_OK and S_FALSE the
 *   methods answer:
 *     E_FAIL, STG_E_REVERTED  the object's element is gone (see DESTROYED
 *                             ELEMENTS)
 *     STG_E_ACCESSDENIED      the open mode lacks the right (see OPEN MODES)
 *     STG_E_INVALIDFLAG       a refused STGM flag
 *     STG_E_INVALIDPOINTER    a null pointer where one is needed; a
 *                             non-null pstgPriority or snbExclude in
 *                             OpenStorage
 *     STG_E_INVALIDNAME       a name longer than the limit (see NAMES)
 *     STG_E_FILENOTFOUND, STG_E_FILEALREADYEXISTS
 *     STG_E_INVALIDFUNCTION   a Seek to a negative or unrepresentable
 *                             position, an unknown origin; SetSize at or
 *                             past 2^32; a move that would lose an
 *                             element without a name (see COPY AND MOVE)
 *     STG_E_MEDIUMFULL        a stream cannot grow; IStream::CopyTo's
 *                             destination failed a Write or took less
 *     E_OUTOFMEMORY           the heap or the host's store is full
 *     E_NOINTERFACE, E_POINTER  QueryInterface
 *     E_NOTIMPL               see FIXED RESULTS
 *   IStorage::CopyTo and MoveElementTo also pass on their destination's
 *   failure codes. Every method that reads the tree checks first that its
 *   element is still there. RESULTS BY METHOD gives each method's codes.
 *
 * RESULTS BY METHOD
 *   The codes each method can answer besides S_OK, in the order the method
 *   checks for them: when several causes hold, the first listed is the
 *   answer. "Gone" means the object's element was destroyed (see DESTROYED
 *   ELEMENTS); "full" means the heap or the host's store cannot give the
 *   memory; "ours" means a storage this library handed out.
 *
 *   Every interface
 *   QueryInterface  E_POINTER              ppvObject null
 *                   E_NOINTERFACE          riid null (from C), or not
 *                                          IID_IUnknown or the object's
 *                                          own (streams: IID_IStream and
 *                                          IID_ISequentialStream)
 *   AddRef, Release                        the new count; never fail
 *
 *   IStorage
 *   CreateStream    E_FAIL                 gone
 *                   STG_E_ACCESSDENIED     the storage not open for writing
 *                   STG_E_INVALIDFLAG      grfMode without
 *                                          STGM_SHARE_EXCLUSIVE's bit, or
 *                                          with STGM_TRANSACTED,
 *                                          STGM_CONVERT or
 *                                          STGM_DELETEONRELEASE
 *                   STG_E_INVALIDPOINTER   ppstm null, then pwcsName null
 *                   STG_E_INVALIDNAME      pwcsName over 1023 bytes
 *                   STG_E_FILEALREADYEXISTS  any element of that name
 *                   E_OUTOFMEMORY          full
 *   CreateStorage   as CreateStream, except STG_E_FILEALREADYEXISTS: a
 *                   stream of that name, or a storage without STGM_CREATE.
 *                   With STGM_CREATE the old storage is destroyed first:
 *                   after E_OUTOFMEMORY the name is free.
 *   OpenStream      E_FAIL                 gone
 *                   STG_E_ACCESSDENIED     writing asked (STGM_WRITE or
 *                                          STGM_READWRITE) of a storage
 *                                          not open for writing
 *                   STG_E_INVALIDFLAG      as CreateStream, or STGM_CREATE
 *                   STG_E_INVALIDPOINTER   ppstm null, then pwcsName null
 *                   STG_E_INVALIDNAME      pwcsName over 1023 bytes
 *                   STG_E_FILENOTFOUND     no stream of that name (a
 *                                          storage of it does not count)
 *                   E_OUTOFMEMORY          full
 *   OpenStorage     E_FAIL                 gone
 *                   STG_E_INVALIDPOINTER   pstgPriority or snbExclude not
 *                                          null
 *                   then as OpenStream, for a storage of that name
 *   CopyTo          STG_E_REVERTED         gone; also a sub-storage
 *                                          destroyed by the destination
 *                                          while it was copied
 *                   STG_E_INVALIDPOINTER   pstgDest null; ciidExclude not
 *                                          0 with rgiidExclude null
 *                   STG_E_ACCESSDENIED     pstgDest ours, below this
 *                                          storage (nothing created); a
 *                                          stream below not open for
 *                                          reading: closed, as every one
 *                                          is after
 *                                          QSStrg_RestoreRefCounts, or
 *                                          with STGM_WRITE set
 *                   E_OUTOFMEMORY          full
 *                   E_POINTER              the destination's CreateStorage
 *                                          or CreateStream succeeded
 *                                          without giving an object
 *                   E_FAIL                 a stream destroyed by the
 *                                          destination while it was copied
 *                   STG_E_MEDIUMFULL       the destination's Write failed
 *                                          or wrote less
 *                   and any code of the destination's CreateStorage and
 *                   CreateStream. What was copied before a failure stays.
 *                   ciidExclude 0 with rgiidExclude not null copies the
 *                   class id alone, through the destination's SetClass,
 *                   and answers S_OK whatever SetClass answered.
 *   MoveElementTo   STG_E_REVERTED         gone; also a storage destroyed
 *                                          by the destination while it
 *                                          was copied
 *                   STG_E_ACCESSDENIED     STGMOVE_MOVE from a storage not
 *                                          open for writing
 *                   STG_E_INVALIDPOINTER   pstgDest or pwcsNewName null,
 *                                          then pwcsName null
 *                   STG_E_INVALIDNAME      pwcsName over 1023 bytes
 *                   STG_E_FILENOTFOUND     no element named pwcsName
 *                   STG_E_ACCESSDENIED     a storage moved into itself or
 *                                          below (pstgDest ours)
 *                   STG_E_INVALIDFUNCTION  STGMOVE_MOVE of a storage that
 *                                          holds an element without a name
 *                   E_OUTOFMEMORY          full
 *                   then CopyTo's codes while copying, starting with the
 *                   destination's CreateStorage or CreateStream of
 *                   pwcsNewName (STG_E_FILEALREADYEXISTS when the name is
 *                   taken there). The element moved is lent read access
 *                   for the copy; streams below a moved storage are not.
 *                   Any grfFlags but STGMOVE_MOVE copies; a move that
 *                   fails leaves the source in place.
 *   EnumElements    STG_E_REVERTED         gone
 *                   STG_E_INVALIDPOINTER   ppenum null
 *                   E_OUTOFMEMORY          full
 *   DestroyElement  STG_E_REVERTED         gone
 *                   STG_E_ACCESSDENIED     not open for writing
 *                   STG_E_INVALIDPOINTER   pwcsName null
 *                   STG_E_INVALIDNAME      pwcsName over 1023 bytes
 *                   STG_E_FILENOTFOUND     no element of that name
 *   RenameElement   STG_E_REVERTED         gone
 *                   STG_E_ACCESSDENIED     not open for writing
 *                   STG_E_INVALIDPOINTER   pwcsOldName null; pwcsNewName
 *                                          null (once the old name is
 *                                          found)
 *                   STG_E_INVALIDNAME      either name over 1023 bytes
 *                   STG_E_FILENOTFOUND     no element named pwcsOldName
 *                   STG_E_FILEALREADYEXISTS  pwcsNewName taken, by this
 *                                          element too
 *                   E_OUTOFMEMORY          full (a longer name)
 *   SetClass        STG_E_REVERTED         gone
 *                   STG_E_ACCESSDENIED     not open for writing
 *                   STG_E_INVALIDPOINTER   a null clsid (from C)
 *   Stat            E_FAIL                 gone
 *                   STG_E_INVALIDPOINTER   pstatstg null
 *                   E_OUTOFMEMORY          full (the name's copy)
 *   SetElementTimes E_NOTIMPL              always
 *   Commit, Revert, SetStateBits           S_OK always
 *
 *   IStream (every object on a stream answers for the stream's open mode)
 *   Read            E_FAIL                 gone
 *                   STG_E_INVALIDPOINTER   pv null with cb not 0
 *                   STG_E_ACCESSDENIED     STGM_WRITE set, or the stream
 *                                          closed
 *                   E_FAIL                 a damaged record: bytes but no
 *                                          data block
 *                   At or past the end: S_OK with 0 bytes.
 *   Write           E_FAIL                 gone
 *                   STG_E_INVALIDPOINTER   pv null with cb not 0
 *                   STG_E_ACCESSDENIED     not open for writing
 *                   STG_E_MEDIUMFULL       the end would pass 0xFFFFFF00,
 *                                          or full (nothing written)
 *   Seek            E_FAIL                 gone
 *                   STG_E_INVALIDFUNCTION  an unknown dwOrigin; a target
 *                                          below 0 or past 2^63 - 1
 *   SetSize         E_FAIL                 gone
 *                   STG_E_ACCESSDENIED     not open for writing
 *                   STG_E_INVALIDFUNCTION  libNewSize at or past 2^32
 *                   STG_E_MEDIUMFULL       growing past 0xFFFFFF00, or
 *                                          full
 *   CopyTo          E_FAIL                 gone, also when the destination
 *                                          destroys it during the copy
 *                   STG_E_INVALIDPOINTER   pstm null
 *                   STG_E_ACCESSDENIED     not open for reading, also when
 *                                          the destination reopens it for
 *                                          writing during the copy
 *                   STG_E_MEDIUMFULL       the destination's Write failed
 *                                          or wrote less than it was given
 *   Clone           E_FAIL                 gone
 *                   STG_E_INVALIDPOINTER   ppstm null
 *                   STG_E_ACCESSDENIED     not open for reading
 *                   E_OUTOFMEMORY          full
 *   Stat            as IStorage::Stat
 *   LockRegion, UnlockRegion  E_NOTIMPL    always
 *   Commit, Revert                         S_OK always
 *
 *   IEnumSTATSTG (never fails for its storage: see DESTROYED ELEMENTS)
 *   Next            S_FALSE                fewer than celt records left
 *                   STG_E_INVALIDPOINTER   rgelt null with celt not 0
 *                   An element whose record cannot be made (full) is
 *                   stepped past; pceltFetched may be null for any celt.
 *   Skip            S_FALSE                fewer than celt entries left
 *   Reset                                  S_OK always
 *   Clone           STG_E_INVALIDPOINTER   ppenum null
 *                   E_OUTOFMEMORY          full
 *
 * OPEN MODES
 *   Create* and Open* take grfMode with STGM_SHARE_EXCLUSIVE set (or
 *   STGM_SHARE_DENY_READ, which holds the same bit) and without
 *   STGM_TRANSACTED, STGM_CONVERT or STGM_DELETEONRELEASE; the Open calls
 *   refuse STGM_CREATE as well. Other flags are kept but mean nothing. Share
 *   modes are not enforced between objects.
 *   Writing (Create*, DestroyElement, RenameElement, SetClass, a move, and
 *   Write and SetSize on streams) needs STGM_WRITE or STGM_READWRITE;
 *   reading a stream (Read, CopyTo, Clone) needs STGM_WRITE clear. A
 *   storage open for reading only opens its children for reading only.
 *   A storage's mode is set by its first create or open since the last
 *   QSStrg_RestoreRefCounts and then kept; a stream's by every CreateStream
 *   and OpenStream, for every object on it. QSStrg_RestoreRefCounts closes
 *   every element: until opened again, closed elements allow no writing,
 *   closed streams no reading, and Stat reports mode 0.
 *   CreateStorage with STGM_CREATE replaces a storage of the same name (its
 *   subtree is destroyed first); a stream of that name, or any existing
 *   element for CreateStream, gives STG_E_FILEALREADYEXISTS.
 *
 * NAMES
 *   Element names are held in the ANSI code page (the process's on Windows,
 *   1252 elsewhere) and compared byte for byte: case matters, and any
 *   character is allowed. A name may take up to 1023 bytes in that code
 *   page. Characters the code page lacks become '?' (on Windows after its
 *   best-fit mapping: U+0100 becomes 'A'), so names that differ only there
 *   name one element, and Stat gives back the converted name.
 *
 * STREAMS
 *   A stream holds at most 0xFFFFFF00 bytes (4 GiB - 256), and no more than
 *   the host's store can hold; a Write that would pass that fails whole with
 *   STG_E_MEDIUMFULL and changes nothing. Seek may go past the end: reads
 *   there give 0 bytes, and a write there fills the gap with zeros. SetSize
 *   to a smaller size truncates; to a larger one it only reserves room, and
 *   the size stays. SetSize never moves the seek position. All objects on one
 *   stream share its bytes and size; each keeps its own position.
 *
 * STAT
 *   Stat fills only these members of STATSTG, and IEnumSTATSTG::Next each
 *   record's the same way, so clear the record first:
 *     storage: pwcsName, type, grfMode, clsid
 *     stream:  pwcsName, type, cbSize, grfMode, grfLocksSupported (0)
 *   With STATFLAG_NONAME pwcsName is left as the caller set it; a nameless
 *   element reports null.
 *
 * COPY AND MOVE
 *   IStorage::CopyTo copies only elements that have a name: an element
 *   created with an empty name is kept and listed, but never found by name
 *   and never copied. MoveElementTo with STGMOVE_MOVE of a storage that
 *   holds such an element, at any depth, fails with STG_E_INVALIDFUNCTION
 *   before anything is created at the destination, and the source stays as
 *   it was; STGMOVE_COPY copies the storage without it. A destination that
 *   is the copied storage or lies below it gives STG_E_ACCESSDENIED.
 *   IStream::CopyTo ends with E_FAIL when the destination destroys the
 *   stream being copied (STG_E_ACCESSDENIED when it reopens it for
 *   writing), and with STG_E_MEDIUMFULL when the destination's Write fails
 *   or takes less; the counts hold what was read and written.
 *   IStorage::CopyTo and MoveElementTo pass these codes on.
 *
 * FIXED RESULTS
 *   IStorage::SetElementTimes, IStream::LockRegion and UnlockRegion answer
 *   E_NOTIMPL. IStorage::Commit, Revert and SetStateBits and IStream::Commit
 *   and Revert succeed and do nothing: every change is in the plex at once,
 *   no times or state bits are kept, and transacted mode is refused.
 *
 * DESTROYED ELEMENTS
 *   Destroying an element (DestroyElement; STGM_CREATE replacing a storage;
 *   MoveElementTo with STGMOVE_MOVE; DelObjectStorage;
 *   QSStrg_ClearRootStorage) destroys everything below it and detaches
 *   every object on any of it. A detached object fails every later
 *   operation that reads the tree: with STG_E_REVERTED for IStorage::CopyTo,
 *   MoveElementTo, EnumElements, DestroyElement, RenameElement and
 *   SetClass, with E_FAIL for every other such operation of storages and
 *   streams. AddRef, Release, QueryInterface and the FIXED RESULTS methods
 *   keep working. Enumerators step past entries removed under them and run
 *   out on a destroyed storage; they never show elements added after they
 *   were made. A renamed element keeps its objects.
 *   Objects do not survive the host replacing its plex (loading another):
 *   release them before, or only release them after.
 *
 * LIMITS
 *   Trees of any depth: no walk of the tree recurses. Enumeration runs
 *   newest first. Finding an element by name takes time in proportion to
 *   the number of its siblings.
 */
#ifndef QSSTORAGE_QSSTORAGE_H_
#define QSSTORAGE_QSSTORAGE_H_

#if defined(_WIN32)
#include <objbase.h>
#if defined(QSS_BUILDING_QSSTORAGE)
#define QSS_API __declspec(dllexport)
#else
#define QSS_API __declspec(dllimport)
#endif
#define QSS_CALL __cdecl
#else
#include "platform/com.h"
#define QSS_API __attribute__((visibility("default")))
#define QSS_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The exported functions take the C calling convention, undecorated. */

/* A new storage object over the root, open for reading and writing
 * (STGM_READWRITE | STGM_SHARE_DENY_NONE unless already open). In a plex
 * without a tree it first creates the root, named "Root", with the class id
 * {BE0E1A90-BCFD-11D2-823A-00C04F6E771B}. Null when the heap or the store
 * is full. */
QSS_API IStorage* QSS_CALL GetRootIStorage(void);

/* Destroys the whole tree; the next GetRootIStorage starts a new one.
 * Objects on the old tree are detached. Always returns 1. Also exported on
 * Windows as _QSSTRG_CLEARROOTSTORAGE_F@0. */
QSS_API int QSS_CALL QSStrg_ClearRootStorage(void);

/* Closes every storage and stream (open mode -1, open count 0); the host
 * calls it after loading a saved plex, so that modes saved with it grant
 * nothing. Always returns 1. Also exported on Windows as
 * _QSSTRG_RESTOREREFCOUNTS_F@0. */
QSS_API int QSS_CALL QSStrg_RestoreRefCounts(void);

/* The storage of a host block: with selector 1 its second storage (named
 * with the suffix "_UOSB"), with any other (-1, 0) its own. It sits in the
 * storage of the block's container, named as the block; it and the
 * storages of the containers above are opened, or created, with
 * STGM_READWRITE | STGM_SHARE_EXCLUSIVE. `*out` is the storage, or null;
 * the result is 0 on success and 1 otherwise. The top block has only the
 * root: selector -1 gives the root storage with result 1, other selectors
 * null. Block names may take 255 bytes, 250 with the suffix. */
QSS_API int QSS_CALL GetObjectStorage(int block, int selector, IStorage** out);

/* Destroys a block's storage (selector as above) and its subtree. 0 on
 * success, 1 otherwise, as for the top block. */
QSS_API int QSS_CALL DelObjectStorage(int block, int selector);

/* Renames a block's storage from `oldName` (null: the block's current name)
 * to `newName`, both ANSI and without the selector's suffix, which the
 * storage keeps. 0 on success; 1 otherwise, as when `newName` is null or
 * taken or a name is longer than the block names above. */
QSS_API int QSS_CALL RenObjectStorage(int block, int selector,
                                      const char* oldName,
                                      const char* newName);

#ifdef __cplusplus
}
#endif

#endif /* QSSTORAGE_QSSTORAGE_H_ */
