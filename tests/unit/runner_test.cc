#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/entry.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/trace.h"
#include "support/temp_dir.h"
#include "support/text_file.h"

namespace {

TEST(MapToolExit, FollowsTheAccountToolTable) {
  EXPECT_EQ(kOk, mapToolExit(0));
  EXPECT_EQ(kErrArgument, mapToolExit(2));
  EXPECT_EQ(kErrArgument, mapToolExit(3));
  EXPECT_EQ(kErrIdInUse, mapToolExit(4));
  EXPECT_EQ(kErrArgument, mapToolExit(6));
  EXPECT_EQ(kErrLoggedIn, mapToolExit(8));
  EXPECT_EQ(kErrNameInUse, mapToolExit(9));
  for (int s : {1, 5, 7, 10, 12, 127, 254, 255}) EXPECT_EQ(kErrOther, mapToolExit(s)) << s;
}

TEST(QvSystem, MapsExitStatusesAndTracesFailures) {
  resetErrorTrace();
  EXPECT_EQ(kOk, qvSystem("exit 0"));
  EXPECT_STREQ("Error", errorTraceText());
  EXPECT_EQ(kErrIdInUse, qvSystem("exit 4"));
  EXPECT_EQ(kErrNameInUse, qvSystem("exit 9"));
  EXPECT_EQ(kErrOther, qvSystem("exit 1"));
  EXPECT_STREQ("Error_qvSystem_qvSystem_qvSystem", errorTraceText());
  resetErrorTrace();
}

TEST(QvSystem, DeathBySignalIsMinusTwo) {
  EXPECT_EQ(kErrNotFound, qvSystem("kill -KILL $$"));
  EXPECT_EQ(kErrNotFound, qvSystem("kill -TERM $$"));
  resetErrorTrace();
}

TEST(QvSystem, ArgumentVectorRunsWithoutShellAndExecFailureMapsThroughTheToolTable) {
  EXPECT_EQ(kOk, qvSystem("/bin/true", std::vector<std::string>{"true"}));
  EXPECT_EQ(kErrOther, qvSystem("/bin/sh", std::vector<std::string>{"sh", "-c", "exit 1", "$(exit 0)"}));
  // 254 is "other failure" for the tools but means exec failed here.
  EXPECT_EQ(kErrOther, qvSystem("/nonexistent/tool", std::vector<std::string>{"tool"}));
  EXPECT_EQ(kErrArgument, qvSystem(static_cast<const char*>(nullptr)));
  resetErrorTrace();
}

TEST(QvSystem, HandsExtraEnvironmentToTheChildOnly) {
  TempDir temp;
  const std::string path = temp / "env";
  ASSERT_EQ(kOk, qvSystem("printf '%s' \"$QV_SECRET\" > " + path,
                          ChildEnvironment{{"QV_SECRET", "a b'c"}}));
  EXPECT_EQ("a b'c", readText(path));
  EXPECT_EQ(nullptr, getenv("QV_SECRET"));
}

TEST(FileMtime, MissingIsMinusTwoAndAnyKindOfFileExists) {
  EXPECT_EQ(-2, fileMtime("/nonexistent/file"));
  struct stat st;
  ASSERT_EQ(0, stat("/etc", &st));
  EXPECT_EQ(st.st_mtime, fileMtime("/etc"));
}

TEST(SearchPath, FindsFirstDirectoryAndFailsCleanly) {
  std::string dir;
  ASSERT_EQ(kOk, searchPath("sh", &dir));
  EXPECT_EQ("/usr/bin/", dir);  // merged /usr: /usr/bin before /bin
  ASSERT_EQ(kOk, searchPath("useradd", &dir));
  EXPECT_EQ("/usr/sbin/", dir);
  resetErrorTrace();
  EXPECT_EQ(kErrNotFound, searchPath("no-such-tool-kdl2nis", &dir));
  EXPECT_STREQ("Error_searchPath", errorTraceText());
  EXPECT_EQ(kErrArgument, searchPath(nullptr, &dir));
  resetErrorTrace();
}

// SIGTERM while a command runs: the child is stopped, files that this
// process did not make stay (even under a poll's snapshot names: they are
// another process's), and the process ends with status 0.
TEST(OnTerminate, StopsChildLeavesFilesItDidNotMakeAndExitsZero) {
  TempDir temp;
  const std::string d = temp.path();
  const char* maps[] = {"passwd.log.tmp",        "shadow.log.tmp",        "group.log.tmp",
                        "passwd.byname.log.tmp", "shadow.byname.log.tmp", "group.byname.log.tmp"};
  for (const char* m : maps) std::ofstream(d + "/" + m) << "x";
  std::ofstream(d + "/keep.log") << "x";

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (chdir(d.c_str()) != 0) _exit(3);
    signal(SIGTERM, onTerminate);
    qvSystem("echo $$ > child.pid; exec sleep 30");
    _exit(7);  // only reached if the child was not stopped by the handler
  }
  std::string childFile = d + "/child.pid";
  for (int i = 0; i < 500 && access(childFile.c_str(), F_OK) != 0; ++i) usleep(10000);
  usleep(50000);
  std::ifstream in(childFile);
  pid_t sleeper = 0;
  in >> sleeper;
  ASSERT_GT(sleeper, 0);
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  // Orphaned children may linger as zombies until init reaps them.
  auto running = [](pid_t p) {
    std::ifstream stat("/proc/" + std::to_string(p) + "/stat");
    std::string pidText, comm, state;
    return bool(stat >> pidText >> comm >> state) && state != "Z";
  };
  for (int i = 0; i < 100 && running(sleeper); ++i) usleep(10000);
  EXPECT_FALSE(running(sleeper)) << "the running command was not stopped";
  for (const char* m : maps) EXPECT_EQ(0, access((d + "/" + m).c_str(), F_OK)) << m;
  EXPECT_EQ(0, access((d + "/keep.log").c_str(), F_OK));
}

}  // namespace
