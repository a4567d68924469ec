// The NIS source-file toolkit and map clones on files of a private
// directory, which is also the working directory (scratch files go there).
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/file_lock.h"
#include "core/dbm_file.h"
#include "core/result.h"
#include "core/run_directory.h"
#include "core/runner.h"
#include "core/trace.h"
#include "nis/source_files.h"
#include "nis/user_commands.h"
#include "publisher/nis_poll.h"
#include "support/temp_dir.h"
#include "support/text_file.h"

namespace {

class NisFiles : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(temp_.enter());
    runDirectory_.emplace();
  }
  // A map made by the host's makedbm from "key<TAB>value" lines, with the
  // bookkeeping entries it adds (-s: YP_SECURE, -b: YP_INTERDOMAIN).
  void map(const std::string& name, const std::string& lines) {
    writeText("in.txt", lines);
    ASSERT_EQ(kOk, qvSystem("/usr/lib/yp/makedbm -s -b in.txt " + dir_ + "/" + name));
  }
  TempDir temp_;
  const std::string dir_ = temp_.path();
  // Made in this working directory, so declared after it to go before it.
  std::optional<RunDirectoryCleanup> runDirectory_;
};

TEST_F(NisFiles, ReadsAndEditsMatchTheExactFirstFieldOnly) {
  writeText("passwd", "ann:x:1:1::/:/bin/sh\nanna:x:2:2::/:/bin/sh\nann:y:3:3::/:/bin/sh\n");
  std::string text;
  bool found = false;
  ASSERT_EQ(kOk, getRecordFromFile("ann", dir_, "passwd", &text, &found));
  EXPECT_EQ("ann:x:1:1::/:/bin/sh\nann:y:3:3::/:/bin/sh", text);
  ASSERT_EQ(kOk, getRecordFromFile("an.*", dir_, "passwd", &text, &found));
  EXPECT_TRUE(found);
  EXPECT_EQ("", text);
  ASSERT_EQ(kOk, modifyRecordInFile("ann", dir_, "ann:z:9:9::/:/bin/sh", "passwd", "usermod", ""));
  EXPECT_EQ("ann:z:9:9::/:/bin/sh\nanna:x:2:2::/:/bin/sh\nann:z:9:9::/:/bin/sh\n", readText("passwd"));
  ASSERT_EQ(kOk, modifyRecordInFile("ann", dir_, "", "passwd", "userdel", ""));
  EXPECT_EQ("anna:x:2:2::/:/bin/sh\n", readText("passwd"));
  writeText("shadow", "ann:h:1:2:3:4:5:6:7\n");
  ASSERT_EQ(kOk, modifyRecordInFile("ann", dir_, "", "shadow", "userrename", "anne"));
  EXPECT_EQ("anne:h:1:2:3:4:5:6:7\n", readText("shadow"));
  EXPECT_NE(0, access("passwd.tmp", F_OK));

  // Unknown files and operations, and commands too long for their buffer,
  // run nothing.
  EXPECT_EQ(kErrArgument, getRecordFromFile("a", dir_, "hosts", &text, &found));
  EXPECT_EQ(kErrArgument, modifyRecordInFile("a", dir_, "", "../passwd", "userdel", ""));
  EXPECT_EQ(kErrArgument, modifyRecordInFile("a", dir_, "", "passwd", "usermove", ""));
  EXPECT_EQ(kErrArgument, modifyRecordInFile(std::string(1100, 'a'), dir_, "", "passwd", "userdel", ""));
  EXPECT_EQ("anna:x:2:2::/:/bin/sh\n", readText("passwd"));
}

TEST_F(NisFiles, MapsAreReadWholeByTheirExactKeysWithoutBookkeeping) {
  map("passwd.byname", "al\tal:x:1001:1001:Al  Long Name:/home/al:/bin/sh\nalice\talice:x:2:2::/:/\n"
                       "odd\tYP_MASTER_NAME\n");
  EXPECT_EQ(kOk, isKeyInMap("al", dir_, "BYNAME", "passwd"));
  for (const char* absent : {"a", "a.*", "YP_SECURE"})
    EXPECT_NE(kOk, isKeyInMap(absent, dir_, "BYNAME", "passwd")) << absent;
  EXPECT_NE(kOk, isKeyInMap("al", dir_, "BYUID", "passwd"));  // no such map
  std::string value;
  ASSERT_EQ(kOk, getRecordFromMap(dir_ + "/passwd.byname", "al", &value));
  EXPECT_EQ("al:x:1001:1001:Al  Long Name:/home/al:/bin/sh", value);
  EXPECT_EQ(kErrOther, getRecordFromMap(dir_ + "/passwd.byname", "a.", &value));

}

// What cannot be read fails as the tools that once read it did: a source
// file as awk's read, a map gdbm cannot open as makedbm's dump. A map that
// opens but is damaged part-way answers what it can reach, and fails past
// the damage, where makedbm's dump stopped short without a word.
TEST_F(NisFiles, UnreadableSourcesAndMapsFailAsTheirToolsDid) {
  ASSERT_EQ(0, mkdir("group", 0700));
  std::string text;
  bool found = false;
  resetErrorTrace();
  EXPECT_EQ(kErrArgument, getRecordFromFile("al", dir_, "group", &text, &found));
  EXPECT_STREQ("Error_qvSystem", errorTraceText());
  writeText("passwd.byname", std::string(8192, 'x'));
  resetErrorTrace();
  EXPECT_EQ(kErrOther, isKeyInMap("al", dir_, "BYNAME", "passwd"));
  EXPECT_STREQ("Error_qvSystem", errorTraceText());
  resetErrorTrace();

  std::string lines;
  for (int id = 1; id <= 3000; ++id) lines += std::to_string(id) + "\tu:x:" + std::to_string(id) + ":1::/:/bin/sh\n";
  map("passwd.byuid", lines);
  std::fstream damage("passwd.byuid", std::ios::in | std::ios::out | std::ios::binary);
  damage.seekp(100000);
  damage << std::string(4000, 'x');
  damage.close();
  EXPECT_EQ(kOk, isKeyInMap("5", dir_, "BYUID", "passwd"));
  // Past the damage nothing is known: never "not there".
  EXPECT_EQ(kErrOther, isKeyInMap("7777", dir_, "BYUID", "passwd"));
  EXPECT_STREQ("Error_qvSystem", errorTraceText());
}

// The scratch files named after the process live in the run's own
// directory: a link planted under such a name in the working directory is
// neither followed nor in the way.
TEST_F(NisFiles, PlantedLinksUnderTheProcessNamesAreLeftAlone) {
  writeText("passwd", "al:x:1:1::/:/bin/sh\n");
  map("passwd.byname", "al\tal:x:1:1::/:/bin/sh\n");
  writeText("victim", "victim\n");
  std::string text;
  bool found = false;
  for (const char* prefix : {"tmptmp_", "tmpmap_", "tmp_"}) {
    const std::string name = prefix + std::to_string(getpid());
    ASSERT_EQ(0, symlink("victim", name.c_str()));
    int result = std::string(prefix) == "tmptmp_"
                      ? getRecordFromFile("al", dir_, "passwd", &text, &found)
                      : isKeyInMap("al", dir_, "BYNAME", "passwd");
    EXPECT_EQ(kOk, result) << prefix;
    if (std::string(prefix) == "tmp_") {
      EXPECT_EQ(kOk, getRecordFromMap(dir_ + "/passwd.byname", "al", &text));
    }
    EXPECT_EQ("victim\n", readText("victim")) << prefix;
    unlink(name.c_str());
  }
}

TEST_F(NisFiles, LockIsExclusiveBoundedAndLeavesItsFile) {
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t holder = fork();
  if (holder == 0) {
    SourceLock lock;
    if (lockSourceFiles(dir_, lock) != kOk || ::write(ready[1], "x", 1) != 1) _exit(1);
    sleep(1);
    _exit(0);
  }
  char c;
  ASSERT_EQ(1, ::read(ready[0], &c, 1));
  auto msSince = [](std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
        .count();
  };
  // A held lock is waited for over the whole patience, attempts x pause.
  FileLock direct;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kErrLock, direct.acquire(dir_ + "/.pwd.lock", 3, 100));
  EXPECT_GE(msSince(start), 290);
  int saved = sourceLockWaitMs;
  sourceLockWaitMs = 200;
  SourceLock lock;
  EXPECT_EQ(kErrLock, lockSourceFiles(dir_, lock));
  sourceLockWaitMs = 5000;  // outlasts the holder
  EXPECT_EQ(kOk, lockSourceFiles(dir_, lock));
  sourceLockWaitMs = saved;
  lock.release();
  // A free lock is taken at once, however long the pause between attempts.
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(kOk, direct.acquire(dir_ + "/.pwd.lock", 2, 5000));
  EXPECT_LT(msSince(start), 1000);
  direct.release();
  EXPECT_EQ(0, access(".pwd.lock", F_OK));
  EXPECT_EQ(kErrLock, lockSourceFiles(dir_ + "/missing", lock));
  waitpid(holder, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
