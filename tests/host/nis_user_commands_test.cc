// NIS user commands with the host's real make, Makefile and makedbm: what
// lands in the source files and what the rebuilt maps show.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "nis_sandbox.h"

namespace {

// Event field and "encrypted" agree, so the outcome does not hang on which
// of the two the password preparation takes.
Env hash(const std::string& value) { return {{"encrypted", value}}; }

TEST(NisUserAdd, WithShadowFileWritesBothLinesMapsAndHome) {
  NisSandbox nis;
  const std::string line = "carol:x:1005:1005:Carol C:/home/carol:/bin/sh";
  RunResult r = nis.run("addUser:carol::1005:1005:Carol C:/home/carol:/bin/sh:x:19100:0:99999:7:::",
                        {"-m"}, hash("x"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(line, nis.source("passwd", "carol"));
  EXPECT_EQ("carol:!!:19100:0:99999:7:::", nis.source("shadow", "carol"));
  EXPECT_EQ(line, nis.value("passwd.byuid", "1005"));
  EXPECT_EQ("carol:!!:19100:0:99999:7:::", nis.value("shadow.byname", "carol"));
  struct stat st;
  ASSERT_EQ(0, stat("/home/carol", &st));
  EXPECT_EQ(1005u, st.st_uid);
  EXPECT_FALSE(nis.box.exists(nis.box.work("passwd.tmp")));
}

TEST(NisUserAdd, WithoutShadowFileThePasswordStaysInPasswd) {
  NisSandbox nis(false);
  RunResult r = nis.run("addUser:dave:x:1006:1006:Dave:/home/dave:/bin/sh::::::::", {}, hash("x"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("dave:!!:1006:1006:Dave:/home/dave:/bin/sh", nis.value("passwd.byname", "dave"));
  EXPECT_FALSE(nis.box.exists(nis.src + "/shadow"));
  EXPECT_FALSE(nis.box.exists("/home/dave"));  // no -m
}

TEST(NisUserAdd, TakenNameOrUidChangesNothingUnlessDuplicateIdsAreAllowed) {
  NisSandbox nis;
  std::string passwd = nis.box.read(nis.src + "/passwd");
  RunResult r = nis.run("addUser:alice::1010:1010:x:/h:/bin/sh:x:::::::", {}, hash("x"));
  EXPECT_EQ("Error_nisUserAdd: -4\n", r.err);
  r = nis.run("addUser:frank::1001:1001:x:/h:/bin/sh:x:::::::", {}, hash("x"));
  EXPECT_EQ("Error_nisUserAdd: -10\n", r.err);
  // The maps' own bookkeeping names are never free.
  r = nis.run("addUser:YP_MASTER_NAME::1011:1011:x:/h:/bin/sh:x:::::::", {}, hash("x"));
  EXPECT_EQ("Error_nisUserAdd: -4\n", r.err);
  EXPECT_EQ(-4, nis.run("renameUser:bob,YP_LAST_MODIFIED").code());
  EXPECT_EQ(passwd, nis.box.read(nis.src + "/passwd"));
  r = nis.run("addUser:frank::1001:1001:x:/h:/bin/sh:x:::::::", {"-o"}, hash("x"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("frank:x:1001:1001:x:/h:/bin/sh", nis.value("passwd.byname", "frank"));
}

// A command whose map rebuild failed has changed the sources only: the
// engine's retry of the same command finishes it, while an add of the same
// name that differs still finds the name in use.
TEST(NisUserAdd, RetryAfterAFailedRebuildFinishesTheSameCommand) {
  NisSandbox nis;
  const std::string makefile = nis.box.read("/var/yp/Makefile");
  const std::string add = "addUser:carol::1005:1005:C:/home/carol:/bin/sh:x:::::::", group = "addGroup:ops:x:1050:bob";
  struct Case {
    std::string event, differing, map, key;
    bool present;
  };
  for (const Case& c : {Case{add, "addUser:carol::1006:1006:C:/home/carol:/bin/sh:x:::::::", "shadow.byname", "carol", true},
                        Case{group, "addGroup:ops:x:1051:bob", "group.byname", "ops", true},
                        Case{"deleteUser:bob", "", "shadow.byname", "bob", false}}) {
    nis.box.write("/var/yp/Makefile", "passwd group:\n\tfalse\n");
    EXPECT_LT(nis.run(c.event, {}, hash("h1")).code(), 0) << c.event;
    nis.box.write("/var/yp/Makefile", makefile);
    if (!c.differing.empty()) {
      EXPECT_EQ(-4, nis.run(c.differing, {}, hash("h1")).code()) << c.differing;
    }
    RunResult r = nis.run(c.event, {}, hash("h1"));
    EXPECT_EQ(0, r.status) << c.event << ": " << r.err;
    EXPECT_EQ(c.present, !nis.value(c.map, c.key).empty()) << c.event;
    if (c.present) {
      EXPECT_EQ(-4, nis.run(c.event, {}, hash("h1")).code()) << c.event;
    }
  }
}

TEST(NisUserMod, EmptyKeepsStarClearsNoPasswordEmpties) {
  NisSandbox nis;
  RunResult r = nis.run("modifyUser:alice::::*::/bin/zsh:::::*:::");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("alice:x:1001:1001::/home/alice:/bin/zsh", nis.value("passwd.byname", "alice"));
  EXPECT_EQ("alice:$6$salt$alicehash:19001:0:99999::::", nis.value("shadow.byname", "alice"));
  std::string passwd = nis.box.read(nis.src + "/passwd");
  r = nis.run("modifyUser:bob::::::::::::::");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(passwd, nis.box.read(nis.src + "/passwd"));
  r = nis.run("modifyUser:alice:::::::noPassword:::::::", {}, hash(""));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("alice::19001:0:99999::::", nis.source("shadow", "alice"));
  EXPECT_EQ("Error_nisUserMod: -6\n", nis.run("modifyUser:nobody::::::::::::::").err);
}

TEST(NisUserMod, AnUnchangedShadowLineLeavesTheShadowFileAndItsMapAlone) {
  NisSandbox nis;
  auto mtime = [](const std::string& path) {
    struct stat st {};
    EXPECT_EQ(0, stat(path.c_str(), &st)) << path;
    return std::pair(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  };
  const std::string shadow = nis.src + "/shadow", map = nis.maps + "/shadow.byname";
  const auto shadowBefore = mtime(shadow), mapBefore = mtime(map);
  RunResult r = nis.run("modifyUser:bob::::Robert::/bin/bash::::::::");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("bob:x:1002:1002:Robert:/home/bob:/bin/bash", nis.value("passwd.byname", "bob"));
  EXPECT_EQ(shadowBefore, mtime(shadow));
  EXPECT_EQ(mapBefore, mtime(map));
}

TEST(NisUserDel, RemovesOwnedHomeOnlyAndNeverTheRootDirectory) {
  NisSandbox nis;
  nis.addSource("passwd", "rooty:x:1020:1020::/home/..:/bin/sh\n");
  nis.rebuild();
  nis.box.sh("mkdir -p /home/alice/sub /home/bob && chown -R 1001 /home/alice");
  RunResult r = nis.run("deleteUser:alice", {"-r"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ("", nis.source("shadow", "alice"));
  EXPECT_EQ("", nis.value("passwd.byname", "alice"));
  EXPECT_FALSE(nis.box.exists("/home/alice"));
  r = nis.run("deleteUser:bob", {"-r"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("Warning: Not owner for home directory\n", r.err);
  EXPECT_TRUE(nis.box.exists("/home/bob"));
  r = nis.run("deleteUser:rooty", {"-r"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("Warning: Unable to remove root directory\n", r.err);
  EXPECT_TRUE(nis.box.exists("/home/bob"));
  EXPECT_EQ("Error_nisUserDel: -6\n", nis.run("deleteUser:bob").err);
}

TEST(NisUserRename, KeepsEveryFieldAndRenamesNothingHalfway) {
  NisSandbox nis;
  RunResult r = nis.run("renameUser:bob,robert");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("robert:x:1002:1002:Bob:/home/bob:/bin/sh", nis.value("passwd.byuid", "1002"));
  EXPECT_EQ("robert:!!:19002:1:90:14:30:20000:", nis.value("shadow.byname", "robert"));
  EXPECT_EQ("", nis.source("passwd", "bob"));
  EXPECT_EQ(-4, nis.run("renameUser:robert,alice").code());
  EXPECT_EQ("Error_nisUserRename: -6\n", nis.run("renameUser:bob,bobby").err);
  // Without alice's shadow line neither file changes.
  nis.box.write(nis.src + "/shadow", "robert:!!:::::::\n", 0600);
  std::string passwd = nis.box.read(nis.src + "/passwd");
  EXPECT_EQ(-11, nis.run("renameUser:alice,alicia").code());
  EXPECT_EQ(passwd, nis.box.read(nis.src + "/passwd"));
}

TEST(NisUserCommands, HostileValuesAreStoredVerbatimAndNeverRun) {
  NisSandbox nis;
  const std::string gecos = "a\\b\\n $HOME \"q\" 'x' `touch /tmp/canary1` $(touch canary2) ;|&";
  RunResult r =
      nis.run("addUser:gina::1030:1030:" + gecos + ":/home/gina:/bin/sh:x:::::::", {}, hash("x"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("gina:x:1030:1030:" + gecos + ":/home/gina:/bin/sh", nis.value("passwd.byname", "gina"));
  r = nis.run("modifyUser:gina::::\\\\ \\t $0 \":::::::::");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("gina:x:1030:1030:\\\\ \\t $0 \":/home/gina:/bin/sh", nis.source("passwd", "gina"));
  // Names that look like patterns or code match only themselves.
  EXPECT_EQ(-6, nis.run("modifyUser:.*::::z::::::::::").code());
  EXPECT_EQ(-6, nis.run("deleteUser:a\"||\"1").code());
  EXPECT_NE("", nis.source("passwd", "alice"));
  EXPECT_FALSE(nis.box.exists("/tmp/canary1"));
  EXPECT_FALSE(nis.box.exists(nis.box.work("canary2")));
}

TEST(NisUserCommands, APasswordThatWouldSplitTheLineIsRefused) {
  NisSandbox nis(false);  // the password lands in passwd itself
  std::string passwd = nis.box.read(nis.src + "/passwd");
  RunResult r = nis.run("addUser:ivan::1050:1050:I:/h:/bin/sh::::::::", {},
                        hash("x\nevil::0:0::/:/bin/sh"));
  EXPECT_EQ("Error_nisUserAdd: -3\n", r.err);
  r = nis.run("modifyUser:alice::::::::::::::", {}, hash("h:0:0::/:/bin/sh"));
  EXPECT_EQ("Error_nisUserMod: -3\n", r.err);
  EXPECT_EQ(passwd, nis.box.read(nis.src + "/passwd"));
}

TEST(NisUserCommands, PasswordHashesNeverAppearInAnArgumentList) {
  NisSandbox nis;
  const std::string awk = nis.box.awkPath();
  nis.box.record(awk);
  RunResult r = nis.run("addUser:hank::1040:1040:H:/h:/bin/sh:$6$secret$a:::::::", {}, hash("$6$secret$a"));
  ASSERT_EQ(0, r.status) << r.err;
  r = nis.run("modifyUser:hank:::::::$6$secret$m:::::::", {}, hash("$6$secret$m"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("hank:$6$secret$m:::::::", nis.source("shadow", "hank"));
  auto calls = nis.box.calls(awk);
  EXPECT_FALSE(calls.empty());
  for (const auto& call : calls)
    for (const auto& arg : call) EXPECT_EQ(std::string::npos, arg.find("$6$secret")) << arg;
}

}  // namespace
