/* A caller built for the MSVC ABI and linked by an MSVC-compatible linker
 * against qsstorage.lib alone: no C runtime and no headers, so that only
 * the import library is under test. Each import must name an export of
 * qsstorage.dll, or the program does not load. Exits 0 when the calls
 * answer as the exports do. */

__declspec(dllimport) void* __cdecl GetRootIStorage(void);
__declspec(dllimport) int __cdecl QSStrg_RestoreRefCounts(void);
__declspec(dllimport) int __cdecl QSStrg_ClearRootStorage(void);
__declspec(dllimport) int __cdecl GetObjectStorage(int block, int selector,
                                                   void** out);
__declspec(dllimport) int __cdecl DelObjectStorage(int block, int selector);
__declspec(dllimport) int __cdecl RenObjectStorage(int block, int selector,
                                                   const char* oldName,
                                                   const char* newName);
/* The upper-case aliases, by the symbols the import library gives them. */
__declspec(dllimport) int __cdecl ClearAlias(void) __asm__(
    "__QSSTRG_CLEARROOTSTORAGE_F@0");
__declspec(dllimport) int __cdecl ResetAlias(void) __asm__(
    "__QSSTRG_RESTOREREFCOUNTS_F@0");

typedef unsigned long(__stdcall* ReleaseCall)(void* self);

/* IUnknown::Release, the third slot of the object's table. */
static unsigned long Release(void* object) {
  ReleaseCall* table = *(ReleaseCall**)object;
  return table[2](object);
}

int __cdecl start(void) {
  void* root = GetRootIStorage();
  if (root == 0) return 1;
  if (Release(root) != 0) return 2;
  if (QSStrg_RestoreRefCounts() != 1 || ResetAlias() != 1) return 3;
  if (QSStrg_ClearRootStorage() != 1 || ClearAlias() != 1) return 4;
  /* A null out pointer and a null name are refused before the host's
   * hierarchy is asked anything. */
  if (GetObjectStorage(1, -1, 0) != 1) return 5;
  if (RenObjectStorage(1, -1, 0, 0) != 1) return 6;
  /* Asks the hierarchy at once: only its import is checked. */
  int(__cdecl* volatile destroy)(int, int) = DelObjectStorage;
  return destroy == 0 ? 7 : 0;
}
