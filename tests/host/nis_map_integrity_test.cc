// A NIS map that is missing for a rebuild, emptied or unreadable is never
// read as a store without accounts; ids and names that the maps would file
// under another key are refused.
#include <gtest/gtest.h>

#include <crypt.h>
#include <cstdio>
#include <functional>
#include <unistd.h>

#include "core/dbm_file.h"
#include "support/dbm_read.h"
#include "nis_sandbox.h"
#include "nisplus_box.h"
#include "support/token_encryptor.h"

namespace {

// The map moved aside as makedbm does between its unlink and its rename,
// while the shim runs; put back after holdMs, or only once the shim has
// ended when holdMs is negative.
RunResult duringGap(NisSandbox& nis, const std::string& map, const Argv& args, int holdMs,
                    const std::string& input = "") {
  const std::string path = nis.maps + "/" + map;
  EXPECT_EQ(0, std::rename(path.c_str(), (path + "~").c_str())) << map;
  pid_t pid = nis.box.startShim(args, {}, input);
  if (holdMs >= 0) {
    usleep(holdMs * 1000);
    EXPECT_EQ(0, std::rename((path + "~").c_str(), path.c_str())) << map;
  }
  RunResult r = nis.box.finish(pid);
  if (holdMs < 0) {
    EXPECT_EQ(0, std::rename((path + "~").c_str(), path.c_str())) << map;
  }
  return r;
}

Argv nisArgs(NisSandbox& nis, const std::string& event) {
  return {"-n", "nis", "-d", nis.maps, "-y", nis.src, "-p", event};
}

std::string pendingPassword(const std::string& name) {
  return valueOf(DbmFile::open("/usr/lib/corvex/rules/kdl2nis/.nis_yp_pass"), name).value_or("none");
}

const std::string kAliceQuery = "queryUser:alice::::::::::::::";
const std::string kBobLine = "bob:x:1002:1002:Bob:/home/bob:/bin/sh";

TEST(NisMapGap, CommandsAndQueriesWaitForAMapBeingRebuilt) {
  NisSandbox nis;
  const std::string hash = crypt("s3cret", "ab");
  nis.box.write(nis.src + "/shadow",
                "alice:" + hash + ":19001:0:99999:7:::\nbob:!!:19002:1:90:14:30:20000:\n", 0600);
  nis.rebuild();
  const std::string alice = "alice:x:1001:1001:Alice Liddell:/home/alice:/bin/bash:" + hash +
                            ":19001:0:99999:7:::";

  RunResult r = duringGap(nis, "shadow.byname", nisArgs(nis, kAliceQuery), 600);
  EXPECT_EQ("instanceUser:" + alice + "\n", r.out) << r.err;
  r = duringGap(nis, "shadow.byname", nisArgs(nis, "queryUser:a.*::::::::::::::"), 600);
  EXPECT_EQ("instanceUser:" + alice + "\n", r.out) << r.err;

  const std::string token = encryptToken("s3cret");
  r = duringGap(nis, "shadow.byname", {"-n", "nis", "-d", nis.maps, "-p", "modifyPassword:alice:," + token},
                600);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(":" + token + ":1", pendingPassword("alice"));

  r = duringGap(nis, "passwd.byname", nisArgs(nis, "modifyUser:bob::::::/bin/bash::::::::"), 600);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(kBobLine.substr(0, kBobLine.size() - 7) + "/bin/bash", nis.source("passwd", "bob"));
  r = duringGap(nis, "passwd.byname", nisArgs(nis, "deleteUser:bob"), 600);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", nis.source("passwd", "bob"));
  EXPECT_EQ("", nis.value("passwd.byname", "bob"));

  // A map that stays away fails the command or query, which then has
  // answered and changed nothing.
  r = duringGap(nis, "passwd.byname", nisArgs(nis, "deleteUser:alice"), -1);
  EXPECT_EQ("Error_keyPresence_nisUserDel: -11\n", r.err);
  EXPECT_NE("", nis.source("passwd", "alice"));
  r = duringGap(nis, "shadow.byname", nisArgs(nis, kAliceQuery), -1);
  EXPECT_EQ(-11, r.code()) << r.err;
  EXPECT_EQ("", r.out);
  r = duringGap(nis, "shadow.byname", {"-n", "nis", "-d", nis.maps, "-p", "modifyPassword:alice:," + token},
                -1);
  EXPECT_EQ(-11, r.code()) << r.err;
}

RunResult poll(NisSandbox& nis) { return nis.box.shim({"-n", "nis", "-d", nis.maps, "-p", ""}, {}, "y"); }

TEST(NisMapGap, APollNeverTakesAnEmptiedOrVanishingMapForAnEmptyStore) {
  NisSandbox nis;
  nis.box.sh("touch -d \"@$(( $(date +%s) - 100 ))\" " + nis.maps + "/*.byname");
  ASSERT_EQ(0, poll(nis).status);
  const std::string stamp = nis.box.read(nis.box.work("qvnisyp.stamp"));
  const std::string committed = nis.box.read(nis.box.work("passwd.byname.log"));

  for (const std::string map : {"passwd.byname", "shadow.byname"}) {
    const std::string path = nis.maps + "/" + map;
    nis.box.sh("cp -p " + path + " " + path + ".keep && : > " + path);
    RunResult r = poll(nis);
    EXPECT_GT(0, r.code()) << map << ": " << r.err;
    EXPECT_EQ("", r.out) << map;
    EXPECT_EQ(stamp, nis.box.read(nis.box.work("qvnisyp.stamp"))) << map;
    EXPECT_TRUE(committed == nis.box.read(nis.box.work("passwd.byname.log"))) << map;
    nis.box.sh("mv " + path + ".keep " + path);
  }
  // Gone for a moment, with its time unchanged: nothing happened.
  RunResult r = duringGap(nis, "shadow.byname", {"-n", "nis", "-d", nis.maps, "-p", ""}, 600, "y");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out);
  EXPECT_EQ(stamp, nis.box.read(nis.box.work("qvnisyp.stamp")));
}

TEST(NisRecords, AddsBeginALineOfTheirOwnWhereTheLastOneWasLeftOpen) {
  NisSandbox nis;
  for (const char* file : {"passwd", "shadow", "group"}) {
    std::string text = nis.box.read(nis.src + "/" + file);
    nis.box.write(nis.src + "/" + file, text.substr(0, text.size() - 1), 0600);
  }
  RunResult r = nis.run("addUser:newu::1700:1700:N:/home/newu:/bin/sh:x:::::::", {}, {{"encrypted", "h"}});
  ASSERT_EQ(0, r.status) << r.err;
  r = nis.run("addGroup:newg:x:1800:");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(kBobLine, nis.source("passwd", "bob"));
  EXPECT_EQ("bob:!!:19002:1:90:14:30:20000:", nis.source("shadow", "bob"));
  EXPECT_EQ("devs:x:1002:bob", nis.source("group", "devs"));
  EXPECT_EQ("newu:x:1700:1700:N:/home/newu:/bin/sh", nis.value("passwd.byname", "newu"));
  EXPECT_EQ(0u, nis.value("shadow.byname", "newu").rfind("newu:h:", 0));
  EXPECT_EQ("newg:x:1800:", nis.value("group.byname", "newg"));
}

// One value of 1,024 bytes in each name map, looked up by key.
TEST(NisQueries, DirectLookupsReturnTheWholeValue) {
  NisSandbox nis(false);
  const std::string user = "longu:x:1600:1600:" + std::string(1024 - 34, 'g') + ":/home/l:/bin/sh";
  const std::string group = "longg:x:1600:" + std::string(1024 - 13, 'm');
  ASSERT_EQ(1024u, user.size());
  ASSERT_EQ(1024u, group.size());
  nis.addSource("passwd", user + "\n");
  nis.addSource("group", group + "\n");
  nis.rebuild();
  EXPECT_EQ("instanceUser:" + user + "::::::::\n", nis.run("queryUser:longu::::::::::::::").out);
  EXPECT_EQ("instanceUser:" + user + "::::::::\n", nis.run("queryUser:::1600::::::::::::").out);
  EXPECT_EQ("instanceGroup:" + group + "\n", nis.run("queryGroup:longg:::").out);
  EXPECT_EQ("instanceGroup:" + group + "\n", nis.run("queryGroup:::1600:").out);
}

TEST(NisRecords, NamesWithABlankAndIdsInUseUnderAnotherSpellingAreRefused) {
  NisSandbox nis;
  // A hand-written source line may spell an id with leading zeros.
  nis.addSource("passwd", "zed:x:01500:01500::/:/bin/sh\n");
  nis.addSource("group", "zeds:x:01500:\n");
  nis.rebuild();
  const std::string before = nis.sources();
  EXPECT_EQ(-10, nis.run("addUser:newu::1500:100::/:/bin/sh:x:::::::", {}, {{"encrypted", "x"}}).code());
  EXPECT_EQ(-10, nis.run("addGroup:newg:x:1500:").code());
  for (const char* blank : {" ", "\t"}) {
    const std::string odd = std::string("x") + blank + "y";
    for (const std::string& event :
         {"addUser:" + odd + "::1650:1500::/:/bin/sh:x:::::::", "addGroup:" + odd + ":x:1651:",
          "renameUser:bob," + odd, "renameGroup:devs," + odd}) {
      RunResult r = nis.run(event, {}, {{"encrypted", "x"}});
      EXPECT_EQ(-3, r.code()) << event << ": " << r.err;
    }
  }
  EXPECT_EQ(before, nis.sources());
}

// Every backend refuses the id before it runs anything: the entry's trace
// alone, and no tool called.
TEST(EventIds, NotPlainDecimalAreRefusedOnEveryBackendBeforeAnyToolRuns) {
  const std::vector<std::string> ids{"01500", "+1500", " 1500", "1500 ", "-1", "1e3", "00"};
  auto events = [](const std::string& id) {
    return std::vector<std::string>{"addUser:u1::" + id + ":100::/:/bin/sh::::::::",
                                    "addUser:u1::1500:" + id + "::/:/bin/sh::::::::",
                                    "modifyUser:root::" + id + ":::::::::::::",
                                    "addGroup:g1:x:" + id + ":", "modifyGroup:root::" + id + ":"};
  };
  auto check = [&](const std::function<RunResult(const std::string&)>& run, const char* backend) {
    for (const std::string& id : ids)
      for (const std::string& event : events(id)) {
        RunResult r = run(event);
        EXPECT_EQ("Error_main: -3\n", r.err) << backend << " " << event;
      }
  };
  {
    Sandbox box;
    const std::string before = box.read("/etc/passwd") + box.read("/etc/group");
    for (const char* tool : {"/usr/sbin/useradd", "/usr/sbin/usermod", "/usr/sbin/groupadd", "/usr/sbin/groupmod"})
      box.record(tool);
    check([&](const std::string& e) { return box.shim({"-n", "files", "-p", e}, {{"encrypted", "x"}}); }, "files");
    for (const char* tool : {"/usr/sbin/useradd", "/usr/sbin/usermod", "/usr/sbin/groupadd", "/usr/sbin/groupmod"})
      EXPECT_TRUE(box.calls(tool).empty()) << tool;
    EXPECT_EQ(before, box.read("/etc/passwd") + box.read("/etc/group"));
  }
  {
    NisSandbox nis;
    const std::string before = nis.box.read(nis.src + "/passwd") + nis.box.read(nis.src + "/group");
    check([&](const std::string& e) { return nis.run(e, {}, {{"encrypted", "x"}}); }, "nis");
    EXPECT_EQ(before, nis.box.read(nis.src + "/passwd") + nis.box.read(nis.src + "/group"));
  }
  {
    NisplusBox nisplus;
    nisplus.box.record("/usr/local/bin/nistbladm");
    check([&](const std::string& e) { return nisplus.run({"-p", e}, {{"encrypted", "x"}}); }, "nisplus");
    EXPECT_TRUE(nisplus.box.calls("/usr/local/bin/nistbladm").empty());
  }
  // Plain decimal ids pass the entry.
  NisSandbox nis;
  EXPECT_EQ(0, nis.run("addGroup:g0:x:0:", {"-o"}).status);
  EXPECT_EQ(0, nis.run("addGroup:g1:x:1500:").status);
}

}  // namespace
