// Faults the reliability suite found, each as the short case its seed
// shrank to. The same cases run as inputs from fuzz/regressions.
#include "qsstorage/qsstorage.h"
#include "tests/element_helpers.h"
#include "tests/test_support.h"

namespace qss_test {
namespace {

using ReliabilityRegressionTest = PlexTest;

// Seed 158: a Read of 0 bytes with a null buffer, on a stream with bytes
// after its position, passed the null buffer on to memcpy.
TEST_F(ReliabilityRegressionTest, ReadOfNothingTakesANullBuffer) {
  Ref<IStorage> root(GetRootIStorage());
  Ref<IStream> stream;
  ASSERT_EQ(S_OK,
            root->CreateStream(W("a").c_str(), kReadWrite, 0, 0, stream.Out()));
  ASSERT_EQ(S_OK, stream->Write("x", 1, nullptr));
  LARGE_INTEGER start;
  start.QuadPart = 0;
  ASSERT_EQ(S_OK, stream->Seek(start, STREAM_SEEK_SET, nullptr));
  ULONG read = 7;
  EXPECT_EQ(S_OK, stream->Read(nullptr, 0, &read));
  EXPECT_EQ(0u, read);
  char byte = 0;
  EXPECT_EQ(S_OK, stream->Read(&byte, 1, &read));
  EXPECT_EQ('x', byte);
}

// Seed 138: EnumElements on a storage whose tree was cleared answered a
// null out pointer with STG_E_INVALIDPOINTER; the liveness check comes
// first, as in every other operation.
TEST_F(ReliabilityRegressionTest, EnumElementsChecksLivenessBeforeItsOut) {
  Ref<IStorage> root(GetRootIStorage());
  QSStrg_ClearRootStorage();
  EXPECT_EQ(STG_E_REVERTED, root->EnumElements(0, nullptr, 0, nullptr));
  Ref<IEnumSTATSTG> elements;
  EXPECT_EQ(STG_E_REVERTED, root->EnumElements(0, nullptr, 0, elements.Out()));
  EXPECT_EQ(nullptr, elements.get());
}

}  // namespace
}  // namespace qss_test
