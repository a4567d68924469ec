// User commands of the files backend with the host's real account tools, in
// the sandbox: argument vectors, resulting account lines, failure codes.
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files_test_support.h"

namespace {

class FilesUser : public FilesSandboxTest {};

TEST_F(FilesUser, AddRunsUseraddThenChageAndStoresThePassword) {
  box.record("/usr/sbin/useradd");
  box.record("/usr/bin/chage");
  RunResult r = box.shim({"-n", "files", "-o", "-p",
                          userEvent("addUser", "jo", {{kPasswd, "x"}, {kUid, "1001"}, {kGid, "100"}, {kGecos, "Jo"}, {kHome, "/home/jo"}, {kShell, "/bin/sh"}, {kMinDays, "1"}, {kMaxDays, "90"}, {kWarnDays, "7"}})},
                         {{"encrypted", "abHASHabcdefg"}});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ((std::vector<Argv>{{"-u", "1001", "-o", "-g", "100", "-c", "Jo", "-d", "/home/jo", "-s",
                                "/bin/sh", "-M", "jo"}}),
            box.calls("/usr/sbin/useradd"));
  EXPECT_EQ((std::vector<Argv>{{"-m", "1", "-M", "90", "-W", "7", "jo"}}), box.calls("/usr/bin/chage"));
  EXPECT_EQ("jo:x:1001:100:Jo:/home/jo:/bin/sh", box.entry("/etc/passwd", "jo"));
  auto shadow = shadowFields("jo");
  ASSERT_EQ(9u, shadow.size());
  EXPECT_EQ("abHASHabcdefg", shadow[1]);
  EXPECT_EQ("1", shadow[3]);
  EXPECT_EQ("90", shadow[4]);
  EXPECT_EQ("7", shadow[5]);
  EXPECT_FALSE(box.exists("/home/jo"));
  EXPECT_FALSE(box.exists("/etc/qvpwd.tmp"));
  expectShadowOwnership();
}

TEST_F(FilesUser, AddMakesTheHomeOnlyWhenAskedAndAHomeIsGiven) {
  box.record("/usr/sbin/useradd");
  ASSERT_EQ(0, box.shim({"-n", "files", "-m", "-p", userEvent("addUser", "jo", {{kGecos, "Jo"}, {kHome, "/home/jo"}})}).status);
  ASSERT_EQ(0, box.shim({"-n", "files", "-m", "-p", userEvent("addUser", "ann", {{kGecos, "Ann"}})}).status);
  auto calls = box.calls("/usr/sbin/useradd");
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ((Argv{"-c", "Jo", "-d", "/home/jo", "-m", "jo"}), calls[0]);
  EXPECT_EQ((Argv{"-c", "Ann", "-M", "ann"}), calls[1]);
  struct stat st;
  ASSERT_EQ(0, stat("/home/jo", &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(FilesUser, AddFailuresKeepTheToolsCodeAndTrace) {
  box.record("/usr/sbin/useradd");
  box.record("/usr/bin/chage");
  std::string shadowBefore = box.read("/etc/shadow");

  // Nothing to pass to either tool: nothing runs, nothing is written.
  RunResult none = box.shim({"-n", "files", "-p", userEvent("addUser", "jo", {{kShadowPasswd, "pw"}})});
  EXPECT_EQ(-11, none.code());
  EXPECT_EQ("Error_handleUserAdd: -11", traceLine(none));
  EXPECT_TRUE(box.calls("/usr/sbin/useradd").empty());
  EXPECT_TRUE(box.calls("/usr/bin/chage").empty());
  EXPECT_EQ(shadowBefore, box.read("/etc/shadow"));

  RunResult taken = box.shim({"-n", "files", "-p", userEvent("addUser", "daemon", {{kUid, "4242"}})});
  EXPECT_EQ(-4, taken.code());
  EXPECT_EQ("Error_qvSystem_handleUserAdd: -4", traceLine(taken));

  RunResult sameUid = box.shim({"-n", "files", "-p", userEvent("addUser", "jo", {{kUid, "1"}})});
  EXPECT_EQ(-10, sameUid.code());
  EXPECT_EQ("Error_qvSystem_handleUserAdd: -10", traceLine(sameUid));
  // A line too long for the tools' buffer is refused, never cut.
  RunResult tooLong = box.shim({"-n", "files", "-p", userEvent("addUser", "jo", {{kGecos, std::string(1100, 'g')}})});
  EXPECT_EQ(-3, tooLong.code());
  EXPECT_EQ("Error_constructFilesCommand_handleUserAdd: -3", traceLine(tooLong));
  EXPECT_EQ(2u, box.calls("/usr/sbin/useradd").size());
  EXPECT_EQ("", box.entry("/etc/passwd", "jo"));
  // chage never ran after a failing useradd.
  EXPECT_TRUE(box.calls("/usr/bin/chage").empty());
  EXPECT_EQ(shadowBefore, box.read("/etc/shadow"));
}

TEST_F(FilesUser, ModifyPassesClearedFieldsAndLeavesEmptyOnesAlone) {
  addUser("jo", "1001", "Jo Old");
  box.record("/usr/sbin/usermod");
  box.record("/usr/bin/chage");
  std::string hash = shadowFields("jo")[1];

  // "*" clears: the comment becomes empty, inactive days "never".
  RunResult r = box.shim({"-n", "files", "-p", userEvent("modifyUser", "jo", {{kGecos, "*"}, {kInactive, "*"}})});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ((std::vector<Argv>{{"-c", "", "-f", "-1", "jo"}}), box.calls("/usr/sbin/usermod"));
  EXPECT_TRUE(box.calls("/usr/bin/chage").empty());
  EXPECT_EQ("jo:x:1001:1001::/home/jo:/bin/sh", box.entry("/etc/passwd", "jo"));
  EXPECT_EQ(hash, shadowFields("jo")[1]);

  // Only the minimum days: chage alone.
  ASSERT_EQ(0, box.shim({"-n", "files", "-p", userEvent("modifyUser", "jo", {{kMinDays, "5"}})}).status);
  EXPECT_EQ(1u, box.calls("/usr/sbin/usermod").size());
  EXPECT_EQ((std::vector<Argv>{{"-m", "5", "jo"}}), box.calls("/usr/bin/chage"));
  EXPECT_EQ("5", shadowFields("jo")[3]);

  // All empty: nothing runs, nothing changes.
  std::string before = box.read("/etc/shadow");
  EXPECT_EQ(0, box.shim({"-n", "files", "-p", "modifyUser:jo"}).status);
  EXPECT_EQ(1u, box.calls("/usr/sbin/usermod").size());
  EXPECT_EQ(1u, box.calls("/usr/bin/chage").size());
  EXPECT_EQ(before, box.read("/etc/shadow"));

  // A tool's refusal is the result.
  RunResult bad = box.shim({"-n", "files", "-p", userEvent("modifyUser", "jo", {{kGid, "nosuchgroup"}})});
  EXPECT_EQ(-3, bad.code());
  EXPECT_EQ("Error_qvSystem_handleUserMod: -3", traceLine(bad));
}

TEST_F(FilesUser, DeleteAndRename) {
  addUser("jo", "1001", "Jo");
  box.record("/usr/sbin/userdel");
  box.record("/usr/sbin/usermod");

  RunResult noNewName = box.shim({"-n", "files", "-p", "renameUser:jo"});
  EXPECT_EQ(-11, noNewName.code());
  EXPECT_EQ("Error_handleUserRename: -11", traceLine(noNewName));
  EXPECT_TRUE(box.calls("/usr/sbin/usermod").empty());

  ASSERT_EQ(0, box.shim({"-n", "files", "-p", "renameUser:jo,joe"}).status);
  EXPECT_EQ((std::vector<Argv>{{"-l", "joe", "jo"}}), box.calls("/usr/sbin/usermod"));
  EXPECT_EQ("", box.entry("/etc/passwd", "jo"));
  EXPECT_EQ("joe:x:1001:1001:Jo:/home/jo:/bin/sh", box.entry("/etc/passwd", "joe"));
  EXPECT_EQ(-4, box.shim({"-n", "files", "-p", "renameUser:joe,root"}).code());

  ASSERT_EQ(0, box.shim({"-n", "files", "-r", "-p", "deleteUser:joe"}).status);
  EXPECT_EQ((std::vector<Argv>{{"-r", "joe"}}), box.calls("/usr/sbin/userdel"));
  EXPECT_EQ("", box.entry("/etc/passwd", "joe"));
  EXPECT_EQ("", box.entry("/etc/shadow", "joe"));
  EXPECT_FALSE(box.exists("/home/jo"));

  RunResult unknown = box.shim({"-n", "files", "-p", "deleteUser:joe"});
  EXPECT_EQ(-3, unknown.code());
  EXPECT_EQ("Error_qvSystem_handleUserDel: -3", traceLine(unknown));
  EXPECT_EQ((std::vector<Argv>{{"-r", "joe"}, {"joe"}}), box.calls("/usr/sbin/userdel"));
}

TEST_F(FilesUser, HeldPasswordLockGivesMinus8AndChangesNothing) {
  addUser("jo", "1001", "Jo");
  std::string before = box.read("/etc/shadow");
  int fd = open("/etc/.pwd.lock", O_RDWR);
  ASSERT_GE(fd, 0);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  ASSERT_EQ(0, fcntl(fd, F_SETLK, &lock));
  auto start = std::chrono::steady_clock::now();
  RunResult r = box.shim({"-n", "files", "-p", userEvent("modifyUser", "jo", {})}, {{"encrypted", "NEWHASH"}});
  auto waited = std::chrono::steady_clock::now() - start;
  close(fd);
  EXPECT_EQ(-8, r.code());
  EXPECT_EQ("Error_setPassword_handleUserMod: -8", traceLine(r));
  EXPECT_GE(waited, std::chrono::seconds(14));
  EXPECT_EQ(before, box.read("/etc/shadow"));
  EXPECT_FALSE(box.exists("/etc/qvpwd.tmp"));
}

TEST_F(FilesUser, ConcurrentPasswordChangesToDifferentUsersBothSurvive) {
  addUser("jo", "1001", "Jo");
  addUser("ann", "1002", "Ann");
  for (int round = 0; round < 3; ++round) {
    std::string a = "joHash" + std::to_string(round), b = "annHash" + std::to_string(round);
    pid_t first = box.startShim({"-n", "files", "-p", userEvent("modifyUser", "jo", {})}, {{"encrypted", a}});
    pid_t second = box.startShim({"-n", "files", "-p", userEvent("modifyUser", "ann", {})}, {{"encrypted", b}});
    EXPECT_EQ(0, box.finish(first).status);
    EXPECT_EQ(0, box.finish(second).status);
    EXPECT_EQ(a, shadowFields("jo")[1]);
    EXPECT_EQ(b, shadowFields("ann")[1]);
  }
  expectShadowOwnership();
  EXPECT_EQ("", newCheckFindings());
}

}  // namespace

namespace {

TEST_F(FilesUser, ARewriteThatLostLinesNeverReplacesTheAccountFile) {
  addUser("jo", "1001", "Jo");
  std::string before = box.read("/etc/shadow");
  // An awk found first that stops early, as on a full disk, yet exits 0.
  box.privateCopy("/usr/sbin");
  box.install("/usr/sbin/awk", "#!/bin/sh\n/usr/bin/awk \"$@\" | head -n 3\n");
  RunResult r = box.shim({"-n", "files", "-p", userEvent("modifyUser", "jo", {})}, {{"encrypted", "NEW"}});
  EXPECT_EQ(-11, r.code());
  EXPECT_EQ("Error_setPassword_handleUserMod: -11", traceLine(r));
  EXPECT_EQ(before, box.read("/etc/shadow"));
  EXPECT_FALSE(box.exists("/etc/qvpwd.tmp"));
  expectShadowOwnership();
}

}  // namespace
