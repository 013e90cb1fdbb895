#include "tools/qsplex/compound/gsf_storage.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qsstorage/qsstorage.h"
#include "tests/element_helpers.h"
#include "tests/test_support.h"
#include "tools/qsplex/compound/class_ids.h"
#include "tools/qsplex/compound/compound_directory.h"
#include "tools/qsplex/output/text.h"

namespace qss_test {
namespace {

constexpr HRESULT kInvalidHeader = static_cast<HRESULT>(0x800300FB);
constexpr DWORD kCommitDefault = 0;  // STGC_DEFAULT

CLSID Class(uint32_t n) {
  CLSID id = {
      n, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, static_cast<uint8_t>(n)}};
  return id;
}

std::string Pattern(size_t size, int seed) {
  std::string bytes(size, 0);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>(i * 7 + seed + (i >> 9));
  }
  return bytes;
}

std::string Fnv1a64(const std::string& bytes) {
  uint64_t digest = 14695981039346656037u;
  for (unsigned char byte : bytes) digest = (digest ^ byte) * 1099511628211u;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx",
                static_cast<unsigned long long>(digest));
  return text;
}

std::string ReadAll(IStream* stream) {
  std::string bytes;
  char buffer[5000];  // not a divisor of the block sizes
  ULONG read = 0;
  while (stream->Read(buffer, sizeof buffer, &read) == S_OK && read > 0) {
    bytes.append(buffer, read);
  }
  return bytes;
}

// The tree below `storage` as sorted lines, the form olefile_dump.py
// prints: "PATH storage {CLSID}", "PATH stream SIZE FNV1A64".
void Describe(IStorage* storage, const std::string& path,
              std::vector<std::string>* lines) {
  STATSTG self = {};
  ASSERT_EQ(S_OK, storage->Stat(&self, STATFLAG_NONAME));
  lines->push_back((path.empty() ? "/" : path) + " storage " +
                   qsplex::FormatClassId(self.clsid));
  Ref<IEnumSTATSTG> elements;
  ASSERT_EQ(S_OK, storage->EnumElements(0, nullptr, 0, elements.Out()));
  STATSTG stat;
  while (elements->Next(1, &stat, nullptr) == S_OK) {
    const std::string child = path + "/" + Narrow(stat.pwcsName);
    if (stat.type == STGTY_STORAGE) {
      Ref<IStorage> sub;
      EXPECT_EQ(S_OK, storage->OpenStorage(stat.pwcsName, nullptr, kReadOnly,
                                           nullptr, 0, sub.Out()));
      if (sub.get() != nullptr) Describe(sub.get(), child, lines);
    } else {
      Ref<IStream> stream;
      EXPECT_EQ(S_OK, storage->OpenStream(stat.pwcsName, nullptr, kReadOnly, 0,
                                          stream.Out()));
      const std::string bytes = stream.get() ? ReadAll(stream.get()) : "?";
      EXPECT_EQ(stat.cbSize.QuadPart, bytes.size()) << child;
      lines->push_back(child + " stream " + std::to_string(bytes.size()) + " " +
                       Fnv1a64(bytes));
    }
    CoTaskMemFree(stat.pwcsName);
  }
}

std::string Describe(IStorage* storage) {
  std::vector<std::string> lines;
  Describe(storage, "", &lines);
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

void AddStream(IStorage* parent, const std::string& name,
               const std::string& bytes) {
  Ref<IStream> stream;
  ASSERT_EQ(S_OK, parent->CreateStream(W(name).c_str(), kReadWrite, 0, 0,
                                       stream.Out()));
  ULONG written = 0;
  ASSERT_EQ(S_OK, stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()),
                                &written));
}

void AddStorage(IStorage* parent, const std::string& name, const CLSID& clsid,
                Ref<IStorage>* out) {
  ASSERT_EQ(S_OK, parent->CreateStorage(W(name).c_str(), kReadWrite, 0, 0,
                                        out->Out()));
  if (clsid != CLSID{}) {
    ASSERT_EQ(S_OK, (*out)->SetClass(clsid));
  }
}

bool FileExists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

class GsfStorageTest : public RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    const testing::TestInfo* test =
        testing::UnitTest::GetInstance()->current_test_info();
    path_ = testing::TempDir() + "qsplex_gsf_" + test->name() + "_" +
            std::to_string(getpid()) + ".cfb";
    std::remove(path_.c_str());
  }
  void TearDown() override {
    std::remove(path_.c_str());
    RootTest::TearDown();
  }

  // src{Données{inner{big(200 KiB) empty(0)} small(100)} café(4096)
  // \x05Summary(4095)} with class ids on src, Données and inner: both
  // sides of the 4096-byte line where streams move to big blocks.
  void MakeSource(Ref<IStorage>* src) {
    AddStorage(root_.get(), "src", Class(1), src);
    Ref<IStorage> donnees, inner;
    AddStorage(src->get(),
               "Donn\xC3\xA9"
               "es",
               Class(2), &donnees);
    AddStorage(donnees.get(), "inner", Class(3), &inner);
    AddStream(inner.get(), "big", Pattern(200 * 1024, 1));
    AddStream(inner.get(), "empty", "");
    AddStream(donnees.get(), "small", Pattern(100, 2));
    AddStream(src->get(), "caf\xC3\xA9", Pattern(4096, 3));
    AddStream(src->get(), "\x05Summary", Pattern(4095, 4));
  }

  // `src` into a new compound file at path_, class ids in a second walk.
  void Export(IStorage* src) {
    Ref<IStorage> file;
    ASSERT_EQ(S_OK, qsplex::CreateCompoundFile(path_, file.Out()));
    ASSERT_EQ(S_OK, src->CopyTo(0, nullptr, nullptr, file.get()));
    ASSERT_EQ(S_OK, qsplex::CopyClassIds(src, file.get()));
    EXPECT_FALSE(FileExists(path_)) << "the file appears only at Commit";
    ASSERT_EQ(S_OK, file->Commit(kCommitDefault));
    EXPECT_TRUE(FileExists(path_));
  }

  // olefile_dump.py's listing of path_ is `expected`.
  void ExpectOlefileLists(const std::string& expected) {
    const std::string command = std::string(QSS_PYTHON3) + " " +
                                QSS_OLEFILE_DUMP + " '" + path_ + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    std::string listed;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
      listed.append(buffer, n);
    }
    const int status = pclose(pipe);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3) {
      GTEST_SKIP() << "python3-olefile is not installed";
    }
    EXPECT_EQ(0, status);
    EXPECT_EQ(expected, listed);
  }

  std::string path_;
};

TEST_F(GsfStorageTest, ExportedTreeReadsBackWholeHereAndInOlefile) {
  Ref<IStorage> src;
  MakeSource(&src);
  Export(src.get());
  const std::string expected = Describe(src.get());

  Ref<IStorage> file;
  ASSERT_EQ(S_OK, qsplex::OpenCompoundFile(path_, file.Out()));
  EXPECT_EQ(expected, Describe(file.get()));

  // Imported into a fresh storage of ours: the root's class id included.
  Ref<IStorage> dst;
  ASSERT_EQ(S_OK, root_->CreateStorage(W("dst").c_str(), kReadWrite, 0, 0,
                                       dst.Out()));
  ASSERT_EQ(S_OK, file->CopyTo(0, nullptr, nullptr, dst.get()));
  EXPECT_EQ(expected, Describe(dst.get()));

  ExpectOlefileLists(expected);
}

TEST_F(GsfStorageTest, ThousandsOfSiblingsReadBackInOlefile) {
  // olefile walks sibling trees recursively: a chain of 1500 exceeds its
  // recursion limit, a balanced tree does not.
  {
    Ref<IStorage> file;
    ASSERT_EQ(S_OK, qsplex::CreateCompoundFile(path_, file.Out()));
    Ref<IStorage> many;
    AddStorage(file.get(), "many", Class(4), &many);
    for (int i = 0; i < 1500; ++i) {
      AddStream(many.get(), (i % 2 ? "s" : "stream") + std::to_string(i),
                std::to_string(i));
    }
    AddStream(file.get(), "last", "x");
    ASSERT_EQ(S_OK, file->Commit(kCommitDefault));
  }
  Ref<IStorage> file;
  ASSERT_EQ(S_OK, qsplex::OpenCompoundFile(path_, file.Out()));
  const std::string listed = Describe(file.get());
  EXPECT_EQ(1503, std::count(listed.begin(), listed.end(), '\n'));
  ExpectOlefileLists(listed);
}

TEST_F(GsfStorageTest, ADirectoryThatDoesNotHoldTogetherIsLeftAlone) {
  {
    Ref<IStorage> file;
    ASSERT_EQ(S_OK, qsplex::CreateCompoundFile(path_, file.Out()));
    AddStream(file.get(), "a", "1");
    ASSERT_EQ(S_OK, file->Commit(kCommitDefault));
  }
  // The root entry's child link points at the root entry itself.
  std::string bytes = FileBytes(path_);
  const size_t directory =
      (static_cast<uint8_t>(bytes[0x30]) + size_t{1}) * 512;
  bytes.replace(directory + 0x4C, 4, std::string(4, '\0'));
  {
    std::ofstream out(path_, std::ios::binary);
    out << bytes;
  }
  EXPECT_EQ(static_cast<HRESULT>(0x80030109), qsplex::BalanceDirectory(path_));
  EXPECT_EQ(bytes, FileBytes(path_));
}

TEST_F(GsfStorageTest, NamesAndStreamsTheWriterRefuses) {
  Ref<IStorage> file;
  ASSERT_EQ(S_OK, qsplex::CreateCompoundFile(path_, file.Out()));
  Ref<IStorage> data;
  ASSERT_EQ(S_OK, file->CreateStorage(W("Data").c_str(), kReadWrite, 0, 0,
                                      data.Out()));
  const struct {
    std::string name;
    HRESULT hr;
  } cases[] = {
      {std::string(31, 'n'), S_OK},
      {std::string(32, 'n'), STG_E_INVALIDNAME},
      {"", STG_E_INVALIDNAME},
      {"a/b", STG_E_INVALIDNAME},
      {"a\\b", STG_E_INVALIDNAME},
      {"a:b", STG_E_INVALIDNAME},
      {"a!b", STG_E_INVALIDNAME},
      {"DATA", STG_E_FILEALREADYEXISTS},
      {"\xC3\xA9t\xC3\xA9", S_OK},
      {"\xC3\x89T\xC3\x89", STG_E_FILEALREADYEXISTS},
  };
  for (const auto& c : cases) {
    Ref<IStream> stream;
    EXPECT_EQ(c.hr, file->CreateStream(W(c.name).c_str(), kReadWrite, 0, 0,
                                       stream.Out()))
        << c.name;
    Ref<IStorage> storage;
    EXPECT_EQ(
        c.hr == S_OK ? STG_E_FILEALREADYEXISTS : c.hr,
        file->CreateStorage(W(c.name).c_str(), kReadWrite, 0, 0, storage.Out()))
        << c.name;
  }
  // One stream at a time; a storage reopened knows its names.
  Ref<IStream> open;
  ASSERT_EQ(S_OK,
            data->CreateStream(W("one").c_str(), kReadWrite, 0, 0, open.Out()));
  Ref<IStream> second;
  EXPECT_EQ(STG_E_ACCESSDENIED, file->CreateStream(W("two").c_str(), kReadWrite,
                                                   0, 0, second.Out()));
  Ref<IStorage> again;
  ASSERT_EQ(S_OK, file->OpenStorage(W("data").c_str(), nullptr, kReadWrite,
                                    nullptr, 0, again.Out()));
  open.Reset();
  EXPECT_EQ(
      STG_E_FILEALREADYEXISTS,
      again->CreateStream(W("ONE").c_str(), kReadWrite, 0, 0, second.Out()));
  ASSERT_EQ(S_OK, file->Commit(kCommitDefault));
  // Finished: every object of the file is done.
  EXPECT_EQ(STG_E_REVERTED, again->CreateStream(W("three").c_str(), kReadWrite,
                                                0, 0, second.Out()));
  EXPECT_EQ(STG_E_REVERTED, file->Commit(kCommitDefault));
}

TEST_F(GsfStorageTest, AFileNotCommittedLeavesTheEarlierOneAsItWas) {
  {
    Ref<IStorage> file;
    ASSERT_EQ(S_OK, qsplex::CreateCompoundFile(path_, file.Out()));
    AddStream(file.get(), "first", "kept");
    ASSERT_EQ(S_OK, file->Commit(kCommitDefault));
  }
  const std::string before = FileBytes(path_);
  {
    Ref<IStorage> file;
    ASSERT_EQ(S_OK, qsplex::CreateCompoundFile(path_, file.Out()));
    AddStream(file.get(), "second", Pattern(10000, 5));
  }
  EXPECT_EQ(before, FileBytes(path_));
  EXPECT_FALSE(FileExists(path_ + ".tmp"));
  std::remove(path_.c_str());
  {
    Ref<IStorage> file;
    ASSERT_EQ(S_OK, qsplex::CreateCompoundFile(path_, file.Out()));
  }
  EXPECT_FALSE(FileExists(path_));
  // Nor does a failed start leave anything behind.
  Ref<IStorage> file;
  EXPECT_EQ(static_cast<HRESULT>(0x80030003),
            qsplex::CreateCompoundFile(path_ + ".missing/x.cfb", file.Out()));
  EXPECT_EQ(nullptr, file.get());
}

TEST_F(GsfStorageTest, AWriteFailureFailsTheCopyAndLeavesNoFile) {
  Ref<IStorage> src;
  MakeSource(&src);
  // The process may write files of 64 KiB at most, and gets an error
  // instead of a signal beyond.
  struct rlimit old_limit;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old_limit));
  struct rlimit limit = old_limit;
  limit.rlim_cur = 64 * 1024;
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit));
  Ref<IStorage> file;
  HRESULT hr = qsplex::CreateCompoundFile(path_, file.Out());
  if (SUCCEEDED(hr)) hr = src->CopyTo(0, nullptr, nullptr, file.get());
  if (SUCCEEDED(hr)) hr = file->Commit(kCommitDefault);
  file.Reset();
  setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(STG_E_MEDIUMFULL, hr);
  EXPECT_FALSE(FileExists(path_));
}

TEST_F(GsfStorageTest, ReadingStreamsAndStoragesOfAFile) {
  Ref<IStorage> src;
  MakeSource(&src);
  Export(src.get());
  Ref<IStorage> file;
  ASSERT_EQ(S_OK, qsplex::OpenCompoundFile(path_, file.Out()));
  STATSTG stat = {};
  ASSERT_EQ(S_OK, file->Stat(&stat, STATFLAG_NONAME));
  EXPECT_EQ(Class(1), stat.clsid);

  // Names are found as the format compares them.
  Ref<IStorage> donnees;
  ASSERT_EQ(S_OK,
            file->OpenStorage(W("DONN\xC3\x89"
                                "ES")
                                  .c_str(),
                              nullptr, kReadOnly, nullptr, 0, donnees.Out()));
  ASSERT_EQ(S_OK, donnees->Stat(&stat, STATFLAG_DEFAULT));
  EXPECT_EQ(
      "Donn\xC3\xA9"
      "es",
      Narrow(stat.pwcsName));
  EXPECT_EQ(Class(2), stat.clsid);
  CoTaskMemFree(stat.pwcsName);

  Ref<IStream> stream;
  EXPECT_EQ(STG_E_ACCESSDENIED,
            file->OpenStream(W("caf\xC3\xA9").c_str(), nullptr, kReadWrite, 0,
                             stream.Out()));
  EXPECT_EQ(STG_E_FILENOTFOUND,
            file->OpenStream(W("Donn\xC3\xA9"
                               "es")
                                 .c_str(),
                             nullptr, kReadOnly, 0, stream.Out()));
  Ref<IStorage> storage;
  EXPECT_EQ(STG_E_FILENOTFOUND,
            file->OpenStorage(W("caf\xC3\xA9").c_str(), nullptr, kReadOnly,
                              nullptr, 0, storage.Out()));
  ASSERT_EQ(S_OK, file->OpenStream(W("caf\xC3\xA9").c_str(), nullptr, kReadOnly,
                                   0, stream.Out()));
  EXPECT_EQ(STG_E_ACCESSDENIED, stream->Write("x", 1, nullptr));

  // Reads across the block boundary, after the end, and seeks.
  const std::string bytes = Pattern(4096, 3);
  LARGE_INTEGER move;
  move.QuadPart = 4000;
  ULARGE_INTEGER at;
  ASSERT_EQ(S_OK, stream->Seek(move, STREAM_SEEK_SET, &at));
  char buffer[200];
  ULONG read = 0;
  ASSERT_EQ(S_OK, stream->Read(buffer, sizeof buffer, &read));
  EXPECT_EQ(bytes.substr(4000), std::string(buffer, read));
  ASSERT_EQ(S_OK, stream->Read(buffer, sizeof buffer, &read));
  EXPECT_EQ(0u, read);
  move.QuadPart = -10;
  ASSERT_EQ(S_OK, stream->Seek(move, STREAM_SEEK_END, &at));
  EXPECT_EQ(4086u, at.QuadPart);
  move.QuadPart = -5000;
  EXPECT_EQ(STG_E_INVALIDFUNCTION, stream->Seek(move, STREAM_SEEK_CUR, &at));
  ASSERT_EQ(S_OK, stream->Read(buffer, sizeof buffer, &read));
  EXPECT_EQ(bytes.substr(4086), std::string(buffer, read));
}

TEST_F(GsfStorageTest, FilesThatAreNotCompoundFilesAreRefused) {
  Ref<IStorage> file;
  EXPECT_EQ(STG_E_FILENOTFOUND, qsplex::OpenCompoundFile(path_, file.Out()));
  {
    std::ofstream text(path_, std::ios::binary);
    text << std::string(2048, 't');
  }
  EXPECT_EQ(kInvalidHeader, qsplex::OpenCompoundFile(path_, file.Out()));
  EXPECT_EQ(nullptr, file.get());
}

TEST_F(GsfStorageTest, ClassIdsFollowACopyBetweenStoragesOfOurs) {
  Ref<IStorage> src;
  MakeSource(&src);
  Ref<IStorage> dst;
  ASSERT_EQ(S_OK, root_->CreateStorage(W("dst").c_str(), kReadWrite, 0, 0,
                                       dst.Out()));
  ASSERT_EQ(S_OK, src->CopyTo(0, nullptr, nullptr, dst.get()));
  EXPECT_NE(Describe(src.get()), Describe(dst.get()));
  ASSERT_EQ(S_OK, qsplex::CopyClassIds(src.get(), dst.get()));
  EXPECT_EQ(Describe(src.get()), Describe(dst.get()));
}

}  // namespace
}  // namespace qss_test
