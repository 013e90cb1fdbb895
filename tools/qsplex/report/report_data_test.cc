#include "tools/qsplex/report/report_data.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qsstorage/qsstorage.h"
#include "standins/plex_controls.h"
#include "support/com_ref.h"
#include "tests/element_helpers.h"
#include "tests/test_support.h"
#include "tools/qsplex/image/plex.h"
#include "tools/qsplex/report/report_page.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {
namespace {

using qss_support::Ref;
using qss_test::PutStream;
using qss_test::W;

// A root holding /c (3 bytes) and /docs with a.txt (5 bytes) and, newer,
// "<b>" (a name markup would take, 10 bytes).
class ReportDataTest : public qss_test::PlexTest {
 protected:
  void SetUp() override {
    PlexTest::SetUp();
    Ref<IStorage> root(GetRootIStorage());
    Ref<IStorage> docs;
    ASSERT_EQ(S_OK, root->CreateStorage(W("docs").c_str(), kReadWrite, 0, 0,
                                        docs.Out()));
    PutStream(docs.get(), "a.txt", "hello");
    PutStream(docs.get(), "<b>", "0123456789");
    PutStream(root.get(), "c", "xyz");
    blocks_ = AllocatedBlocks();
  }

  // The report's JSON of the subtree at `top` with `damage`; "" when there
  // is no such subtree, with the problem in `problem_`.
  std::string Json(std::vector<std::string> top, const DamageMap& damage = {}) {
    damage_.blocks = damage;
    tree_ = SalvageTree(blocks_, damage);
    findings_ = qss::CheckTree(blocks_);
    ReportInput in;
    in.image_name = "t.img";
    for (const std::string& name : top) in.top.push_back(W(name.c_str()));
    in.tree = &tree_;
    in.blocks = &blocks_;
    in.damage = &damage_;
    in.findings = &findings_;
    in.file_bytes = 100000;
    in.version = 3;
    std::string json;
    problem_.clear();
    return ReportJson(in, &json, &problem_) ? json : "";
  }

  const SalvagedElement& At(const std::string& path) const {
    for (const SalvagedElement& e : tree_.elements) {
      if (e.path == path) return e;
    }
    ADD_FAILURE() << "no " << path;
    return tree_.elements[0];
  }

  std::vector<qss::AllocatedBlock> blocks_;
  ImageDamage damage_;
  SalvagedTree tree_;
  std::vector<qss::TreeFinding> findings_;
  std::string problem_;
};

TEST_F(ReportDataTest, EveryBlockHasTheOwnerTheWalkFoundForIt) {
  Json({});
  std::vector<qss::AllocatedBlock> blocks = blocks_;
  blocks.push_back({1 << 20, 4});  // a block the tree does not reach
  const std::vector<BlockOwner> owners = BlockOwners(tree_, blocks);
  ASSERT_EQ(owners.size(), blocks.size());
  int counts[kBlockOwners] = {};
  for (size_t i = 0; i < blocks.size(); ++i) {
    const int id = blocks[i].id;
    const BlockOwner owner = owners[i];
    ++counts[static_cast<int>(owner)];
    if (id == 1 || id == 2) {
      EXPECT_EQ(owner, BlockOwner::kHost) << id;
    } else if (id == At("/docs").node || id == At("/c").node) {
      EXPECT_EQ(owner, BlockOwner::kRecord) << id;
    } else if (id == At("/c").data || id == At("/docs/a.txt").data) {
      EXPECT_EQ(owner, BlockOwner::kData) << id;
    }
  }
  // Root, docs and three streams: five records; an entry per element below
  // the root; three data blocks.
  EXPECT_EQ(counts[static_cast<int>(BlockOwner::kHost)], 2);
  EXPECT_EQ(counts[static_cast<int>(BlockOwner::kRecord)], 5);
  EXPECT_EQ(counts[static_cast<int>(BlockOwner::kList)], 4);
  EXPECT_EQ(counts[static_cast<int>(BlockOwner::kData)], 3);
  EXPECT_EQ(counts[static_cast<int>(BlockOwner::kUnreached)], 1);
}

TEST_F(ReportDataTest, ASubtreeComesWithItsElementsParentsFirst) {
  const std::string json = Json({"docs"});
  EXPECT_NE(json.find("\"top\":\"/docs\""), std::string::npos) << json;
  // Newest first, as the library lists them; sizes of streams only.
  EXPECT_NE(
      json.find("\"names\":[\"docs\",\"<b>\",\"a.txt\"],"
                "\"parents\":[-1,0,0],\"kinds\":[0,1,1],"
                "\"sizes\":[0,10,5],\"class_ids\":[0,-1,-1],"
                "\"classes\":[\"{00000000-0000-0000-0000-000000000000}\"],"
                "\"fates\":[0,0,0],\"problems\":[]"),
      std::string::npos)
      << json;
  EXPECT_EQ(Json({"docs", "missing"}), "");
  EXPECT_EQ(problem_, DescribeResult(STG_E_FILENOTFOUND));
  EXPECT_EQ(Json({"DOCS"}), "") << "names compare as the library's";
}

TEST_F(ReportDataTest, DamageMarksTheBlockAndTheElementItSpoils) {
  Json({});
  const int data = At("/c").data;
  const std::string json = Json({}, {{data, {QSS_PLEX_BLOCK_CHECKSUM}}});
  const std::string block = std::to_string(data);
  // Listed however small, with its damage and role.
  EXPECT_NE(json.find("[" + block + ",256,3,1,\"the data of /c\"]"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"damage\":[[" + block +
                      ",1,0,256,\"the data of /c\"]]"
                      ",\"damage_count\":1"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"fates\":[0,1,0,0,0]"), std::string::npos) << json;
  EXPECT_NE(json.find("[1,\"its data block " + block + " fails its checksum"),
            std::string::npos)
      << json;
}

TEST_F(ReportDataTest, ManyDamagedBlocksAreCountedBeyondThoseListed) {
  DamageMap damage;
  for (size_t k = 0; k < kListedDamage + 5; ++k) {
    damage[100000 + static_cast<int>(k)] = {QSS_PLEX_BLOCK_CUT, 0};
  }
  const std::string json = Json({}, damage);
  const size_t listed = json.find("\"damage\":[");
  ASSERT_NE(listed, std::string::npos);
  size_t rows = 0;
  for (size_t at = json.find("\"not reached from the root\"", listed);
       at != std::string::npos;
       at = json.find("\"not reached from the root\"", at + 1)) {
    ++rows;
  }
  EXPECT_EQ(rows, kListedDamage);
  EXPECT_NE(json.find("\"damage_count\":" + std::to_string(kListedDamage + 5)),
            std::string::npos);
}

TEST_F(ReportDataTest, SmallBlocksAreSummedAndEveryByteCounted) {
  // Blocks of less than 1/4096 of all the blocks' bytes are summed: one
  // large block puts every other block below that.
  Ref<IStorage> root(GetRootIStorage());
  PutStream(root.get(), "big", std::string(2000000, 'x'));
  blocks_ = AllocatedBlocks();
  const std::string json = Json({});
  const size_t listed = json.find("\"blocks\":[");
  ASSERT_NE(listed, std::string::npos);
  EXPECT_EQ(json.find("\"the record of /c\"", listed), std::string::npos)
      << "a small block is summed, not listed";
  EXPECT_NE(json.find("\"the data of /big\"", listed), std::string::npos);
  EXPECT_NE(json.find("\"owner_blocks\":[2,6,5,4,0]"), std::string::npos)
      << json;
  EXPECT_NE(json.find("\"small_blocks\":[2,6,5,3,0]"), std::string::npos)
      << json;
  EXPECT_NE(json.find("\"free_ids\":0"), std::string::npos) << json;
}

TEST(ReportPageTest, NoNameCanEndTheScriptThatHoldsTheData) {
  const std::string json =
      "{\"names\":[\"</script><script>alert(1)</script>\",\"a&b\",\"<!--\"]}";
  EXPECT_EQ(ScriptSafeJson(json),
            "{\"names\":[\"\\u003c/script\\u003e\\u003cscript\\u003ealert(1)"
            "\\u003c/script\\u003e\",\"a\\u0026b\",\"\\u003c!--\"]}");
  const std::string page = ReportPage(json);
  EXPECT_EQ(page.find("alert(1)</script>"), std::string::npos);
  EXPECT_EQ(page.find("QSPLEX_DATA"), std::string::npos);
  EXPECT_EQ(page.find("/*QSPLEX_"), std::string::npos);
  // One script element for the data and one for the code, nothing loaded.
  EXPECT_NE(page.find("<script type=\"application/json\" id=\"qsplex-data\">" +
                      ScriptSafeJson(json) + "</script>"),
            std::string::npos);
  EXPECT_EQ(page.find(" src="), std::string::npos);
  EXPECT_EQ(page.find("://"), std::string::npos);
  EXPECT_EQ(page.find('\r'), std::string::npos);
  // ASCII throughout: the page's files are embedded in pieces that must
  // not cut a character, and the data is ASCII by its escapes.
  for (char c : page) ASSERT_EQ(c & 0x80, 0) << page.find(c);
}

}  // namespace
}  // namespace qsplex
