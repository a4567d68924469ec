// Building, committing and cleaning up the files poll's snapshots, in a
// scratch working directory (no account file is read).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "core/result.h"
#include "core/runner.h"
#include "core/trace.h"
#include "publisher/overflow_files.h"
#include "publisher/snapshot_store.h"
#include "publisher/files_poll.h"
#include "support/dbm_read.h"
#include "support/temp_dir.h"

namespace {

// The working directory while it lasts.
struct ScratchDir : TempDir {
  ScratchDir() { enter(); }
  ~ScratchDir() { resetErrorTrace(); }
};

void put(const std::string& name, const std::string& text) { std::ofstream(name) << text; }
std::string get(const std::string& name) {
  std::stringstream s;
  s << std::ifstream(name).rdbuf();
  return s.str();
}

// The snapshot of one table built by awk from the source file "table" in
// the scratch directory, into target made afresh.
int build(const char* target, bool overflow, bool mark = true) {
  std::string awkDir;
  EXPECT_EQ(kOk, searchPath("awk", &awkDir));
  unlink(target);
  return createDbm(awkDir, "table", "handleFilesChange", target, overflow, mark);
}

TEST(CreateDbm, NamesAreKeysNamelessLinesAreSkippedLongGroupsOverflowLongUsersDoNot) {
  ScratchDir here;
  // A line, a blank line, an empty name, a name holding a blank.
  put("table", "jo:x:1:1::/h:/bin/sh\n\n:x:0:0::/:/bin/sh\na b:x:2:2::/:/bin/sh\n");
  ASSERT_EQ(kOk, build("passwd.log.tmp", false));
  EXPECT_NE(0, access("platformdbm.tmp", F_OK));
  DbmFile users = openSnapshot("passwd.log.tmp");
  EXPECT_EQ("jo:x:1:1::/h:/bin/sh", valueOf(users, "jo").value_or(""));
  EXPECT_EQ("a b:x:2:2::/:/bin/sh", valueOf(users, "a b").value_or(""));
  int keys = 0;
  walkMapKeys(users.get(), [&](const Datum&) { return ++keys, true; });
  EXPECT_EQ(2, keys);
  users.close();

  std::string longGroup = "big:x:5:" + std::string(1200, 'm');
  put("table", longGroup + "\nsmall:x:6:a\n");
  ASSERT_EQ(kOk, build("group.log.tmp", true));
  DbmFile groups = openSnapshot("group.log.tmp");
  std::string ref = valueOf(groups, "big").value_or("");
  ASSERT_TRUE(isOverflowReference(ref)) << ref;
  EXPECT_EQ(longGroup, get(overflowPath(ref)));
  EXPECT_EQ("small:x:6:a", valueOf(groups, "small").value_or(""));
  struct stat st;
  ASSERT_EQ(0, stat("d.overflow", &st));
  EXPECT_EQ(0755u, st.st_mode & 0777);

  std::string longUser = "jo:x:1:1:" + std::string(1200, 'c') + ":/h:/bin/sh";
  put("table", longUser + "\n");
  ASSERT_EQ(kOk, build("passwd.log.tmp", false));
  users = openSnapshot("passwd.log.tmp");
  EXPECT_EQ(longUser, valueOf(users, "jo").value_or(""));
  EXPECT_FALSE(valueOf(users, "a b")) << "built on top of the earlier snapshot";
}

TEST(CreateDbm, TakenOverflowNamesAreSkippedAndFailuresAreMinusTwo) {
  ScratchDir here;
  mkdir("d.overflow", 0755);
  std::string now = std::to_string(std::time(nullptr));
  for (int i = 0; i < 128; ++i) put("d.overflow/" + now + std::to_string(i), "taken");
  std::string longGroup = "big:x:5:" + std::string(1200, 'm');
  put("table", longGroup + "\n");
  ASSERT_EQ(kOk, build("group.log.tmp", true));
  EXPECT_EQ(longGroup, get(overflowPath(valueOf(openSnapshot("group.log.tmp"), "big").value_or(""))));
  EXPECT_EQ("taken", get("d.overflow/" + now + "0"));

  std::system("rm -rf d.overflow && echo x > d.overflow");
  EXPECT_EQ(kErrNotFound, build("group.log.tmp", true));  // no overflow directory possible
  EXPECT_STREQ("Error_createDbm", errorTraceText());
  EXPECT_NE(0, access("platformdbm.tmp", F_OK));
}

TEST(RestoreFilesBackup, OldOverflowFilesGoOnlyOnceTheNewGenerationIsInPlace) {
  ScratchDir here;
  mkdir("d.overflow", 0755);
  put("d.overflow/old", "big:x:5:old");
  put("d.overflow/new", "big:x:5:new");
  openSnapshot("group.log").store("big", "file://./d.overflow/old");
  openSnapshot("elsewhere").store("big", "file://./d.overflow/new");
  EXPECT_EQ(kErrOther, restoreFilesBackup("group"));  // no new generation
  EXPECT_STREQ("Error_restoreFilesBackup", errorTraceText());
  EXPECT_EQ(0, access("d.overflow/old", F_OK));

  rename("elsewhere", "group.log.tmp");
  EXPECT_EQ(kOk, restoreFilesBackup("group"));
  EXPECT_NE(0, access("d.overflow/old", F_OK));
  EXPECT_EQ("file://./d.overflow/new", valueOf(openSnapshot("group.log"), "big").value_or(""));

  // An uncommitted generation takes its own files with it.
  openSnapshot("group.log.tmp").store("big", "file://./d.overflow/new");
  removeTmpOverflowFiles();
  EXPECT_NE(0, access("d.overflow/new", F_OK));
}

}  // namespace
