// The shipped library through its exports: the root storage, the
// maintenance exports and the DLL's export and import tables.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "qsstorage/qsstorage.h"
#include "standins/plex_controls.h"
#include "tests/test_support.h"

namespace {

using qss_test::RootId;
using qss_test::W;
using qss_test::Word;

class RootStorageTest : public qss_test::PlexTest {};

TEST_F(RootStorageTest, RootReportsItsStatus) {
  IStorage* root = GetRootIStorage();
  ASSERT_NE(nullptr, root);
  STATSTG stat;
  std::memset(&stat, 0x5A, sizeof stat);
  ASSERT_EQ(S_OK, root->Stat(&stat, STATFLAG_DEFAULT));
  EXPECT_EQ("Root", qss_test::Narrow(stat.pwcsName));
  EXPECT_EQ(static_cast<DWORD>(STGTY_STORAGE), stat.type);
  EXPECT_EQ(0x42u, stat.grfMode);
  const CLSID root_class = {0xBE0E1A90, 0xBCFD, 0x11D2,
                            {0x82, 0x3A, 0x00, 0xC0, 0x4F, 0x6E, 0x77, 0x1B}};
  EXPECT_TRUE(IsEqualGUID(root_class, stat.clsid));
  // Fields Stat does not own keep what the caller had there.
  EXPECT_EQ(0x5A5A5A5Au, stat.grfStateBits);
  CoTaskMemFree(stat.pwcsName);

  LPOLESTR mine = stat.pwcsName = W("keep").data();
  ASSERT_EQ(S_OK, root->Stat(&stat, STATFLAG_NONAME));
  EXPECT_EQ(mine, stat.pwcsName);
  EXPECT_EQ(STG_E_INVALIDPOINTER, root->Stat(nullptr, STATFLAG_DEFAULT));
  root->Release();
}

TEST_F(RootStorageTest, SetClassThroughTheTableRefusesNull) {
  IStorage* root = GetRootIStorage();
  // A C host calls through the interface table; slot 15 is SetClass.
  using SetClassFn = HRESULT(STDMETHODCALLTYPE*)(IStorage*, const CLSID*);
  auto set_class =
      reinterpret_cast<SetClassFn>((*reinterpret_cast<void***>(root))[15]);
  EXPECT_EQ(STG_E_INVALIDPOINTER, set_class(root, nullptr));
  const CLSID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(S_OK, set_class(root, &other));
  EXPECT_EQ(1, Word(RootId(), 0));
  EXPECT_EQ(0x00030002, Word(RootId(), 1));
  root->Release();
}

TEST_F(RootStorageTest, MaintenanceExportsAlwaysAnswerOne) {
  EXPECT_EQ(1, QSStrg_RestoreRefCounts());
  EXPECT_EQ(1, QSStrg_ClearRootStorage());
  GetRootIStorage()->Release();
  EXPECT_NE(0, RootId());
  EXPECT_EQ(1, QSStrg_RestoreRefCounts());
  EXPECT_EQ(-1, Word(RootId(), 4));
  EXPECT_EQ(1, QSStrg_ClearRootStorage());
  EXPECT_EQ(0, RootId());
  EXPECT_EQ(2, QssPlex_LiveBlocks());
}

#if defined(_WIN32)
TEST_F(RootStorageTest, StatRecordHasTheWindowsSize) {
  EXPECT_EQ(72u, sizeof(STATSTG));
}

// The loaded DLL's table `entry` (IMAGE_DIRECTORY_ENTRY_...).
template <class Table>
const Table* LoadedTable(HMODULE module, int entry) {
  const auto* base = reinterpret_cast<const BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[entry];
  return reinterpret_cast<const Table*>(base + dir.VirtualAddress);
}

// The DLL exports exactly the library's eight names, and the upper-case
// aliases behave as their partners.
TEST_F(RootStorageTest, ExportTableHoldsExactlyTheEightNames) {
  HMODULE module = GetModuleHandleA(QSS_DLL_PATH);
  ASSERT_NE(nullptr, module);
  const auto* base = reinterpret_cast<const BYTE*>(module);
  const auto* exports =
      LoadedTable<IMAGE_EXPORT_DIRECTORY>(module, IMAGE_DIRECTORY_ENTRY_EXPORT);
  const auto* names =
      reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  std::set<std::string> found;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    found.insert(reinterpret_cast<const char*>(base + names[i]));
  }
  const std::set<std::string> expected = {
      "GetRootIStorage",        "QSStrg_ClearRootStorage",
      "QSStrg_RestoreRefCounts", "_QSSTRG_CLEARROOTSTORAGE_F@0",
      "_QSSTRG_RESTOREREFCOUNTS_F@0", "GetObjectStorage",
      "DelObjectStorage",       "RenObjectStorage"};
  EXPECT_EQ(expected, found);
  EXPECT_EQ(8u, exports->NumberOfFunctions);

  using Maintenance = int(__cdecl*)(void);
  auto clear = reinterpret_cast<Maintenance>(
      GetProcAddress(module, "_QSSTRG_CLEARROOTSTORAGE_F@0"));
  auto reset = reinterpret_cast<Maintenance>(
      GetProcAddress(module, "_QSSTRG_RESTOREREFCOUNTS_F@0"));
  ASSERT_NE(nullptr, clear);
  ASSERT_NE(nullptr, reset);
  GetRootIStorage()->Release();
  EXPECT_EQ(1, reset());
  EXPECT_EQ(-1, Word(RootId(), 4));
  EXPECT_EQ(1, clear());
  EXPECT_EQ(0, RootId());
}

// The DLL loads with the host's libraries and system DLLs only: whichever
// compiler built it, its C and C++ runtimes are linked in.
TEST_F(RootStorageTest, ImportTableNamesOnlyTheHostsAndSystemDlls) {
  HMODULE module = GetModuleHandleA(QSS_DLL_PATH);
  ASSERT_NE(nullptr, module);
  const auto* base = reinterpret_cast<const char*>(module);
  const std::set<std::string> allowed = {"mxdms.dll",  "rtmalloc.dll",
                                         "vovizu.dll", "kernel32.dll",
                                         "msvcrt.dll", "ole32.dll"};
  std::set<std::string> found;
  for (const auto* import = LoadedTable<IMAGE_IMPORT_DESCRIPTOR>(
           module, IMAGE_DIRECTORY_ENTRY_IMPORT);
       import->Name != 0; ++import) {
    std::string name = base + import->Name;
    for (char& c : name) c = static_cast<char>(std::tolower(c));
    EXPECT_EQ(1u, allowed.count(name)) << name;
    found.insert(name);
  }
  EXPECT_EQ(1u, found.count("mxdms.dll"));
}
#endif

// A tree saved by one process and found again by another: ctest runs the
// Save phase and then the Load phase as separate processes over one image.
class PersistenceTest : public qss_test::PlexTest {
 protected:
  void SetUp() override {
    PlexTest::SetUp();
    image_ = std::getenv("QSS_PERSIST_IMAGE");
    if (image_ == nullptr) GTEST_SKIP() << "runs as two ctest phases";
  }
  const char* image_ = nullptr;
};

const CLSID kDocClass = {0x12345678, 0x9ABC, 0xDEF0,
                         {1, 2, 3, 4, 5, 6, 7, 8}};

TEST_F(PersistenceTest, SavePhase) {
  IStorage* root = GetRootIStorage();
  IStorage* doc = nullptr;
  ASSERT_EQ(S_OK, root->CreateStorage(W("doc").c_str(), 0x12, 0, 0, &doc));
  ASSERT_EQ(S_OK, doc->SetClass(kDocClass));
  IStream* body = nullptr;
  ASSERT_EQ(S_OK, doc->CreateStream(W("body").c_str(), 0x12, 0, 0, &body));
  ULONG written = 0;
  ASSERT_EQ(S_OK, body->Write("persisted bytes", 15, &written));
  body->Release();
  doc->Release();
  root->Release();
  ASSERT_EQ(0, QssPlex_Save(image_));
}

TEST_F(PersistenceTest, LoadPhase) {
  ASSERT_EQ(0, QssPlex_Load(image_));
  // Open modes from the saving process are still set until the host resets.
  EXPECT_EQ(0x42, Word(RootId(), 4));
  EXPECT_EQ(1, QSStrg_RestoreRefCounts());
  EXPECT_EQ(-1, Word(RootId(), 4));
  IStorage* root = GetRootIStorage();
  IStorage* doc = nullptr;
  ASSERT_EQ(S_OK, root->OpenStorage(W("doc").c_str(), nullptr, 0x12, nullptr,
                                    0, &doc));
  STATSTG stat;
  ASSERT_EQ(S_OK, doc->Stat(&stat, STATFLAG_NONAME));
  EXPECT_TRUE(IsEqualGUID(kDocClass, stat.clsid));
  EXPECT_EQ(0x12u, stat.grfMode);
  IStream* body = nullptr;
  ASSERT_EQ(S_OK, doc->OpenStream(W("body").c_str(), nullptr, 0x12, 0, &body));
  char bytes[32] = {};
  ULONG read = 0;
  ASSERT_EQ(S_OK, body->Read(bytes, sizeof bytes, &read));
  EXPECT_EQ("persisted bytes", std::string(bytes, read));
  body->Release();
  doc->Release();
  root->Release();
}

// The host may load another plex while it still holds objects on the old
// one: releasing them afterwards must not touch the new plex.
TEST_F(RootStorageTest, ReleasingAfterAReloadLeavesTheNewPlexAlone) {
  const std::string image = testing::TempDir() + "qss_reload.img";
  IStorage* root = GetRootIStorage();
  IStorage* saved = nullptr;
  ASSERT_EQ(S_OK, root->CreateStorage(W("a").c_str(), 0x12, 0, 0, &saved));
  saved->Release();
  ASSERT_EQ(0, QssPlex_Save(image.c_str()));
  IStream* stale = nullptr;
  ASSERT_EQ(S_OK, root->CreateStream(W("t").c_str(), 0x12, 0, 0, &stale));
  ASSERT_EQ(S_OK, root->DestroyElement(W("t").c_str()));
  ASSERT_EQ(0, QssPlex_Load(image.c_str()));
  QssPlexCounts before;
  QssPlex_GetCounts(&before);
  stale->Release();
  root->Release();
  QssPlexCounts after;
  QssPlex_GetCounts(&after);
  EXPECT_EQ(before.frees, after.frees);
  IStorage* again = GetRootIStorage();
  IStorage* a = nullptr;
  EXPECT_EQ(S_OK, again->OpenStorage(W("a").c_str(), nullptr, 0x12, nullptr,
                                     0, &a));
  if (a != nullptr) a->Release();
  again->Release();
  std::remove(image.c_str());
}

}  // namespace
