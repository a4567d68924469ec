// The stand-in log layout read by the poll's two nawk programs: which
// transactions are selected, and which event lines the entries become.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/result.h"
#include "core/runner.h"
#include "core/trace.h"
#include "publisher/nisplus_poll.h"
#include "store.h"
#include "support/temp_dir.h"
#include "support/text_file.h"

namespace {

using standin::LogEntry;
using standin::LogOp;
using standin::Row;

// A store in a fresh directory that is also the working directory of the
// programs; nislog and nismatch are small scripts there: nislog prints the
// store's log, nismatch answers "pw-<name>" as any user's password and notes
// the name it was asked for.
struct LogPrograms : ::testing::Test {
  TempDir temp;
  const std::string dir = temp.path();
  const standin::TableLayout* passwd = standin::findTable("passwd.org_dir");
  const standin::TableLayout* group = standin::findTable("group.org_dir");

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(temp.enter());
    script("nislog", "#!/bin/sh\ncat '" + dir + "/nislog.out'\n");
    script("nismatch", "#!/bin/sh\nn=\"${1#name=}\"\nprintf '%s\\n' \"$n\" >> '" + dir +
                           "/asked'\nprintf '%s:pw-%s:1:1\\n' \"$n\" \"$n\"\n");
  }
  void TearDown() override { resetErrorTrace(); }
  void script(const std::string& name, const std::string& text) {
    std::ofstream(dir + "/" + name) << text;
    chmod((dir + "/" + name).c_str(), 0755);
  }

  Row user(const std::string& name, const std::string& gcos = "G", const std::string& shadow = "1:2:3:4:5:6:7") {
    return {name, "hash", "10", "20", gcos, "/home/" + name, "/bin/sh", shadow};
  }
  void commit(const std::vector<LogEntry>& entries) {
    standin::Store store(dir);
    store.commit(entries, 0);
  }

  // Runs both programs as the poll does; returns the event lines and the
  // XID that the selector wrote.
  std::vector<std::string> events(long lastXid, long* currentXid = nullptr) {
    {
      standin::Store store(dir);
      std::ofstream(dir + "/nislog.out") << store.log();
    }
    EXPECT_EQ(kOk, qvSystem(nislogSelectCommand(dir, "/usr/bin", lastXid)));
    if (currentXid) *currentXid = std::strtol(readText("qvnisplus.xid").c_str(), nullptr, 10);
    EXPECT_EQ(kOk, qvSystem("/usr/bin/nawk", {"nawk", kNislogEventProgram, "qvnisplus.log"},
                            {{"PATH", dir + ":" + std::getenv("PATH")}}));
    auto out = splitLines(readText("tempcache"));
    unlink("tempcache");
    unlink("qvnisplus.xid");
    unlink("qvnisplus.log");
    return out;
  }
};

TEST_F(LogPrograms, AddModifyRenameAndDeleteOfUsersWithEachUsersOwnPassword) {
  commit({{LogOp::kAdd, passwd, user("alice")}});
  commit({{LogOp::kAdd, passwd, user("bob", "G", "")}});
  commit({{LogOp::kRemove, passwd, user("alice")}, {LogOp::kAdd, passwd, user("alice", "New")}});
  commit({{LogOp::kRemove, passwd, user("bob", "G", "")}, {LogOp::kAdd, passwd, user("robert", "G", "")}});
  commit({{LogOp::kRemove, passwd, user("alice", "New")}});
  long xid = 0;
  EXPECT_EQ((std::vector<std::string>{
                "addUser:alice:pw-alice:10:20:G:/home/alice:/bin/sh::1:2:3:4:5:6:7",
                "addUser:bob:pw-bob:10:20:G:/home/bob:/bin/sh::::::::",
                "modifyUser:alice:pw-alice:10:20:New:/home/alice:/bin/sh::1:2:3:4:5:6:7",
                "renameUser:bob,robert::pw-robert:10:20:G:/home/robert:/bin/sh::::::::",
                "deleteUser:alice::10:20:New:/home/alice:/bin/sh::1:2:3:4:5:6:7",
            }),
            events(0, &xid));
  EXPECT_EQ(5, xid);
  // Every password came from a nismatch run of its own, for that very name.
  EXPECT_EQ("alice\nbob\nalice\nrobert\n", readText("asked"));
}

TEST_F(LogPrograms, RemovalsAndAdditionsOfSeparateTransactionsStaySeparate) {
  // Each header's XID must be read from that header: reading a field split
  // by the previous line's separator gave every header after an addition
  // the same id, so a later addition looked like part of the last removal.
  commit({{LogOp::kAdd, passwd, user("alice")}});
  commit({{LogOp::kRemove, passwd, user("alice")}});
  commit({{LogOp::kAdd, passwd, user("bob")}});
  commit({{LogOp::kAdd, passwd, user("carl")}});
  commit({{LogOp::kRemove, passwd, user("bob")}, {LogOp::kAdd, passwd, user("bob", "B")}});
  auto lines = events(1);
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ(0u, lines[0].find("deleteUser:alice:")) << lines[0];
  EXPECT_EQ(0u, lines[1].find("addUser:bob:pw-bob:")) << lines[1];
  EXPECT_EQ(0u, lines[2].find("addUser:carl:pw-carl:")) << lines[2];
  EXPECT_EQ(0u, lines[3].find("modifyUser:bob:pw-bob:10:20:B:")) << lines[3];
}

TEST_F(LogPrograms, GroupsArePublishedWithAnEmptyPasswordEvenAfterARemovedUser) {
  commit({{LogOp::kRemove, passwd, user("staff")}});
  commit({{LogOp::kAdd, group, {"staff", "x", "50", "alice,bob"}}});
  commit({{LogOp::kRemove, group, {"staff", "x", "50", "alice,bob"}}, {LogOp::kAdd, group, {"staff", "y", "50", ""}}});
  commit({{LogOp::kRemove, group, {"staff", "y", "50", ""}}, {LogOp::kAdd, group, {"crew", "y", "50", ""}}});
  commit({{LogOp::kRemove, group, {"crew", "y", "50", ""}}});
  EXPECT_EQ((std::vector<std::string>{
                "deleteUser:staff::10:20:G:/home/staff:/bin/sh::1:2:3:4:5:6:7",
                "addGroup:staff::50:alice,bob",
                "modifyGroup:staff::50:",
                "renameGroup:staff,crew:::50:",
                "deleteGroup:crew::50:",
            }),
            events(0));
  EXPECT_EQ("", readText("asked"));
}

TEST_F(LogPrograms, ValuesThatLookLikeLogMarkersStayValues) {
  const std::string gcos = "O'Brien Current XID : 999 #7, XID : 9 REMOVE Entry [0] passwd_tbl";
  commit({{LogOp::kAdd, passwd, user("olga", gcos)}});
  commit({{LogOp::kAdd, passwd, user("it's me")}});
  long xid = 0;
  auto lines = events(0, &xid);
  EXPECT_EQ(2, xid);
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("addUser:olga:pw-olga:10:20:" + gcos + ":/home/olga:/bin/sh::1:2:3:4:5:6:7", lines[0]);
  EXPECT_EQ("addUser:it's me:pw-it's me:10:20:G:/home/it's me:/bin/sh::1:2:3:4:5:6:7", lines[1]);
}

}  // namespace
