// Shared by the tests: a fresh plex per test, wide-name literals on both
// targets, and a compact dump of the tree.
#ifndef QSSTORAGE_TESTS_TEST_SUPPORT_H_
#define QSSTORAGE_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <string>

#include "platform/com.h"

namespace qss_test {

using WideString = std::basic_string<OLECHAR>;

// UTF-16 from UTF-8 (any code point); a failure when `utf8` is not UTF-8.
WideString W(const std::string& utf8);
// UTF-8 from UTF-16; "(null)" for null.
std::string Narrow(const OLECHAR* wide);

// Word k of block `block_id`, through the host's own calls.
int Word(int block_id, int k);
// Id of the anchored root node, 0 when there is none.
int RootId();

// The tree under `storage` as "name{child child}" with streams as
// "name(size)", newest first, read through the standard interfaces.
std::string Dump(IStorage* storage);

// A fresh plex and block hierarchy for each test; at the end, with every
// object released, the plex holds only the tree and the host's own blocks.
class PlexTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Blocks reachable from the root anchor, plus the host's two.
  static int ReachableBlocks();
  bool check_leaks_ = true;
};

}  // namespace qss_test

#endif  // QSSTORAGE_TESTS_TEST_SUPPORT_H_
