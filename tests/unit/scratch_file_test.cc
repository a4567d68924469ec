#include "core/scratch_file.h"

#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/temp_dir.h"
#include "support/text_file.h"

namespace {

class ScratchFileTest : public ::testing::Test {
 protected:
  void SetUp() override { std::ofstream(dir_ + "/victim") << "victim"; }
  TempDir temp_;
  const std::string dir_ = temp_.path();
};

// Whatever is planted under the name, the run fails and the victim keeps
// its content; only a plain file left by an earlier run is replaced.
TEST_F(ScratchFileTest, APlantedLinkIsRefusedAndAStaleFileReplaced) {
  std::string victim = dir_ + "/victim";
  struct Case { const char* name; int (*plant)(const char*, const char*); bool refused; };
  for (const Case& c : {Case{"symlink", symlink, true}, Case{"hardlink", link, true},
                        Case{"stale", nullptr, false}}) {
    std::string path = dir_ + "/" + c.name;
    if (c.plant != nullptr) {
      ASSERT_EQ(c.plant(victim.c_str(), path.c_str()), 0);
    } else {
      std::ofstream(path) << "old";
    }
    {
      ScratchFile file(path);
      EXPECT_EQ(file.open() != 0, c.refused) << c.name;
      if (!c.refused) {
        ASSERT_EQ(write(file.fd(), "new", 3), 3);
      }
    }
    EXPECT_EQ(c.refused, access(path.c_str(), F_OK) == 0) << c.name;  // a refused name stays as planted
    EXPECT_EQ(replaceStateFile(path, "state"), 0) << c.name;  // the rename replaces the name only
    EXPECT_EQ(readText(victim), "victim") << c.name;
    EXPECT_EQ(readText(path), "state") << c.name;
    unlink(path.c_str());
  }
}

TEST_F(ScratchFileTest, AScratchFileIsRemovedWithItsOwnerAndByTheRegistry) {
  std::string path = dir_ + "/scratch";
  {
    ScratchFile file(path);
    ASSERT_EQ(file.create(), 0);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
  }
  EXPECT_NE(access(path.c_str(), F_OK), 0);

  ScratchFile kept(path);
  ASSERT_EQ(kept.create(), 0);
  removeRegisteredTemporaries();  // what the SIGTERM handler does
  EXPECT_NE(access(path.c_str(), F_OK), 0);
}

}  // namespace
