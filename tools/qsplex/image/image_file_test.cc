#include "tools/qsplex/image/image_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tools/qsplex/os/files.h"
#include "tools/qsplex/os/system.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace qsplex {
namespace {

#if defined(_WIN32)

// Closes the handle it is given after 300 ms.
DWORD WINAPI CloseSoon(void* handle) {
  Sleep(300);
  CloseHandle(static_cast<HANDLE>(handle));
  return 0;
}

// A file that another handle holds without sharing for a moment, as a
// rename over it does under Wine, is waited for: neither a read nor the
// image's lock fails on it, and the read finds what the file holds.
TEST(ImageFileTest, AFileHeldWithoutSharingForAMomentIsWaitedFor) {
  const std::string path = "qsplex-sharing-test.bin";
  RemoveFile(path);
  std::FILE* made = CreateNewFile(path);
  ASSERT_NE(nullptr, made);
  std::fputs("QSSPLEX", made);
  std::fclose(made);
  for (const char* use : {"read", "lock"}) {
    SCOPED_TRACE(use);
    const HANDLE held =
        CreateFileW(WideName(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    const HANDLE release =
        CreateThread(nullptr, 0, CloseSoon, held, 0, nullptr);
    ASSERT_NE(nullptr, release);
    if (std::string(use) == "read") {
      std::FILE* file = OpenFile(path, "rb");
      EXPECT_NE(nullptr, file) << SystemReason();
      char head[8] = {};
      if (file != nullptr) {
        EXPECT_EQ(7u, std::fread(head, 1, sizeof head, file));
        std::fclose(file);
      }
      EXPECT_STREQ("QSSPLEX", head);
    } else {
      ImageLock lock;
      std::string problem;
      bool in_use = false;
      EXPECT_TRUE(lock.Acquire(path, false, false, 5, &problem, &in_use))
          << problem;
      EXPECT_FALSE(in_use);
    }
    WaitForSingleObject(release, INFINITE);
    CloseHandle(release);
  }
  RemoveFile(path);
}

#endif

// Without sharing modes the native build has nothing to wait for: a
// missing image is refused, or left for a new one.
TEST(ImageFileTest, AMissingImageIsRefusedUnlessItMayBeNew) {
  const std::string path = "qsplex-missing-test.img";
  RemoveFile(path);
  for (const bool may_be_new : {false, true}) {
    ImageLock lock;
    std::string problem;
    bool in_use = false;
    EXPECT_EQ(may_be_new, lock.Acquire(path, true, may_be_new, 1, &problem,
                                       &in_use));
    EXPECT_FALSE(lock.holds());
    EXPECT_FALSE(in_use);
    if (!may_be_new) {
      EXPECT_EQ("no such image", problem);
    }
  }
}

}  // namespace
}  // namespace qsplex
