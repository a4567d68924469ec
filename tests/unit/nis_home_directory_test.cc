// Home directory routines: their warnings and what they leave behind.
#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/home_directory.h"
#include "support/temp_dir.h"

namespace {

std::string warningsOf(void (*routine)(const char*, uid_t, gid_t), const char* path, uid_t uid) {
  testing::internal::CaptureStderr();
  routine(path, uid, getgid());
  return testing::internal::GetCapturedStderr();
}

TEST(HomeDirectory, WarnsAndStopsOrCreatesAndRemovesForTheOwnerOnly) {
  for (const char* path : {static_cast<const char*>(nullptr), "", "home/x"}) {
    EXPECT_EQ("Warning: Invalid home directory\n", warningsOf(createHomeDir, path, getuid()));
    EXPECT_EQ("Warning: Invalid home directory\n", warningsOf(removeHomeDirectory, path, getuid()));
  }
  EXPECT_EQ("Warning: Unable to remove root directory\n", warningsOf(removeHomeDirectory, "//.", 0));

  TempDir temp;
  std::string home = temp / "user";
  EXPECT_EQ("", warningsOf(createHomeDir, home.c_str(), getuid()));
  EXPECT_EQ("Warning: Unable to create home directory: File exists\n",
            warningsOf(createHomeDir, home.c_str(), getuid()));
  ASSERT_EQ(0, mkdir((home + "/sub").c_str(), 0700));
  EXPECT_EQ("Warning: Not owner for home directory\n",
            warningsOf(removeHomeDirectory, home.c_str(), getuid() + 1));
  EXPECT_EQ("", warningsOf(removeHomeDirectory, home.c_str(), getuid()));
  EXPECT_NE(0, access(home.c_str(), F_OK));
  EXPECT_EQ("Warning: Unable to access home directory: No such file or directory\n",
            warningsOf(removeHomeDirectory, home.c_str(), getuid()));
}

}  // namespace
