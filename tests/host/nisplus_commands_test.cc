// User and group commands of the NIS+ backend against the stand-in tools:
// the exact nistbladm argument vectors, the checks before an add, the modify
// merge through nismatch, home directories, and hostile values.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/event_record.h"
#include "core/result.h"
#include "core/trace.h"
#include "nisplus/nisplus_command.h"
#include "nisplus_box.h"

namespace {

const char* kNistbladm = "/usr/local/bin/nistbladm";

struct Commands : ::testing::Test {
  NisplusBox nis;
  void SetUp() override { nis.box.record(kNistbladm); }
  std::vector<Argv> calls() { return nis.box.calls(kNistbladm); }
  // alice with a hash, aging values and a comment with a blank.
  void addAlice() {
    RunResult r = nis.run({"-p", "addUser:alice::1001:100:Alice A:/home/alice:/bin/sh:$1$s$h:19000:0:99999:7:::"},
                          {{"encrypted", "$1$s$h"}});
    ASSERT_EQ(0, r.status) << r.err;
  }
};

TEST_F(Commands, UserAddWritesEveryColumnWithTheShadowPasswordAndRefusesTakenNamesAndUids) {
  addAlice();
  ASSERT_EQ(1u, calls().size());
  EXPECT_EQ((Argv{"-a", "passwd=$1$s$h", "uid=1001", "gid=100", "gcos=Alice A", "home=/home/alice",
                  "shell=/bin/sh", "shadow=19000:0:99999:7:::", "name=alice", "passwd.org_dir"}),
            calls()[0]);
  EXPECT_EQ("alice:$1$s$h:1001:100:Alice A:/home/alice:/bin/sh:19000:0:99999:7:::\n", nis.entry("passwd.org_dir", "alice"));

  RunResult taken = nis.run({"-p", "addUser:alice::2000:100"});
  EXPECT_EQ(-4, taken.code());
  EXPECT_EQ("Error_nisplusUserAdd: -4\n", taken.err);

  RunResult sameUid = nis.run({"-p", "addUser:bob::1001:100"});
  EXPECT_EQ(-10, sameUid.code());
  EXPECT_EQ("Error_qvSystem_nisplusUserAdd: -10\n", sameUid.err);
  EXPECT_EQ(1u, calls().size());

  RunResult duplicateAllowed = nis.run({"-o", "-p", "addUser:bob::1001:100"});
  EXPECT_EQ(0, duplicateAllowed.status) << duplicateAllowed.err;
  EXPECT_EQ(2u, nis.table("passwd.org_dir").size());
}

TEST_F(Commands, UserAddPasswordComesFromThePasswdFieldWithNoShadowAndXBecomesLocked) {
  RunResult s = nis.run({"-s", "-p", "addUser:carl:HASH1:1003:100::/home/carl:/bin/sh:OTHER"}, {{"encrypted", "HASH1"}});
  ASSERT_EQ(0, s.status) << s.err;
  RunResult x = nis.run({"-p", "addUser:dora::1004:100::/home/dora:/bin/sh:x"});
  ASSERT_EQ(0, x.status) << x.err;
  RunResult sx = nis.run({"-s", "-p", "addUser:emil:x:1005:100"});
  ASSERT_EQ(0, sx.status) << sx.err;
  auto c = calls();
  ASSERT_EQ(3u, c.size());
  EXPECT_EQ("passwd=HASH1", c[0][1]);
  EXPECT_EQ("passwd=!!", c[1][1]);
  EXPECT_EQ("passwd=!!", c[2][1]);
  // Nothing in the aging fields gives a column of six separators.
  EXPECT_EQ("shadow=::::::", c[2][7]);
}

TEST_F(Commands, PasswordWithASeparatorOrLineBreakIsRefusedBeforeAnyTool) {
  addAlice();
  for (const char* bad : {"x\nevil", "a:b", "a\rb"}) {
    RunResult add = nis.run({"-p", "addUser:eve::1010:100"}, {{"encrypted", bad}});
    EXPECT_EQ("Error_nisplusUserAdd: -3\n", add.err);
    RunResult mod = nis.run({"-p", "modifyUser:alice"}, {{"encrypted", bad}});
    EXPECT_EQ("Error_nisplusUserMod: -3\n", mod.err);
  }
  EXPECT_EQ(1u, calls().size());
  EXPECT_EQ(1u, nis.table("passwd.org_dir").size());
}

TEST_F(Commands, UserAddMakesTheHomeDirectoryWithMOnly) {
  RunResult r = nis.run({"-m", "-p", "addUser:fred::1006:100::/home/fred:/bin/sh"});
  ASSERT_EQ(0, r.status) << r.err;
  struct stat st;
  ASSERT_EQ(0, stat("/home/fred", &st));
  EXPECT_EQ(1006u, st.st_uid);
  EXPECT_EQ(100u, st.st_gid);
  ASSERT_EQ(0, nis.run({"-p", "addUser:gina::1007:100::/home/gina:/bin/sh"}).status);
  EXPECT_FALSE(nis.box.exists("/home/gina"));
}

TEST_F(Commands, UserModifyMergesWithTheStoredEntry) {
  addAlice();
  // New comment, cleared shell, everything else kept (the stored hash too).
  RunResult r = nis.run({"-p", "modifyUser:alice::::Alice B::*:::::::"});
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_EQ(2u, calls().size());
  EXPECT_EQ((Argv{"-E", "passwd=$1$s$h", "uid=1001", "gid=100", "gcos=Alice B", "home=/home/alice", "shell=",
                  "shadow=19000:0:99999:7:::", "[name=alice],passwd.org_dir"}),
            calls()[1]);
  EXPECT_EQ("alice:$1$s$h:1001:100:Alice B:/home/alice::19000:0:99999:7:::\n", nis.entry("passwd.org_dir", "alice"));
  EXPECT_FALSE(nis.box.exists(nis.box.work("file.tmp")));

  // A new hash, and "noPassword" which empties the column.
  ASSERT_EQ(0, nis.run({"-p", "modifyUser:alice:::::::NEW"}, {{"encrypted", "NEW"}}).status);
  EXPECT_EQ("passwd=NEW", calls()[2][1]);
  ASSERT_EQ(0, nis.run({"-p", "modifyUser:alice:::::::noPassword"}, {{"encrypted", "noPassword"}}).status);
  EXPECT_EQ("passwd=", calls()[3][1]);
}

TEST_F(Commands, ModifyDeleteAndRenameOfMissingEntriesFailWithTheToolsStatus) {
  for (std::string p : {"modifyUser:nobody::1", "deleteUser:nobody", "renameUser:nobody,x",
                               "modifyGroup:none::7:", "deleteGroup:none", "renameGroup:none,x"}) {
    RunResult r = nis.run({"-p", p});
    EXPECT_EQ(-11, r.code()) << p;
    EXPECT_NE(std::string::npos, r.err.find("_qvSystem_nisplus")) << p << r.err;
  }
}

TEST_F(Commands, UserDeleteRemovesTheHomeDirectoryOnlyWithR) {
  addAlice();
  ASSERT_EQ(0, nis.run({"-o", "-p", "addUser:hugo::1008:100:Hugo H:/home/hugo:/bin/sh"}).status);
  for (const char* home : {"/home/alice", "/home/hugo"}) {
    ASSERT_EQ(0, mkdir(home, 0755));
  }
  ASSERT_EQ(0, chown("/home/alice", 1001, 100));
  ASSERT_EQ(0, chown("/home/hugo", 1008, 100));

  ASSERT_EQ(0, nis.run({"-p", "deleteUser:hugo"}).status);
  EXPECT_TRUE(nis.box.exists("/home/hugo"));
  // The comment holds a blank: the whole entry is read, so the home goes.
  RunResult r = nis.run({"-r", "-p", "deleteUser:alice"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_FALSE(nis.box.exists("/home/alice"));
  auto c = calls();
  EXPECT_EQ((Argv{"-R", "name=hugo", "passwd.org_dir"}), c[c.size() - 2]);
  EXPECT_EQ((Argv{"-R", "name=alice", "passwd.org_dir"}), c.back());
  EXPECT_TRUE(nis.table("passwd.org_dir").empty());
  EXPECT_FALSE(nis.box.exists(nis.box.work("qvnisplus.tmp.homedir")));
}

TEST_F(Commands, RenamesSendTheNewNameAsAColumnAndTheOldInTheIndexedName) {
  addAlice();
  ASSERT_EQ(0, nis.run({"-p", "addGroup:staff::50:alice"}).status);
  ASSERT_EQ(0, nis.run({"-p", "renameUser:alice,alicia"}).status);
  ASSERT_EQ(0, nis.run({"-p", "renameGroup:staff,crew"}).status);
  auto c = calls();
  EXPECT_EQ((Argv{"-E", "name=alicia", "[name=alice],passwd.org_dir"}), c[2]);
  EXPECT_EQ((Argv{"-E", "name=crew", "[name=staff],group.org_dir"}), c[3]);
  EXPECT_EQ("alicia:$1$s$h:1001:100:Alice A:/home/alice:/bin/sh:19000:0:99999:7:::\n", nis.entry("passwd.org_dir", "alicia"));
  EXPECT_EQ((std::vector<std::string>{"crew::50:alice"}), nis.table("group.org_dir"));
}

TEST_F(Commands, GroupAddModifyAndDelete) {
  ASSERT_EQ(0, nis.run({"-p", "addGroup:staff:x:50:alice,bob"}).status);
  EXPECT_EQ((Argv{"-a", "passwd=x", "gid=50", "members=alice,bob", "name=staff", "group.org_dir"}), calls()[0]);

  RunResult taken = nis.run({"-p", "addGroup:staff::51:"});
  EXPECT_EQ(-4, taken.code());
  EXPECT_EQ("Error_nisplusGroupAdd: -4\n", taken.err);
  RunResult gid = nis.run({"-p", "addGroup:crew::50:"});
  EXPECT_EQ(-10, gid.code());
  EXPECT_EQ("Error_qvSystem_nisplusGroupAdd: -10\n", gid.err);
  ASSERT_EQ(0, nis.run({"-o", "-p", "addGroup:crew::50:"}).status);

  // Members "*" empties the column; the rest is kept.
  ASSERT_EQ(0, nis.run({"-p", "modifyGroup:staff:::*"}).status);
  EXPECT_EQ((Argv{"-E", "passwd=x", "gid=50", "members=", "[name=staff],group.org_dir"}), calls()[2]);
  ASSERT_EQ(0, nis.run({"-p", "modifyGroup:staff::52:carl"}).status);
  EXPECT_EQ("staff:x:52:carl\n", nis.entry("group.org_dir", "staff"));
  EXPECT_FALSE(nis.box.exists(nis.box.work("file.tmp")));

  ASSERT_EQ(0, nis.run({"-p", "deleteGroup:crew"}).status);
  EXPECT_EQ((Argv{"-R", "name=crew", "group.org_dir"}), calls().back());
  EXPECT_EQ((std::vector<std::string>{"staff:x:52:carl"}), nis.table("group.org_dir"));
}

TEST_F(Commands, HostileValuesStayOneColumnEach) {
  const std::string gcos = "a\" uid=\"0 $(touch /tmp/kdl-pwn) `id` \\ ; | 'q'";
  RunResult r = nis.run({"-p", "addUser:ivan::1009:100:" + gcos + ":/home/ivan:/bin/sh"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("gcos=" + gcos, calls()[0][4]);
  EXPECT_EQ("uid=1009", calls()[0][2]);
  EXPECT_FALSE(nis.box.exists("/tmp/kdl-pwn"));

  // Aging values stand bare in the shadow column; they are quoted there.
  RunResult aging = nis.run({"-o", "-p", "addUser:jack::1010:100:::::1 2;x:$(id)::::"});
  ASSERT_EQ(0, aging.status) << aging.err;
  EXPECT_EQ("shadow=1 2;x:$(id):::::", calls()[1][7]);

  // A name with blanks reaches the tool as one key; "]" or "," cannot be
  // put in the indexed entry name at all.
  ASSERT_EQ(0, nis.run({"-o", "-p", "addUser:k l::1011:100"}).status);
  EXPECT_EQ("name=k l", calls()[2][8]);
  ASSERT_EQ(0, nis.run({"-p", "modifyUser:k l::::x y"}).status);
  EXPECT_EQ("[name=k l],passwd.org_dir", calls()[3].back());
  for (std::string p : {"modifyUser:a],group.org_dir::1", "renameUser:a]x,b", "renameGroup:g]x,h"}) {
    RunResult bad = nis.run({"-p", p});
    EXPECT_EQ(-3, bad.code()) << p;
    EXPECT_NE(std::string::npos, bad.err.find("_constructNisplusCommand_nisplus")) << bad.err;
  }
  EXPECT_EQ(4u, calls().size());
}

TEST(NisplusCommandLine, ExactTextOfEachRowAndTheCodesWithoutTrailer) {
  NisplusBox nis;
  EventRecord user;
  ASSERT_EQ(kOk, parseEventData(&user, "u:P:1:2:G H:/h:/s::3:4:5:6:7:8:9", kAddUser));
  std::string line;
  ASSERT_EQ(kOk, constructNisplusCommand(&line, user, kNisplusUserAdd, kAddUser));
  EXPECT_EQ("/usr/local/bin/nistbladm -a  passwd=\"P\"  uid=\"1\"  gid=\"2\"  gcos=\"G H\"  home=\"/h\" "
            " shell=\"/s\" shadow=3:4:5:6:7:8:9 name=u passwd.org_dir ",
            line);
  ASSERT_EQ(kOk, constructNisplusCommand(&line, user, kNisplusUserModify, kModifyUser));
  EXPECT_EQ("/usr/local/bin/nistbladm -E  passwd=\"P\"  uid=\"1\"  gid=\"2\"  gcos=\"G H\"  home=\"/h\" "
            " shell=\"/s\" shadow=3:4:5:6:7:8:9 [name=u],passwd.org_dir ",
            line);
  ASSERT_EQ(kOk, constructNisplusCommand(&line, user, kNisplusUserDelete, kDeleteUser));
  EXPECT_EQ("/usr/local/bin/nistbladm -R  name=u passwd.org_dir ", line);

  EventRecord group;
  ASSERT_EQ(kOk, parseEventData(&group, "g:x:50:a,b", kAddGroup));
  ASSERT_EQ(kOk, constructNisplusCommand(&line, group, kNisplusGroupAdd, kAddGroup));
  EXPECT_EQ("/usr/local/bin/nistbladm -a  passwd=\"x\"  gid=\"50\"  members=\"a,b\"  name=g group.org_dir ", line);
  EventRecord rename;
  ASSERT_EQ(kOk, parseEventData(&rename, "g,h", kRenameGroup));
  ASSERT_EQ(kOk, constructNisplusCommand(&line, rename, kNisplusGroupRename, kRenameGroup));
  EXPECT_EQ("/usr/local/bin/nistbladm -E  name=\"h\"  [name=g],group.org_dir ", line);

  for (int code : {kModifyPassword, kQueryUser, kQueryGroup}) {
    resetErrorTrace();
    EXPECT_EQ(kErrArgument, constructNisplusCommand(&line, user, kNisplusUserAdd, code));
    EXPECT_STREQ("Error_constructNisplusCommand", errorTraceText());
  }
  // A line that would not fit the command buffer is refused, not cut.
  user.fields[kGecos] = std::string(1000, 'g');
  EXPECT_EQ(kErrArgument, constructNisplusCommand(&line, user, kNisplusUserAdd, kAddUser));

  // The tool is looked for before anything else: without it every build
  // gives the search's code, also for a code without a trailer.
  ASSERT_EQ(0, unlink("/usr/local/bin/nistbladm"));
  for (int code : {kAddUser, kQueryUser}) {
    resetErrorTrace();
    EXPECT_EQ(kErrNotFound, constructNisplusCommand(&line, group, kNisplusGroupAdd, code));
    EXPECT_STREQ("Error_searchPath_constructNisplusCommand", errorTraceText());
  }
  resetErrorTrace();
}

}  // namespace
