#include "enum/enum_plex.h"

#include <string>

#include "records/element_list.h"
#include "records/lifetime.h"
#include "records/node_records.h"
#include "records/plex.h"
#include "storage/storage_plex.h"
#include "tests/test_support.h"

namespace qss {
namespace {

using EnumPlexTest = qss_test::PlexTest;

int MakeStorageNode(const char* name) {
  CIStoragePlex* storage = CreateStorageNode(NameKeyOf(name));
  const int id = storage->block_id();
  storage->Release();
  return id;
}

// Lists the host may hold: entries of unknown kinds or without a child, and
// a deleted child that a raised open count keeps allocated.
TEST_F(EnumPlexTest, NextPassesOverWhatItCannotReportAndSkipCountsIt) {
  CIStoragePlex* parent = CreateStorageNode(NameKeyOf("p"));
  const int x = MakeStorageNode("x");
  const int dead = MakeStorageNode("dead");
  const int y = MakeStorageNode("y");
  // Oldest first, so the list reads x, (no child), (kind 7), dead, y.
  LinkElement(parent->block_id(), y, kKindStorage);
  LinkElement(parent->block_id(), dead, kKindStorage);
  LinkElement(parent->block_id(), x, 7);
  LinkElement(parent->block_id(), 0, kKindStream);
  LinkElement(parent->block_id(), x, kKindStorage);
  LocateBlock(dead)[kStorageDeletedWord] = 1;
  LocateBlock(dead)[kStorageOpenCountWord] = 1;

  IEnumSTATSTG* elements = nullptr;
  ASSERT_EQ(S_OK, parent->EnumElements(0, nullptr, 0, &elements));
  STATSTG stats[5] = {};
  ULONG fetched = 0;
  EXPECT_EQ(S_FALSE, elements->Next(5, stats, &fetched));
  ASSERT_EQ(2u, fetched);
  EXPECT_EQ("x", qss_test::Narrow(stats[0].pwcsName));
  EXPECT_EQ("y", qss_test::Narrow(stats[1].pwcsName));
  CoTaskMemFree(stats[0].pwcsName);
  CoTaskMemFree(stats[1].pwcsName);

  elements->Reset();
  EXPECT_EQ(S_OK, elements->Skip(5));
  EXPECT_EQ(S_FALSE, elements->Skip(1));
  elements->Reset();
  ASSERT_EQ(S_OK, elements->Skip(3));
  // The failed Stat consumes its entry and its slot is filled by the next.
  EXPECT_EQ(S_OK, elements->Next(1, stats, &fetched));
  EXPECT_EQ(1u, fetched);
  EXPECT_EQ("y", qss_test::Narrow(stats[0].pwcsName));
  CoTaskMemFree(stats[0].pwcsName);
  elements->Release();

  const int parent_id = parent->block_id();
  parent->Release();
  LocateBlock(dead)[kStorageOpenCountWord] = 0;
  DeleteNode(parent_id, kKindStorage);
}

}  // namespace
}  // namespace qss
