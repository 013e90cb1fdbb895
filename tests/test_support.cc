#include "tests/test_support.h"

#include <vector>

#include "records/dms.h"
#include "standins/hierarchy_controls.h"
#include "standins/plex_controls.h"
#include "support/utf8.h"

namespace qss_test {

WideString W(const std::string& utf8) {
  WideString out;
  if (!qss_support::Utf8ToWide(utf8, &out)) {
    ADD_FAILURE() << "not UTF-8: " << testing::PrintToString(utf8);
  }
  return out;
}

std::string Narrow(const OLECHAR* wide) {
  return wide == nullptr ? "(null)" : qss_support::WideToUtf8(wide);
}

int Word(int block_id, int k) { return ib0[DMS_LOCATI(&block_id) + k]; }

int RootId() { return Word(2, 52); }

std::string Dump(IStorage* storage) {
  IEnumSTATSTG* elements = nullptr;
  if (storage->EnumElements(0, nullptr, 0, &elements) != S_OK) return "?";
  std::string out = "{";
  STATSTG stat;
  bool first = true;
  while (elements->Next(1, &stat, nullptr) == S_OK) {
    if (!first) out += " ";
    first = false;
    out += Narrow(stat.pwcsName);
    if (stat.type == STGTY_STREAM) {
      out += "(" + std::to_string(stat.cbSize.QuadPart) + ")";
    } else {
      IStorage* child = nullptr;
      if (storage->OpenStorage(stat.pwcsName, nullptr, STGM_SHARE_EXCLUSIVE,
                               nullptr, 0, &child) == S_OK) {
        out += Dump(child);
        child->Release();
      }
    }
    CoTaskMemFree(stat.pwcsName);
  }
  elements->Release();
  return out + "}";
}

void PlexTest::SetUp() {
  QssPlex_Reset();
  QssHier_Reset();
}

void PlexTest::TearDown() {
  if (check_leaks_ && !HasFatalFailure()) {
    EXPECT_EQ(QssPlex_LiveBlocks(), ReachableBlocks())
        << "blocks allocated that the tree cannot reach";
  }
}

int PlexTest::ReachableBlocks() {
  int count = 2;  // the host's own blocks 1 and 2
  std::vector<int> storages;
  if (RootId() != 0) storages.push_back(RootId());
  while (!storages.empty()) {
    const int node = storages.back();
    storages.pop_back();
    ++count;
    for (int entry = Word(node, 6); entry != 0; entry = Word(entry, 0)) {
      ++count;
      const int child = Word(entry, 3);
      if (child == 0) continue;
      if (Word(entry, 2) == 0) {
        storages.push_back(child);
      } else if (Word(entry, 2) == 1) {
        count += Word(child, 0) != 0 ? 2 : 1;
      }
    }
  }
  return count;
}

}  // namespace qss_test
