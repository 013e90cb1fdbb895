#include "tests/test_support.h"

#include <vector>

#include "records/dms.h"
#include "standins/hierarchy_controls.h"
#include "standins/plex_controls.h"

namespace qss_test {

WideString W(const std::string& utf8) {
  WideString out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = utf8[i];
    uint32_t cp;
    int extra;
    if (c < 0x80) {
      cp = c, extra = 0;
    } else if (c < 0xE0) {
      cp = c & 0x1F, extra = 1;
    } else if (c < 0xF0) {
      cp = c & 0x0F, extra = 2;
    } else {
      cp = c & 0x07, extra = 3;
    }
    for (int k = 1; k <= extra && i + k < utf8.size(); ++k) {
      cp = (cp << 6) | (utf8[i + k] & 0x3F);
    }
    i += 1 + extra;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<OLECHAR>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<OLECHAR>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<OLECHAR>(cp));
    }
  }
  return out;
}

std::string Narrow(const OLECHAR* wide) {
  std::string out;
  if (wide == nullptr) return "(null)";
  for (; *wide != 0; ++wide) {
    uint32_t c = static_cast<uint16_t>(*wide);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
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
