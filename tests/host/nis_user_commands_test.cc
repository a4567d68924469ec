// NIS user commands against the host's real make, Makefile and makedbm in a
// sandbox: what lands in the source files and what the rebuilt maps show.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "nis_sandbox.h"

namespace {

// Event fields 7 and "encrypted" agree, so the result does not depend on
// which of the two the password preparation takes.
Env hash(const std::string& value) { return {{"encrypted", value}}; }

TEST(NisUserAdd, WithShadowFileWritesBothLinesRebuildsMapsAndMakesHome) {
  NisSandbox nis;
  RunResult r = nis.run("addUser:carol::1005:1005:Carol C:/home/carol:/bin/sh:x:19100:0:99999:7:::",
                        {"-m"}, hash("x"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("carol:x:1005:1005:Carol C:/home/carol:/bin/sh", nis.source("passwd", "carol"));
  EXPECT_EQ("carol:!!:19100:0:99999:7:::", nis.source("shadow", "carol"));
  EXPECT_EQ("carol:x:1005:1005:Carol C:/home/carol:/bin/sh", nis.value("passwd.byname", "carol"));
  EXPECT_EQ("carol:x:1005:1005:Carol C:/home/carol:/bin/sh", nis.value("passwd.byuid", "1005"));
  EXPECT_EQ("carol:!!:19100:0:99999:7:::", nis.value("shadow.byname", "carol"));
  struct stat st;
  ASSERT_EQ(0, stat("/home/carol", &st));
  EXPECT_EQ(1005u, st.st_uid);
  EXPECT_EQ(1005u, st.st_gid);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  // The source files are never left behind in the working directory.
  EXPECT_FALSE(nis.box.exists(nis.box.work("passwd.tmp")));
}

TEST(NisUserAdd, WithoutShadowFileKeepsThePasswordInPasswd) {
  NisSandbox nis(false);
  RunResult r = nis.run("addUser:dave:x:1006:1006:Dave:/home/dave:/bin/sh::::::::", {}, hash("x"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("dave:!!:1006:1006:Dave:/home/dave:/bin/sh", nis.source("passwd", "dave"));
  EXPECT_EQ("dave:!!:1006:1006:Dave:/home/dave:/bin/sh", nis.value("passwd.byname", "dave"));
  EXPECT_FALSE(nis.box.exists(nis.src + "/shadow"));
  EXPECT_FALSE(nis.box.exists("/home/dave"));  // no -m

  r = nis.run("addUser:erin:$1$ab$hash:1007:1007:Erin:/home/erin:/bin/sh::::::::", {},
              hash("$1$ab$hash"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("erin:$1$ab$hash:1007:1007:Erin:/home/erin:/bin/sh", nis.source("passwd", "erin"));
}

TEST(NisUserAdd, TakenNameOrUidChangesNothingUnlessDuplicateIdsAreAllowed) {
  NisSandbox nis;
  std::string passwd = nis.box.read(nis.src + "/passwd");
  std::string shadow = nis.box.read(nis.src + "/shadow");

  RunResult r = nis.run("addUser:alice::1010:1010:x:/home/x:/bin/sh:x:::::::", {}, hash("x"));
  EXPECT_EQ(-4, r.code());
  EXPECT_EQ("Error_nisUserAdd: -4\n", r.err);
  r = nis.run("addUser:frank::1001:1001:x:/home/x:/bin/sh:x:::::::", {}, hash("x"));
  EXPECT_EQ(-10, r.code());
  EXPECT_EQ("Error_nisUserAdd: -10\n", r.err);
  EXPECT_EQ(passwd, nis.box.read(nis.src + "/passwd"));
  EXPECT_EQ(shadow, nis.box.read(nis.src + "/shadow"));

  // -o skips the uid check: the same uid may then be added again.
  r = nis.run("addUser:frank::1001:1001:x:/home/x:/bin/sh:x:::::::", {"-o"}, hash("x"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("frank:x:1001:1001:x:/home/x:/bin/sh", nis.source("passwd", "frank"));
  EXPECT_EQ("frank:x:1001:1001:x:/home/x:/bin/sh", nis.value("passwd.byname", "frank"));
}

TEST(NisUserMod, MergeRulesKeepClearAndReplaceFields) {
  NisSandbox nis;
  // Empty keeps, "*" clears, a value replaces; the shadow fields likewise.
  RunResult r = nis.run("modifyUser:alice::::*::/bin/zsh:::::*:::", {});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("alice:x:1001:1001::/home/alice:/bin/zsh", nis.source("passwd", "alice"));
  EXPECT_EQ("alice:$6$salt$alicehash:19001:0:99999::::", nis.source("shadow", "alice"));
  EXPECT_EQ("alice:x:1001:1001::/home/alice:/bin/zsh", nis.value("passwd.byname", "alice"));
  EXPECT_EQ("alice:$6$salt$alicehash:19001:0:99999::::", nis.value("shadow.byname", "alice"));

  // All fields empty rewrites the current values unchanged.
  std::string passwd = nis.box.read(nis.src + "/passwd");
  r = nis.run("modifyUser:bob::::::::::::::", {});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(passwd, nis.box.read(nis.src + "/passwd"));
  EXPECT_EQ("bob:!!:19002:1:90:14:30:20000:", nis.source("shadow", "bob"));

  // "noPassword" clears the password; a new hash replaces it.
  r = nis.run("modifyUser:alice:::::::noPassword:::::::", {}, hash(""));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("alice::19001:0:99999::::", nis.source("shadow", "alice"));
  r = nis.run("modifyUser:bob:::::::$6$new$h:::::::", {}, hash("$6$new$h"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("bob:$6$new$h:19002:1:90:14:30:20000:", nis.value("shadow.byname", "bob"));

  r = nis.run("modifyUser:nobody::::::/bin/sh::::::::", {});
  EXPECT_EQ(-6, r.code());
  EXPECT_EQ("Error_nisUserMod: -6\n", r.err);
}

TEST(NisUserDel, RemovesLinesMapsAndOwnedHomeOnly) {
  NisSandbox nis;
  nis.box.sh("mkdir -p /home/alice/sub /home/bob && chown -R 1001 /home/alice && chown 0 /home/bob");
  RunResult r = nis.run("deleteUser:alice", {"-r"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ("", nis.source("passwd", "alice"));
  EXPECT_EQ("", nis.source("shadow", "alice"));
  EXPECT_EQ("", nis.value("passwd.byname", "alice"));
  EXPECT_EQ("", nis.value("shadow.byname", "alice"));
  EXPECT_FALSE(nis.box.exists("/home/alice"));

  r = nis.run("deleteUser:bob", {"-r"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("Warning: Not owner for home directory\n", r.err);
  EXPECT_TRUE(nis.box.exists("/home/bob"));
  EXPECT_EQ("", nis.value("passwd.byname", "bob"));

  r = nis.run("deleteUser:bob");
  EXPECT_EQ(-6, r.code());
  EXPECT_EQ("Error_nisUserDel: -6\n", r.err);
}

TEST(NisUserDel, NeverRemovesTheRootDirectoryHoweverSpelled) {
  NisSandbox nis;
  nis.box.write(nis.src + "/passwd", nis.box.read(nis.src + "/passwd") +
                                         "rooty:x:1020:1020:Root home:/:/bin/sh\n"
                                         "dotty:x:1021:1021:Dot home:/home/..:/bin/sh\n");
  nis.rebuild();
  for (const char* name : {"rooty", "dotty"}) {
    RunResult r = nis.run(std::string("deleteUser:") + name, {"-r"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("Warning: Unable to remove root directory\n", r.err) << name;
    EXPECT_EQ("", nis.source("passwd", name));
  }
  EXPECT_TRUE(nis.box.exists("/etc/passwd"));
}

TEST(NisUserRename, KeepsEveryOtherFieldAndRefusesATakenName) {
  NisSandbox nis;
  RunResult r = nis.run("renameUser:bob,robert");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("robert:x:1002:1002:Bob:/home/bob:/bin/sh", nis.source("passwd", "robert"));
  EXPECT_EQ("robert:!!:19002:1:90:14:30:20000:", nis.source("shadow", "robert"));
  EXPECT_EQ("", nis.source("passwd", "bob"));
  EXPECT_EQ("robert:x:1002:1002:Bob:/home/bob:/bin/sh", nis.value("passwd.byuid", "1002"));
  EXPECT_EQ("robert:!!:19002:1:90:14:30:20000:", nis.value("shadow.byname", "robert"));

  std::string passwd = nis.box.read(nis.src + "/passwd");
  r = nis.run("renameUser:robert,alice");
  EXPECT_EQ(-4, r.code());
  r = nis.run("renameUser:bob,bobby");
  EXPECT_EQ(-6, r.code());
  EXPECT_EQ("Error_nisUserRename: -6\n", r.err);
  EXPECT_EQ(passwd, nis.box.read(nis.src + "/passwd"));
}

TEST(NisUserRename, MissingShadowLineRenamesNothing) {
  NisSandbox nis;
  nis.box.write(nis.src + "/shadow", "root:*:19000:0:99999:7:::\n", 0600);
  std::string passwd = nis.box.read(nis.src + "/passwd");
  RunResult r = nis.run("renameUser:alice,alicia");
  EXPECT_EQ(-11, r.code());
  EXPECT_EQ(passwd, nis.box.read(nis.src + "/passwd"));
}

TEST(NisUserCommands, HostileValuesAreStoredVerbatimAndNeverRun) {
  NisSandbox nis;
  const std::string gecos = "a\\b $HOME \"q\" 'x' `touch /tmp/../canary1` $(touch canary2) ;|&";
  RunResult r =
      nis.run("addUser:gina::1030:1030:" + gecos + ":/home/gina:/bin/sh:x:::::::", {}, hash("x"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("gina:x:1030:1030:" + gecos + ":/home/gina:/bin/sh", nis.source("passwd", "gina"));
  EXPECT_EQ("gina:x:1030:1030:" + gecos + ":/home/gina:/bin/sh", nis.value("passwd.byname", "gina"));

  const std::string gecos2 = "back\\\\slash \\n \\t $0 \"";
  r = nis.run("modifyUser:gina::::" + gecos2 + ":::::::::", {});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("gina:x:1030:1030:" + gecos2 + ":/home/gina:/bin/sh", nis.source("passwd", "gina"));

  // Names that look like code or patterns match only themselves.
  r = nis.run("modifyUser:.*::::z::::::::::", {});
  EXPECT_EQ(-6, r.code());
  r = nis.run("deleteUser:a\"||\"1");
  EXPECT_EQ(-6, r.code());
  EXPECT_NE("", nis.source("passwd", "alice"));
  EXPECT_FALSE(nis.box.exists("/tmp/canary1"));
  EXPECT_FALSE(nis.box.exists(nis.box.work("canary2")));
}

TEST(NisUserCommands, PasswordHashesNeverAppearInAnArgumentList) {
  NisSandbox nis;
  nis.box.record("/usr/bin/mawk");
  RunResult r = nis.run("addUser:hank::1040:1040:H:/home/h:/bin/sh:$6$secret$addhash:::::::", {},
                        hash("$6$secret$addhash"));
  ASSERT_EQ(0, r.status) << r.err;
  r = nis.run("modifyUser:hank:::::::$6$secret$modhash:::::::", {}, hash("$6$secret$modhash"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("hank:$6$secret$modhash:::::::", nis.source("shadow", "hank"));
  auto calls = nis.box.calls("/usr/bin/mawk");
  EXPECT_FALSE(calls.empty());
  for (const auto& call : calls)
    for (const auto& arg : call) EXPECT_EQ(std::string::npos, arg.find("$6$secret")) << arg;
}

}  // namespace
