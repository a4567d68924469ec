// Building, committing and cleaning up the files poll's snapshots, in a
// scratch working directory (no account file is read).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/dbm_file.h"
#include "core/result.h"
#include "core/trace.h"
#include "publisher/change_cache.h"
#include "publisher/files_poll.h"

namespace {

struct ScratchDir {
  std::string path, saved;
  ScratchDir() {
    char tmpl[] = "/tmp/kdl2nis-snap-XXXXXX";
    path = mkdtemp(tmpl);
    char buf[4096];
    saved = getcwd(buf, sizeof buf);
    EXPECT_EQ(0, chdir(path.c_str()));
  }
  ~ScratchDir() {
    EXPECT_EQ(0, chdir(saved.c_str()));
    std::system(("rm -rf '" + path + "'").c_str());
    resetErrorTrace();
  }
};

void writeText(const std::string& name, const std::string& text) { std::ofstream(name) << text; }

std::string readText(const std::string& name) {
  std::ifstream in(name);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int countEntries(const std::string& dir) {
  int n = 0;
  std::string cmd = "ls -A '" + dir + "' 2>/dev/null | wc -l";
  FILE* p = popen(cmd.c_str(), "r");
  if (fscanf(p, "%d", &n) != 1) n = -1;
  pclose(p);
  return n;
}

TEST(CreateDbm, KeysAreAccountNamesAndLinesWithoutANameOverwriteNothing) {
  ScratchDir here;
  // As awk writes "$1 $0" for: a normal line, a blank line, a line with an
  // empty name, a name holding a blank, and a later duplicate.
  writeText("platformdbm.tmp",
            "jo jo:x:1:1::/h:/bin/sh\n"
            " \n"
            " :x:0:0::/:/bin/sh\n"
            "a b a b:x:2:2::/:/bin/sh\n"
            "ann ann:x:3:3::/:/bin/sh\n");
  ASSERT_EQ(kOk, createDbm(1));
  EXPECT_NE(0, access("platformdbm.tmp", F_OK));
  DbmFile db = DbmFile::open("passwd.log.tmp");
  EXPECT_EQ("jo:x:1:1::/h:/bin/sh", db.fetch("jo").value_or(""));
  EXPECT_EQ("a b:x:2:2::/:/bin/sh", db.fetch("a b").value_or(""));
  EXPECT_EQ("ann:x:3:3::/:/bin/sh", db.fetch("ann").value_or(""));
  EXPECT_FALSE(db.fetch(""));
  int keys = 0;
  walkMapKeys(db.get(), [&](const Datum&) { return ++keys, true; });
  EXPECT_EQ(3, keys);
}

TEST(CreateDbm, LongGroupLinesGoToOverflowFilesLongPasswdLinesStayInline) {
  ScratchDir here;
  std::string longGroup = "big:x:5:" + std::string(1200, 'm');
  std::string longUser = "jo:x:1:1:" + std::string(1200, 'c') + ":/h:/bin/sh";
  writeText("platformdbm.tmp", "big " + longGroup + "\nsmall small:x:6:a\n");
  ASSERT_EQ(kOk, createDbm(0));
  DbmFile group = DbmFile::open("group.log.tmp");
  std::string ref = group.fetch("big").value_or("");
  ASSERT_TRUE(isOverflowReference(ref)) << ref;
  EXPECT_EQ(0u, overflowPath(ref).find("./d.overflow/" + std::to_string(std::time(nullptr)).substr(0, 8)));
  EXPECT_EQ(longGroup, readText(overflowPath(ref)));
  EXPECT_EQ("small:x:6:a", group.fetch("small").value_or(""));
  struct stat st;
  ASSERT_EQ(0, stat("d.overflow", &st));
  EXPECT_EQ(0755u, st.st_mode & 0777);

  writeText("platformdbm.tmp", "jo " + longUser + "\n");
  ASSERT_EQ(kOk, createDbm(1));
  EXPECT_EQ(longUser, DbmFile::open("passwd.log.tmp").fetch("jo").value_or(""));
  EXPECT_EQ(1, countEntries("d.overflow"));
}

TEST(CreateDbm, TakenOverflowNamesAreSkippedAndFailuresAreMinusTwo) {
  ScratchDir here;
  mkdir("d.overflow", 0755);
  long now = std::time(nullptr);
  for (int i = 0; i < 128; ++i) writeText("d.overflow/" + std::to_string(now) + std::to_string(i), "taken");
  std::string longGroup = "big:x:5:" + std::string(1200, 'm');
  writeText("platformdbm.tmp", "big " + longGroup + "\n");
  ASSERT_EQ(kOk, createDbm(0));
  std::string ref = DbmFile::open("group.log.tmp").fetch("big").value_or("");
  EXPECT_EQ(longGroup, readText(overflowPath(ref)));
  EXPECT_EQ("taken", readText("d.overflow/" + std::to_string(now) + "0"));

  // No text at all, or no room for the overflow directory.
  EXPECT_EQ(kErrNotFound, createDbm(0));
  EXPECT_STREQ("Error_createDbm", errorTraceText());
  std::system("rm -rf d.overflow && echo x > d.overflow");
  writeText("platformdbm.tmp", "big " + longGroup + "\n");
  EXPECT_EQ(kErrNotFound, createDbm(0));
  EXPECT_NE(0, access("platformdbm.tmp", F_OK));
}

TEST(RestoreFilesBackup, ReplacedGenerationLosesItsOverflowFilesOnlyOnceTheNewOneIsInPlace) {
  ScratchDir here;
  mkdir("d.overflow", 0755);
  writeText("d.overflow/old", "big:x:5:old");
  writeText("d.overflow/new", "big:x:5:new");
  DbmFile::open("group.log").store("big", "file://./d.overflow/old");
  DbmFile::open("group.log.tmp").store("big", "file://./d.overflow/new");

  // The new generation is missing: the committed one keeps its files.
  rename("group.log.tmp", "elsewhere");
  EXPECT_EQ(kErrOther, restoreFilesBackup("group"));
  EXPECT_STREQ("Error_restoreFilesBackup", errorTraceText());
  EXPECT_EQ(0, access("d.overflow/old", F_OK));

  rename("elsewhere", "group.log.tmp");
  EXPECT_EQ(kOk, restoreFilesBackup("group"));
  EXPECT_NE(0, access("d.overflow/old", F_OK));
  EXPECT_EQ(0, access("d.overflow/new", F_OK));
  EXPECT_EQ("file://./d.overflow/new", DbmFile::open("group.log").fetch("big").value_or(""));
  EXPECT_NE(0, access("group.log.tmp", F_OK));

  DbmFile::open("shadow.log.tmp").store("jo", "jo:H:::::::");
  EXPECT_EQ(kOk, restoreFilesBackup("shadow"));
  EXPECT_EQ(0, access("shadow.log", F_OK));
}

TEST(RemoveTmpOverflowFiles, DeletesWhatTheNewGroupSnapshotReferredTo) {
  ScratchDir here;
  mkdir("d.overflow", 0755);
  writeText("d.overflow/a", "x");
  writeText("d.overflow/keep", "x");
  DbmFile db = DbmFile::open("group.log.tmp");
  db.store("big", "file://./d.overflow/a");
  db.store("gone", "file://./d.overflow/missing");
  db.store("small", "small:x:1:");
  db.close();
  removeTmpOverflowFiles();
  EXPECT_NE(0, access("d.overflow/a", F_OK));
  EXPECT_EQ(0, access("d.overflow/keep", F_OK));
}

}  // namespace
