// NIS group commands, and user and group commands running side by side.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

#include "nis_sandbox.h"

namespace {

TEST(NisGroupAdd, AddsLineAndMapsRefusingTakenNameOrGidUnlessAllowed) {
  NisSandbox nis;
  RunResult r = nis.run("addGroup:ops:x:1050:alice,bob");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("ops:x:1050:alice,bob", nis.source("group", "ops"));
  EXPECT_EQ("ops:x:1050:alice,bob", nis.value("group.byname", "ops"));
  EXPECT_EQ("ops:x:1050:alice,bob", nis.value("group.bygid", "1050"));

  std::string group = nis.box.read(nis.src + "/group");
  r = nis.run("addGroup:ops:x:1051:");
  EXPECT_EQ(-4, r.code());
  EXPECT_EQ("Error_nisGroupAdd: -4\n", r.err);
  r = nis.run("addGroup:ops2:x:1050:");
  EXPECT_EQ(-10, r.code());
  EXPECT_EQ(group, nis.box.read(nis.src + "/group"));
  r = nis.run("addGroup:ops2:x:1050:", {"-o"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("ops2:x:1050:", nis.source("group", "ops2"));
}

TEST(NisGroupMod, EmptyKeepsStarClearsValueReplaces) {
  NisSandbox nis;
  RunResult r = nis.run("modifyGroup:staff:::");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("staff:x:1001:alice,bob", nis.source("group", "staff"));
  r = nis.run("modifyGroup:staff::1060:*");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("staff:x:1060:", nis.source("group", "staff"));
  EXPECT_EQ("staff:x:1060:", nis.value("group.bygid", "1060"));
  EXPECT_EQ("", nis.value("group.bygid", "1001"));
  r = nis.run("modifyGroup:staff:*::carol");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("staff::1060:carol", nis.value("group.byname", "staff"));
  r = nis.run("modifyGroup:ghosts:::a");
  EXPECT_EQ(-6, r.code());
  EXPECT_EQ("Error_nisGroupMod: -6\n", r.err);
}

TEST(NisGroupDel, RemovesOnlyTheExactName) {
  NisSandbox nis;
  RunResult r = nis.run("deleteGroup:staff");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", nis.source("group", "staff"));
  EXPECT_EQ("staffers:x:1003:", nis.source("group", "staffers"));
  EXPECT_EQ("", nis.value("group.byname", "staff"));
  EXPECT_EQ("staffers:x:1003:", nis.value("group.byname", "staffers"));
  r = nis.run("deleteGroup:staff");
  EXPECT_EQ(-6, r.code());
}

TEST(NisGroupRename, KeepsPasswordGidAndMembers) {
  NisSandbox nis;
  RunResult r = nis.run("renameGroup:devs,developers");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("developers:x:1002:bob", nis.source("group", "developers"));
  EXPECT_EQ("", nis.source("group", "devs"));
  EXPECT_EQ("developers:x:1002:bob", nis.value("group.bygid", "1002"));
  r = nis.run("renameGroup:developers,staff");
  EXPECT_EQ(-4, r.code());
  r = nis.run("renameGroup:devs,x");
  EXPECT_EQ(-6, r.code());
  EXPECT_EQ("Error_nisGroupRename: -6\n", r.err);
}

TEST(NisCommands, TenUserAndGroupCommandsAtOnceAllLand) {
  NisSandbox nis;
  std::vector<pid_t> started;
  for (int i = 0; i < 5; ++i) {
    std::string n = std::to_string(i);
    started.push_back(nis.box.startShim({"-n", "nis", "-d", nis.maps, "-y", nis.src, "-p",
                                         "addUser:u" + n + "::" + std::to_string(2000 + i) +
                                             ":100:U " + n + ":/home/u" + n + ":/bin/sh:x:::::::"},
                                        {{"encrypted", "x"}}));
    started.push_back(nis.box.startShim({"-n", "nis", "-d", nis.maps, "-y", nis.src, "-p",
                                         "addGroup:g" + n + ":x:" + std::to_string(3000 + i) +
                                             ":u" + n}));
  }
  for (pid_t pid : started) {
    RunResult r = nis.box.finish(pid);
    EXPECT_EQ(0, r.status) << r.err;
  }
  auto passwd = nis.sourceLines("passwd");
  auto shadow = nis.sourceLines("shadow");
  auto group = nis.sourceLines("group");
  EXPECT_EQ(3u + 5u, passwd.size());
  EXPECT_EQ(3u + 5u, shadow.size());
  EXPECT_EQ(4u + 5u, group.size());
  for (int i = 0; i < 5; ++i) {
    std::string n = std::to_string(i);
    EXPECT_EQ(1, std::count(passwd.begin(), passwd.end(),
                            "u" + n + ":x:" + std::to_string(2000 + i) + ":100:U " + n +
                                ":/home/u" + n + ":/bin/sh"));
    EXPECT_EQ(1, std::count(shadow.begin(), shadow.end(), "u" + n + ":!!:::::::"));
    EXPECT_EQ(1, std::count(group.begin(), group.end(),
                            "g" + n + ":x:" + std::to_string(3000 + i) + ":u" + n));
    EXPECT_NE("", nis.value("passwd.byname", "u" + n));
    EXPECT_NE("", nis.value("group.bygid", std::to_string(3000 + i)));
  }
  EXPECT_TRUE(nis.box.exists(nis.src + "/.pwd.lock"));
}

TEST(NisCommands, WaitForAHeldSourceLockAndKeepTheLockFile) {
  NisSandbox nis;
  // Another writer holds the lock for a while.
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t holder = fork();
  if (holder == 0) {
    int fd = open((nis.src + "/.pwd.lock").c_str(), O_RDWR | O_CREAT, 0600);
    struct flock l {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_SETLK, &l) != 0) _exit(1);
    if (write(ready[1], "x", 1) != 1) _exit(1);
    sleep(2);
    _exit(0);
  }
  char c;
  ASSERT_EQ(1, read(ready[0], &c, 1));
  close(ready[0]);
  close(ready[1]);
  pid_t shim = nis.box.startShim(
      {"-n", "nis", "-d", nis.maps, "-y", nis.src, "-p", "addGroup:late:x:1070:"});
  usleep(800 * 1000);
  // Still waiting: nothing written yet.
  EXPECT_EQ("", nis.source("group", "late"));
  int status = 0;
  waitpid(holder, &status, 0);
  EXPECT_EQ(0, WEXITSTATUS(status));
  RunResult r = nis.box.finish(shim);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("late:x:1070:", nis.source("group", "late"));
  EXPECT_TRUE(nis.box.exists(nis.src + "/.pwd.lock"));
}

}  // namespace
