// The NIS source-file toolkit on files of a private directory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "core/dbm_file.h"
#include "core/result.h"
#include "core/runner.h"
#include "nis/source_files.h"
#include "nis/user_commands.h"

namespace {

class NisSourceFiles : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kdl2nis-nis-unit-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    char* cwd = getcwd(nullptr, 0);
    old_ = cwd;
    std::free(cwd);
    // Scratch files go to the working directory.
    ASSERT_EQ(0, chdir(dir_.c_str()));
  }
  void TearDown() override {
    if (chdir(old_.c_str()) != 0) ADD_FAILURE() << "chdir back";
    qvSystem("rm -rf " + dir_);
  }
  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name) << text;
  }
  std::string read(const std::string& name) {
    std::ifstream in(dir_ + "/" + name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // A map built by the host's makedbm from "key<TAB>value" lines.
  void map(const std::string& name, const std::string& lines) {
    write("in.txt", lines);
    ASSERT_EQ(kOk, qvSystem("/usr/lib/yp/makedbm in.txt " + dir_ + "/" + name + " 2>/dev/null"));
  }
  std::string dir_, old_;
};

TEST_F(NisSourceFiles, ReadAndEditMatchTheExactFirstFieldOnly) {
  write("passwd", "ann:x:1:1::/:/bin/sh\nanna:x:2:2::/:/bin/sh\nann:y:3:3::/:/bin/sh\n");
  std::string text;
  bool found = false;
  ASSERT_EQ(kOk, getRecordFromFile("ann", dir_, "passwd", &text, &found));
  EXPECT_TRUE(found);
  EXPECT_EQ("ann:x:1:1::/:/bin/sh\nann:y:3:3::/:/bin/sh", text);
  ASSERT_EQ(kOk, getRecordFromFile("an.*", dir_, "passwd", &text, &found));
  EXPECT_EQ("", text);

  ASSERT_EQ(kOk, modifyRecordInFile("ann", dir_, "ann:z:9:9::/:/bin/sh", "passwd", "usermod", ""));
  EXPECT_EQ("ann:z:9:9::/:/bin/sh\nanna:x:2:2::/:/bin/sh\nann:z:9:9::/:/bin/sh\n", read("passwd"));
  ASSERT_EQ(kOk, modifyRecordInFile("nobody", dir_, "nobody:x", "passwd", "usermod", ""));
  EXPECT_EQ("ann:z:9:9::/:/bin/sh\nanna:x:2:2::/:/bin/sh\nann:z:9:9::/:/bin/sh\n", read("passwd"));
  ASSERT_EQ(kOk, modifyRecordInFile("ann", dir_, "", "passwd", "userdel", ""));
  EXPECT_EQ("anna:x:2:2::/:/bin/sh\n", read("passwd"));
  EXPECT_FALSE(std::ifstream(dir_ + "/passwd.tmp").good());
}

TEST_F(NisSourceFiles, RenameKeepsTheFieldCountOfEachFile) {
  write("shadow", "ann:h:1:2:3:4:5:6:7\nbo:h::::::: \n");
  write("group", "g:x:10:a,b\ngg:x:11:\n");
  ASSERT_EQ(kOk, modifyRecordInFile("ann", dir_, "", "shadow", "userrename", "anne"));
  EXPECT_EQ("anne:h:1:2:3:4:5:6:7\nbo:h::::::: \n", read("shadow"));
  ASSERT_EQ(kOk, modifyRecordInFile("g", dir_, "", "group", "grouprename", "h"));
  EXPECT_EQ("h:x:10:a,b\ngg:x:11:\n", read("group"));
}

TEST_F(NisSourceFiles, AddAppendsTheRecordVerbatim) {
  write("group", "g:x:10:\n");
  const std::string line = "q:\\n\\\\ $x \"'`id`:12:a";
  ASSERT_EQ(kOk, modifyRecordInFile("q", dir_, line, "group", "groupadd", ""));
  EXPECT_EQ("g:x:10:\n" + line + "\n", read("group"));
}

TEST_F(NisSourceFiles, UnknownFileOrOperationRunsNothing) {
  write("passwd", "a:x:1:1::/:/bin/sh\n");
  std::string text;
  bool found;
  EXPECT_EQ(kErrArgument, getRecordFromFile("a", dir_, "hosts", &text, &found));
  EXPECT_EQ(kErrArgument, modifyRecordInFile("a", dir_, "", "../passwd", "userdel", ""));
  EXPECT_EQ(kErrArgument, modifyRecordInFile("a", dir_, "", "passwd", "usermove", ""));
  EXPECT_EQ(kErrArgument, isKeyInMap("a", dir_, "BYHOST", "passwd"));
  // A command that would not fit its buffer is refused, not cut.
  EXPECT_EQ(kErrArgument, modifyRecordInFile(std::string(1100, 'a'), dir_, "", "passwd", "userdel", ""));
  EXPECT_EQ("a:x:1:1::/:/bin/sh\n", read("passwd"));
}

TEST_F(NisSourceFiles, KeyTestAndMapValueReadTabSeparatedDumps) {
  map("passwd.byname",
      "al\tal:x:1001:1001:Al Long Name:/home/al:/bin/sh\nalice\talice:x:1002:1002::/home/alice:/bin/sh\n");
  EXPECT_EQ(kOk, isKeyInMap("al", dir_, "BYNAME", "passwd"));
  EXPECT_NE(kOk, isKeyInMap("a", dir_, "BYNAME", "passwd"));
  EXPECT_NE(kOk, isKeyInMap("a.*", dir_, "BYNAME", "passwd"));
  EXPECT_NE(kOk, isKeyInMap("YP_MASTER_NAME", dir_, "BYNAME", "passwd"));
  EXPECT_NE(kOk, isKeyInMap("al", dir_, "BYUID", "passwd"));  // no such map
  std::string value;
  ASSERT_EQ(kOk, getRecordFromMap(dir_ + "/passwd.byname", "al", &value));
  EXPECT_EQ("al:x:1001:1001:Al Long Name:/home/al:/bin/sh", value);
  EXPECT_EQ(kErrOther, getRecordFromMap(dir_ + "/passwd.byname", "a.", &value));
  EXPECT_EQ(kErrOther, getRecordFromMap(dir_ + "/missing", "al", &value));
  EXPECT_FALSE(std::ifstream("tmp_" + std::to_string(getpid())).good());
  EXPECT_FALSE(std::ifstream("tmpmap_" + std::to_string(getpid())).good());
}

TEST_F(NisSourceFiles, FindIdGivesTheThirdFieldOfTheValue) {
  DbmFile db = DbmFile::open(dir_ + "/clone");
  ASSERT_TRUE(db.isOpen());
  db.store("staff", "staff:x:50:a,b");
  db.store("al", "al:x:1001:100:A:/h:/bin/sh");
  std::string record, id;
  ASSERT_TRUE(findIdFromMap(db, "staff", &record, &id));
  EXPECT_EQ("staff:x:50:a,b", record);
  EXPECT_EQ("50", id);
  ASSERT_TRUE(findIdFromMap(db, "al", &record, &id));
  EXPECT_EQ("1001", id);
  EXPECT_FALSE(findIdFromMap(db, "nobody", &record, &id));
  EXPECT_EQ("", record);
}

TEST_F(NisSourceFiles, LockIsExclusiveBoundedAndLeavesItsFile) {
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t holder = fork();
  if (holder == 0) {
    SourceLock lock;
    if (lockSourceFiles(dir_, lock) != kOk) _exit(1);
    if (::write(ready[1], "x", 1) != 1) _exit(1);
    sleep(1);
    _exit(0);
  }
  char c;
  ASSERT_EQ(1, ::read(ready[0], &c, 1));
  int saved = sourceLockWaitMs;
  sourceLockWaitMs = 200;
  SourceLock lock;
  EXPECT_EQ(kErrLock, lockSourceFiles(dir_, lock));
  EXPECT_FALSE(lock.held());
  // Long enough to outlast the holder.
  sourceLockWaitMs = 5000;
  EXPECT_EQ(kOk, lockSourceFiles(dir_, lock));
  EXPECT_TRUE(lock.held());
  sourceLockWaitMs = saved;
  unlockSourceFiles(lock);
  EXPECT_FALSE(lock.held());
  EXPECT_EQ(0, access((dir_ + "/.pwd.lock").c_str(), F_OK));
  int status;
  waitpid(holder, &status, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(kErrLock, lockSourceFiles(dir_ + "/missing", lock));
}

}  // namespace
