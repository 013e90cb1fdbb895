#include "tools/qsplex/records/salvage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "check/tree_check.h"
#include "qsstorage/qsstorage.h"
#include "records/dms.h"
#include "records/node_records.h"
#include "standins/plex_controls.h"
#include "tests/element_helpers.h"
#include "tests/test_support.h"
#include "tools/qsplex/image/plex.h"
#include "tools/qsplex/records/stream_data.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {
namespace {

using qss_test::PutStream;
using qss_test::W;

constexpr CLSID kClass = {0x01234567,
                          0x89AB,
                          0xCDEF,
                          {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

int& WordAt(int block, int k) { return ib0[DMS_LOCATI(&block) + k]; }

// "PATH FATE" per element, with the bytes kept of a stream.
std::vector<std::string> Fates(const SalvagedTree& tree) {
  std::vector<std::string> out;
  for (const SalvagedElement& e : tree.elements) {
    out.push_back(e.path + " " + FateName(e.fate));
    if (e.kind == qss::kKindStream) out.back() += " " + std::to_string(e.kept);
  }
  return out;
}

// A root holding /c (3 bytes) and /docs (a class id, a.txt of 5 bytes and
// b.bin of 10), made through the library.
class SalvageTest : public qss_test::PlexTest {
 protected:
  void SetUp() override {
    PlexTest::SetUp();
    Ref<IStorage> root(GetRootIStorage());
    Ref<IStorage> docs;
    ASSERT_EQ(S_OK, root->CreateStorage(W("docs").c_str(), kReadWrite, 0, 0,
                                        docs.Out()));
    ASSERT_EQ(S_OK, docs->SetClass(kClass));
    PutStream(docs.get(), "a.txt", "hello");
    PutStream(docs.get(), "b.bin", "0123456789");
    PutStream(root.get(), "c", "xyz");
    sound_ = SalvageTree(AllocatedBlocks(), {});
  }

  // The salvaged element at `path` in the sound tree.
  const SalvagedElement& At(const std::string& path) const {
    for (const SalvagedElement& e : sound_.elements) {
      if (e.path == path) return e;
    }
    ADD_FAILURE() << "no " << path;
    return sound_.elements[0];
  }
  // The entry whose child is `node`.
  static int EntryOf(int node) {
    for (const qss::AllocatedBlock& block : AllocatedBlocks()) {
      if (block.words == qss::kEntryWords &&
          WordAt(block.id, qss::kEntryChildWord) == node) {
        return block.id;
      }
    }
    return 0;
  }

  // Rebuilds `tree` and returns the new tree's dump; every old block is
  // freed (the fixture's leak check) and the new tree checks clean.
  static std::string Rebuild(SalvagedTree* tree) {
    RebuildTree(tree, AllocatedBlocks());
    EXPECT_TRUE(qss::CheckTree(AllocatedBlocks()).empty());
    Ref<IStorage> root(GetRootIStorage());
    return qss_test::Dump(root.get());
  }

  SalvagedTree sound_;
};

TEST_F(SalvageTest, ASoundTreeComesBackWithOrderBytesAndClassIds) {
  EXPECT_EQ(Fates(sound_), (std::vector<std::string>{
                               "/ kept", "/c kept 3", "/docs kept",
                               "/docs/b.bin kept 10", "/docs/a.txt kept 5"}));
  Ref<IStorage> root(GetRootIStorage());
  const std::string before = qss_test::Dump(root.get());
  root.Reset();
  EXPECT_EQ(Rebuild(&sound_), before);
  Ref<IStorage> docs;
  root = Ref<IStorage>(GetRootIStorage());
  ASSERT_EQ(S_OK, root->OpenStorage(W("docs").c_str(), nullptr, kRead, nullptr,
                                    0, docs.Out()));
  STATSTG stat = {};
  ASSERT_EQ(S_OK, docs->Stat(&stat, STATFLAG_NONAME));
  EXPECT_TRUE(IsEqualGUID(stat.clsid, kClass));
  Ref<IStream> b;
  ASSERT_EQ(S_OK,
            docs->OpenStream(W("b.bin").c_str(), nullptr, kRead, 0, b.Out()));
  char bytes[16] = {};
  ULONG got = 0;
  ASSERT_EQ(S_OK, b->Read(bytes, sizeof bytes, &got));
  EXPECT_EQ(std::string(bytes, got), "0123456789");
}

TEST_F(SalvageTest, DamagedBlocksSpoilOrLoseWhatTheyHold) {
  const DamageMap damage = {{At("/docs/b.bin").data, {QSS_PLEX_BLOCK_CHECKSUM}},
                            {At("/docs/a.txt").data, {QSS_PLEX_BLOCK_CUT, 3}},
                            {At("/c").node, {QSS_PLEX_BLOCK_CUT, 0}}};
  SalvagedTree tree = SalvageTree(AllocatedBlocks(), damage);
  EXPECT_EQ(Fates(tree),
            (std::vector<std::string>{"/ kept", "/c lost 0", "/docs kept",
                                      "/docs/b.bin damaged 10",
                                      "/docs/a.txt damaged 3"}));
  EXPECT_EQ(tree.elements[4].problems,
            std::vector<std::string>{
                "bytes 3 to 4 are lost: the image ends inside its data"});
  EXPECT_EQ(tree.roles[At("/docs/b.bin").data], "the data of /docs/b.bin");
  EXPECT_EQ(Rebuild(&tree), "{docs{b.bin(10) a.txt(3)}}");
}

TEST_F(SalvageTest, LoopsAndSharedBlocksAreReadOnce) {
  const int c_entry = EntryOf(At("/c").node);
  const int docs_entry = EntryOf(At("/docs").node);
  WordAt(docs_entry, qss::kEntryNextWord) = c_entry;
  WordAt(At("/docs/a.txt").node, qss::kStreamDataBlockWord) =
      At("/docs/b.bin").data;
  SalvagedTree tree = SalvageTree(AllocatedBlocks(), {});
  EXPECT_EQ(Fates(tree), (std::vector<std::string>{
                             "/ kept", "/c kept 3", "/docs kept",
                             "/<entry " + std::to_string(c_entry) + "> lost",
                             "/docs/b.bin kept 10", "/docs/a.txt damaged 0"}));
  EXPECT_EQ(tree.elements[5].problems[0],
            "bytes 0 to 4 are lost: its data block " +
                std::to_string(At("/docs/b.bin").data) +
                " belongs to another element");
  EXPECT_EQ(Rebuild(&tree), "{c(3) docs{b.bin(10) a.txt(0)}}");
}

TEST_F(SalvageTest, ACutListGoesOnAtTheEntryThatLinksBack) {
  // The newest entry of the root cut: /docs is found by its link back,
  // and /c, whose entry it was, by its own record.
  const int c_entry = EntryOf(At("/c").node);
  for (int k = 0; k < qss::kEntryWords; ++k) WordAt(c_entry, k) = 0;
  SalvagedTree tree =
      SalvageTree(AllocatedBlocks(), {{c_entry, {QSS_PLEX_BLOCK_CUT, 0}}});
  EXPECT_EQ(Fates(tree),
            (std::vector<std::string>{
                "/ kept", "/<entry " + std::to_string(c_entry) + "> lost",
                "/docs kept", "/docs/b.bin kept 10", "/docs/a.txt kept 5",
                "/c damaged 3"}));
  // Where /c stood in the list is lost with its entry: it comes last.
  EXPECT_EQ(Rebuild(&tree), "{docs{b.bin(10) a.txt(5)} c(3)}");
}

// "PATH BLOCK" per stream StreamDataUnder finds under `path`, or "none".
std::vector<std::string> StreamsUnder(const std::vector<const char*>& names,
                                      const std::string& path) {
  std::vector<WideString> wide;
  for (const char* name : names) wide.push_back(W(name));
  std::vector<StreamData> streams;
  if (!StreamDataUnder(AllocatedBlocks(), wide, path, &streams))
    return {"none"};
  std::vector<std::string> out;
  for (const StreamData& stream : streams) {
    out.push_back(stream.path + " " + std::to_string(stream.block));
  }
  return out;
}

TEST_F(SalvageTest, StreamDataIsFoundAsTheLibraryFindsNames) {
  const std::string a = "/docs/a.txt " + std::to_string(At("/docs/a.txt").data);
  const std::string b = "/docs/b.bin " + std::to_string(At("/docs/b.bin").data);
  const std::string c = "/c " + std::to_string(At("/c").data);
  const struct {
    std::vector<const char*> names;
    std::vector<std::string> streams;
  } cases[] = {
      {{"docs", "a.txt"}, {a}},
      {{"docs"}, {b, a}},  // newest first, as the list runs
      {{}, {c, b, a}},
      {{"DOCS"}, {"none"}},  // names compare byte for byte
      {{"docs", "z"}, {"none"}},
      {{"c", "a.txt"}, {"none"}},  // a stream holds nothing
  };
  for (const auto& t : cases) {
    std::string path;
    for (const char* name : t.names) path += std::string("/") + name;
    EXPECT_EQ(StreamsUnder(t.names, path.empty() ? "/" : path), t.streams)
        << path;
  }
}

TEST_F(SalvageTest, DamageInDataOnlyTakesStreamsDataAlone) {
  const BlockDamage bad{QSS_PLEX_BLOCK_CHECKSUM, 0};
  const int a_data = At("/docs/a.txt").data;
  const int a_node = At("/docs/a.txt").node;
  const struct {
    DamageMap damage;
    bool in_data;
  } cases[] = {
      {{{a_data, bad}}, true},
      {{{a_data, bad}, {At("/c").data, bad}}, true},
      {{{a_node, bad}}, false},  // the record: its links may be wrong
      {{{a_data, bad}, {a_node, bad}}, false},
      {{{EntryOf(a_node), bad}}, false},
      {{{At("/docs").node, bad}}, false},
  };
  for (const auto& t : cases) {
    EXPECT_EQ(DamageInDataOnly(AllocatedBlocks(), t.damage), t.in_data)
        << "blocks " << t.damage.begin()->first << "...";
  }
  // A tree the checker finds fault with is not read around its damage.
  WordAt(a_node, qss::kStreamDataBlockWord) = At("/docs/b.bin").data;
  EXPECT_FALSE(DamageInDataOnly(AllocatedBlocks(), {{a_data, bad}}));
}

}  // namespace
}  // namespace qsplex
