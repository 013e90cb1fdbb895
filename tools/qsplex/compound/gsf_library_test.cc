#include "tools/qsplex/compound/gsf_library.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/qsplex/compound/gsf_storage.h"

namespace {

// A library that is not there, or one without libgsf's functions, is
// refused with what is wrong and what to do, and nothing crashes.
TEST(GsfLibrary, LoadingFailsCleanlyWithoutLibgsf) {
  struct Case {
    const char* soname;
    std::vector<std::string> told;
  };
  const Case cases[] = {
      {"libqsplex-no-such-library.so.1",
       {"cannot be loaded", "libqsplex-no-such-library.so.1", "libgsf-1-114",
        "scripts/setup.sh"}},
      {"libc.so.6", {"libc.so.6 has no gsf_init", "libgsf-1-114"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.soname);
    qsplex::gsf::GsfApi api{};
    std::string problem;
    EXPECT_FALSE(qsplex::gsf::LoadGsfFrom(c.soname, &api, &problem));
    for (const std::string& part : c.told) {
      EXPECT_NE(std::string::npos, problem.find(part)) << problem;
    }
  }
}

TEST(GsfLibrary, TheBuildsLibraryHasEveryFunction) {
  std::string problem;
  ASSERT_TRUE(qsplex::LoadCompoundFiles(&problem)) << problem;
  ASSERT_NE(nullptr, qsplex::gsf::gsf);
  EXPECT_TRUE(problem.empty());
}

}  // namespace
