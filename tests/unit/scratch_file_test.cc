#include "core/scratch_file.h"

#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ScratchFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/scratchXXXXXX";
    dir_ = mkdtemp(tmpl);
    std::ofstream(dir_ + "/victim") << "victim";
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  std::string dir_;
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
    EXPECT_EQ(readAll(victim), "victim") << c.name;
    EXPECT_EQ(readAll(path), "state") << c.name;
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
