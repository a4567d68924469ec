// Group commands and membership of the files backend with the host's real
// tools, in the sandbox.
#include <gtest/gtest.h>

#include "files_test_support.h"

namespace {

class FilesGroup : public FilesSandboxTest {
 protected:
  void SetUp() override {
    FilesSandboxTest::SetUp();
    for (const char* name : {"a", "b", "c"}) addUser(name, "", name);
    ASSERT_EQ(0, box.sh("/usr/sbin/groupadd -g 601 wheel2 && /usr/sbin/usermod -G wheel2 a").status);
  }
  RunResult run(const std::string& event, const Argv& options = {}) { return runFiles(box, event, {}, options); }
};

TEST_F(FilesGroup, AddCreatesTheGroupAndAddsItToEachMembersOtherGroups) {
  box.record("/usr/sbin/groupadd");
  box.record("/usr/sbin/usermod");
  RunResult r = run("addGroup:team:x:501:a,b", {"-o"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ((std::vector<Argv>{{"-g", "501", "-o", "team"}}), box.calls("/usr/sbin/groupadd"));
  // a keeps wheel2; b has only its primary group, so team alone.
  EXPECT_EQ((std::vector<Argv>{{"-G", "wheel2,team", "a"}, {"-G", "team", "b"}}),
            box.calls("/usr/sbin/usermod"));
  EXPECT_EQ("team:x:501:a,b", box.entry("/etc/group", "team"));
  EXPECT_EQ("wheel2:x:601:a", box.entry("/etc/group", "wheel2"));
  EXPECT_FALSE(box.exists(box.work("grp.tmp")));
  EXPECT_EQ("", newCheckFindings());
}

TEST_F(FilesGroup, AddWithoutGidOrMembersDoesNothingAndFails) {
  box.record("/usr/sbin/groupadd");
  RunResult r = run("addGroup:team:x::");
  EXPECT_EQ(-11, r.code());
  // The membership row of the tool table names no tool and says so.
  EXPECT_EQ("Error_constructFilesCommand_handleGroupAdd: -11", traceLine(r));
  EXPECT_TRUE(box.calls("/usr/sbin/groupadd").empty());
  EXPECT_EQ(-4, run("addGroup:wheel2:x:611:").code());
  EXPECT_EQ(-10, run("addGroup:other:x:60:").code());
}

TEST_F(FilesGroup, MemberChecksStopTheMembershipStepBeforeAnyChange) {
  box.record("/usr/sbin/usermod");
  box.loginUsers({"root", "b"});
  RunResult loggedIn = run("addGroup:team:x:501:a,b");
  EXPECT_EQ(-5, loggedIn.code());
  EXPECT_EQ("Error_constructFilesCommand_qvSystem_checkUserList_addUsersToGroup_handleGroupAdd: -5",
            traceLine(loggedIn));
  // The group made by groupadd stays; no member was changed.
  EXPECT_EQ("team:x:501:", box.entry("/etc/group", "team"));
  EXPECT_TRUE(box.calls("/usr/sbin/usermod").empty());

  for (const char* list : {"a,nobody2", ",a", "a,,c"}) {
    RunResult unknown = run(std::string("modifyGroup:team::501:") + list);
    EXPECT_EQ(-11, unknown.code()) << list;
    EXPECT_NE(std::string::npos, traceLine(unknown).find("checkUserList_modifyUsersInGroup_handleGroupMod"));
  }
  // Names are matched literally, never as patterns: "." is not any character.
  EXPECT_EQ(-11, run("modifyGroup:team:::.").code());
  EXPECT_EQ(-11, run("modifyGroup:team:::a.*").code());
  EXPECT_TRUE(box.calls("/usr/sbin/usermod").empty());
  EXPECT_EQ("team:x:501:", box.entry("/etc/group", "team"));
}

// A group that a stopped add left (groupadd done, none or some of the
// members added) is finished by the engine's retry of the same event; any
// other group of that name is a plain "name in use", left as it is.
TEST_F(FilesGroup, ARetriedAddFinishesWhatAStoppedOneLeftAndRefusesAnyOtherGroup) {
  struct Left {
    const char* made;  // the group's line before the retry
    int code;
  };
  for (const Left& left : {Left{"team:x:501:", 0}, Left{"team:x:501:a", 0},
                           Left{"team:x:501:c", -4}, Left{"team:x:501:a,c", -4}, Left{"team:x:502:", -4}}) {
    const std::string made = left.made;
    ASSERT_EQ(0, box.sh("/usr/sbin/groupdel team 2>/dev/null; /usr/sbin/groupadd -g " + made.substr(7, 3) +
                        " team && /usr/sbin/usermod -G wheel2 a && /usr/sbin/usermod -G '' b && /usr/sbin/usermod -G '' c"
                        " && for m in $(echo '" + made.substr(11) + "' | tr , ' '); do /usr/sbin/usermod -a -G team $m; done")
                  .status) << made;
    const std::string before = box.entry("/etc/group", "team");
    RunResult r = run("addGroup:team:x:501:a,b");
    EXPECT_EQ(left.code, r.code()) << made << ": " << r.err;
    EXPECT_EQ(left.code == 0 ? "team:x:501:a,b" : before, box.entry("/etc/group", "team")) << made;
    EXPECT_EQ("wheel2:x:601:a", box.entry("/etc/group", "wheel2")) << made;
  }
  EXPECT_EQ("", newCheckFindings());
}

TEST_F(FilesGroup, ModifyReplacesTheMembersOrEmptiesTheGroup) {
  ASSERT_EQ(0, run("addGroup:team:x:501:a,b").status);
  box.record("/usr/sbin/usermod");
  box.record("/usr/sbin/groupmod");

  EXPECT_EQ(0, run("modifyGroup:team::").status);
  EXPECT_TRUE(box.calls("/usr/sbin/usermod").empty());
  EXPECT_TRUE(box.calls("/usr/sbin/groupmod").empty());

  ASSERT_EQ(0, run("modifyGroup:team::505:c").status);
  EXPECT_EQ((std::vector<Argv>{{"-g", "505", "team"}}), box.calls("/usr/sbin/groupmod"));
  // The old members lose team (keeping their other groups), then c gets it.
  EXPECT_EQ((std::vector<Argv>{{"-G", "wheel2", "a"}, {"-G", "", "b"}, {"-G", "team", "c"}}),
            box.calls("/usr/sbin/usermod"));
  EXPECT_EQ("team:x:505:c", box.entry("/etc/group", "team"));
  EXPECT_EQ("wheel2:x:601:a", box.entry("/etc/group", "wheel2"));

  ASSERT_EQ(0, run("modifyGroup:team:::*").status);
  EXPECT_EQ("team:x:505:", box.entry("/etc/group", "team"));
  EXPECT_EQ(1u, box.calls("/usr/sbin/groupmod").size());

  // No line for the group: nobody is changed.
  RunResult missing = run("modifyGroup:nosuchgrp:::a");
  EXPECT_EQ(-6, missing.code());
  EXPECT_EQ("wheel2:x:601:a", box.entry("/etc/group", "wheel2"));
  EXPECT_EQ("", newCheckFindings());
}

TEST_F(FilesGroup, DeleteAndRename) {
  ASSERT_EQ(0, run("addGroup:team:x:501:a").status);
  box.record("/usr/sbin/groupmod");
  box.record("/usr/sbin/groupdel");

  RunResult noNewName = run("renameGroup:team");
  EXPECT_EQ(-11, noNewName.code());
  EXPECT_EQ("Error_handleGroupRename: -11", traceLine(noNewName));
  ASSERT_EQ(0, run("renameGroup:team,squad").status);
  EXPECT_EQ((std::vector<Argv>{{"-n", "squad", "team"}}), box.calls("/usr/sbin/groupmod"));
  EXPECT_EQ("squad:x:501:a", box.entry("/etc/group", "squad"));

  ASSERT_EQ(0, run("deleteGroup:squad").status);
  EXPECT_EQ((std::vector<Argv>{{"squad"}}), box.calls("/usr/sbin/groupdel"));
  EXPECT_EQ("", box.entry("/etc/group", "squad"));
  RunResult gone = run("deleteGroup:squad");
  EXPECT_EQ(-3, gone.code());
  EXPECT_EQ("Error_qvSystem_handleGroupDel: -3", traceLine(gone));
  EXPECT_EQ("", newCheckFindings());
}

}  // namespace
