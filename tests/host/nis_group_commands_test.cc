// NIS group commands, and user and group commands running side by side.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "nis_sandbox.h"

namespace {

TEST(NisGroupCommands, AddModifyRenameDeleteReachSourceAndMaps) {
  NisSandbox nis;
  ASSERT_EQ(0, nis.run("addGroup:ops:x:1050:alice,bob").status);
  EXPECT_EQ("ops:x:1050:alice,bob", nis.value("group.bygid", "1050"));
  std::string group = nis.box.read(nis.src + "/group");
  EXPECT_EQ("Error_nisGroupAdd: -4\n", nis.run("addGroup:ops:x:1051:").err);
  EXPECT_EQ("Error_nisGroupAdd: -10\n", nis.run("addGroup:ops2:x:1050:").err);
  EXPECT_EQ(group, nis.box.read(nis.src + "/group"));
  ASSERT_EQ(0, nis.run("addGroup:ops2:x:1050:", {"-o"}).status);
  EXPECT_EQ("ops2:x:1050:", nis.source("group", "ops2"));

  // Empty keeps, "*" clears, a value replaces.
  ASSERT_EQ(0, nis.run("modifyGroup:staff:::").status);
  EXPECT_EQ("staff:x:1001:alice,bob", nis.source("group", "staff"));
  ASSERT_EQ(0, nis.run("modifyGroup:staff:*:1060:*").status);
  EXPECT_EQ("staff::1060:", nis.value("group.bygid", "1060"));
  EXPECT_EQ("", nis.value("group.bygid", "1001"));
  EXPECT_EQ("Error_nisGroupMod: -6\n", nis.run("modifyGroup:ghosts:::a").err);

  ASSERT_EQ(0, nis.run("renameGroup:devs,developers").status);
  EXPECT_EQ("developers:x:1002:bob", nis.value("group.bygid", "1002"));
  EXPECT_EQ("", nis.source("group", "devs"));
  EXPECT_EQ(-4, nis.run("renameGroup:developers,staff").code());
  EXPECT_EQ("Error_nisGroupRename: -6\n", nis.run("renameGroup:devs,x").err);

  // "staff" is a prefix of "staffers": only the exact name goes.
  ASSERT_EQ(0, nis.run("deleteGroup:staff").status);
  EXPECT_EQ("", nis.value("group.byname", "staff"));
  EXPECT_EQ("staffers:x:1003:", nis.value("group.byname", "staffers"));
  EXPECT_EQ(-6, nis.run("deleteGroup:staff").code());
}

TEST(NisCommands, TenUserAndGroupCommandsAtOnceAllLandExactlyOnce) {
  NisSandbox nis;
  std::vector<pid_t> started;
  for (int i = 0; i < 5; ++i) {
    std::string n = std::to_string(i);
    Argv base{"-n", "nis", "-d", nis.maps, "-y", nis.src, "-p"};
    Argv user = base, group = base;
    user.push_back("addUser:u" + n + "::" + std::to_string(2000 + i) + ":100:U:/home/u" + n +
                   ":/bin/sh:x:::::::");
    group.push_back("addGroup:g" + n + ":x:" + std::to_string(3000 + i) + ":u" + n);
    started.push_back(nis.box.startShim(user, {{"encrypted", "x"}}));
    started.push_back(nis.box.startShim(group));
  }
  for (pid_t pid : started) {
    RunResult r = nis.box.finish(pid);
    EXPECT_EQ(0, r.status) << r.err;
  }
  auto passwd = nis.sourceLines("passwd"), shadow = nis.sourceLines("shadow");
  auto group = nis.sourceLines("group");
  EXPECT_EQ(8u, passwd.size());
  EXPECT_EQ(8u, shadow.size());
  EXPECT_EQ(9u, group.size());
  for (int i = 0; i < 5; ++i) {
    std::string n = std::to_string(i);
    EXPECT_EQ(1, std::count(shadow.begin(), shadow.end(), "u" + n + ":!!:::::::"));
    EXPECT_EQ(1, std::count(group.begin(), group.end(),
                            "g" + n + ":x:" + std::to_string(3000 + i) + ":u" + n));
    EXPECT_NE("", nis.value("passwd.byuid", std::to_string(2000 + i)));
    EXPECT_NE("", nis.value("group.byname", "g" + n));
  }
}

TEST(NisCommands, WaitForAHeldSourceLockAndKeepTheLockFile) {
  NisSandbox nis;
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t holder = fork();
  if (holder == 0) {  // another writer, holding the lock for two seconds
    int fd = open((nis.src + "/.pwd.lock").c_str(), O_RDWR | O_CREAT, 0600);
    struct flock l {};
    l.l_type = F_WRLCK;
    if (fd < 0 || fcntl(fd, F_SETLK, &l) != 0 || write(ready[1], "x", 1) != 1) _exit(1);
    sleep(2);
    _exit(0);
  }
  char c;
  ASSERT_EQ(1, read(ready[0], &c, 1));
  pid_t shim = nis.box.startShim({"-n", "nis", "-d", nis.maps, "-y", nis.src, "-p", "addGroup:late:x:1070:"});
  usleep(800 * 1000);
  EXPECT_EQ("", nis.source("group", "late"));
  waitpid(holder, nullptr, 0);
  RunResult r = nis.box.finish(shim);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("late:x:1070:", nis.source("group", "late"));
  EXPECT_TRUE(nis.box.exists(nis.src + "/.pwd.lock"));
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
