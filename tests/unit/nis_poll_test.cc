// Clones and snapshot copies of NIS maps made by the host's makedbm.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "core/dbm_file.h"
#include "core/result.h"
#include "core/runner.h"
#include "publisher/nis_poll.h"

namespace {

class NisMapCopies : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kdl2nis-nis-clone-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    char* cwd = getcwd(nullptr, 0);
    old_ = cwd;
    std::free(cwd);
    ASSERT_EQ(0, chdir(dir_.c_str()));
  }
  void TearDown() override {
    if (chdir(old_.c_str()) != 0) ADD_FAILURE() << "chdir back";
    qvSystem("rm -rf " + dir_);
  }
  // A map as makedbm makes it, with the bookkeeping entries it adds itself
  // (-s adds YP_SECURE, -b YP_INTERDOMAIN).
  void map(const std::string& name, const std::string& lines) {
    std::ofstream(dir_ + "/in.txt") << lines;
    ASSERT_EQ(kOk, qvSystem("/usr/lib/yp/makedbm -s -b -i /src/passwd in.txt " + dir_ + "/" + name +
                            " 2>/dev/null"));
  }
  std::string dir_, old_;
};

TEST_F(NisMapCopies, CloneHoldsTheAccountsWholeAndNoBookkeepingKeys) {
  map("passwd.byname",
      "al\tal:x:1001:1001:Al Long Name:/home/al:/bin/sh\n"
      "bo bo:x:1002:1002:  two  blanks :/home/bo:/bin/sh\n"
      "x\tx:$6$a\\b$\"q\":1003:1::/:/bin/sh\n");
  ASSERT_EQ(kOk, NISBackupByClone(dir_ + "/passwd.byname", dir_ + "/clone"));
  DbmFile clone = DbmFile::open(dir_ + "/clone");
  ASSERT_TRUE(clone.isOpen());
  EXPECT_EQ("al:x:1001:1001:Al Long Name:/home/al:/bin/sh", clone.fetch("al").value_or("?"));
  EXPECT_EQ("bo:x:1002:1002:  two  blanks :/home/bo:/bin/sh", clone.fetch("bo").value_or("?"));
  EXPECT_EQ("x:$6$a\\b$\"q\":1003:1::/:/bin/sh", clone.fetch("x").value_or("?"));
  int keys = 0;
  for (Datum k(gdbm_firstkey(clone.get())); !k.empty(); k = Datum(gdbm_nextkey(clone.get(), k.d))) {
    EXPECT_EQ(std::string::npos, k.text().find("YP_")) << k.text();
    ++keys;
  }
  EXPECT_EQ(3, keys);
  EXPECT_NE(0, access(("tmpmap_" + std::to_string(getpid())).c_str(), F_OK));
}

TEST_F(NisMapCopies, CloneStartsFreshAndReportsAMissingMap) {
  {
    DbmFile stale = DbmFile::open(dir_ + "/clone");
    stale.store("ghost", "ghost:x:1:1::/:/bin/sh");
  }
  map("group.byname", "g\tg:x:1001:a\n");
  ASSERT_EQ(kOk, NISBackupByClone(dir_ + "/group.byname", dir_ + "/clone"));
  DbmFile clone = DbmFile::open(dir_ + "/clone");
  EXPECT_FALSE(clone.contains("ghost"));
  EXPECT_TRUE(clone.contains("g"));
  clone.close();
  EXPECT_EQ(kErrOther, NISBackupByClone(dir_ + "/missing.byname", dir_ + "/clone2"));
}

TEST_F(NisMapCopies, BackupCopiesThenCommitsTheSnapshot) {
  map("group.byname", "g\tg:x:1001:a\n");
  ASSERT_EQ(kOk, NISBackup(dir_, "group", kBackupCopy));
  EXPECT_EQ(0, access("group.byname.log.tmp", F_OK));
  ASSERT_EQ(kOk, NISBackup(dir_, "group", kBackupCommit));
  EXPECT_NE(0, access("group.byname.log.tmp", F_OK));
  EXPECT_EQ(0, access("group.byname.log", F_OK));
  EXPECT_EQ(kErrOther, NISBackup(dir_, "passwd", kBackupCopy));
  EXPECT_EQ(kErrOther, NISBackup(dir_, "passwd", kBackupCommit));
}

}  // namespace
