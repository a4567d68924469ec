// The NIS poll of the real binary on maps built by the host's Makefile.
#include <ctime>
#include <gtest/gtest.h>

#include "core/runner.h"
#include "nis_sandbox.h"

namespace {

RunResult poll(NisSandbox& nis, const Argv& flags = {}) {
  Argv args{"-n", "nis", "-d", nis.maps};
  args.insert(args.end(), flags.begin(), flags.end());
  args.insert(args.end(), {"-p", ""});
  return nis.box.shim(args, {}, "y");
}

// Sources edited, maps rebuilt and dated later than the last poll's stamp
// (which counts whole seconds).
void rebuildLater(NisSandbox& nis, const std::string& targets, const std::string& maps) {
  nis.box.sh("cd " + nis.maps + " && make -f /var/yp/Makefile " + targets +
             " >/dev/null 2>&1 && touch -d \"@$(( $(date +%s) + 5 ))\" " + maps);
}

bool committed(NisSandbox& nis, const std::string& table) {
  return nis.box.exists(nis.box.work(table + ".byname.log"));
}

void expectNoNewSnapshots(NisSandbox& nis) {
  for (const char* t : {"passwd", "shadow", "group"})
    EXPECT_FALSE(nis.box.exists(nis.box.work(std::string(t) + ".byname.log.tmp"))) << t;
  EXPECT_FALSE(nis.box.exists(nis.box.work("nis.pub")));
}

TEST(NisPoll, FirstPollReportsAllThenUnchangedMapsReportNothing) {
  NisSandbox nis;
  // Maps older than the poll's second, so their times can be trusted.
  nis.box.sh("touch -d \"@$(( $(date +%s) - 100 ))\" " + nis.maps + "/*.byname");
  RunResult r = poll(nis);
  ASSERT_EQ(0, r.status) << r.err;
  auto lines = splitLines(r.out);
  ASSERT_EQ(8u, lines.size()) << r.out;  // 3 groups, 2 users, 3 member lists
  EXPECT_EQ("addGroup:", lines[0].substr(0, 9));
  EXPECT_NE(std::string::npos, r.out.find("addUser:bob:x:1002:1002:Bob:/home/bob:/bin/sh:!!:19002:1:90:14:30:20000:\n"));
  EXPECT_EQ("modifyGroup:", lines[7].substr(0, 12));
  for (const char* t : {"passwd", "shadow", "group"}) EXPECT_TRUE(committed(nis, t)) << t;
  std::string stamp = nis.box.read(nis.box.work("qvnisyp.stamp"));
  EXPECT_EQ(std::to_string(fileMtime(nis.maps + "/passwd.byname")) + " " +
                std::to_string(fileMtime(nis.maps + "/shadow.byname")) + " " +
                std::to_string(fileMtime(nis.maps + "/group.byname")),
            stamp);
  expectNoNewSnapshots(nis);

  r = poll(nis);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out);
  EXPECT_EQ(stamp, nis.box.read(nis.box.work("qvnisyp.stamp")));
}

// A map rebuilt in the same second in which a poll read its time keeps that
// time; the poll must not have trusted it.
TEST(NisPoll, MapsOfTheSecondTheyWereReadInAreComparedAgainByTheNextPoll) {
  NisSandbox nis;
  // A second that has not ended when the poll reads the times, however long
  // a loaded machine takes to start it.
  long second = static_cast<long>(std::time(nullptr)) + 60;
  nis.box.sh("touch -d @" + std::to_string(second) + " " + nis.maps + "/*.byname");
  ASSERT_EQ(0, poll(nis).status);
  EXPECT_EQ("-1", nis.box.read(nis.box.work("qvnisyp.stamp")).substr(0, 2));
  nis.box.write(nis.src + "/passwd", "alice:x:1001:1001:Alice Liddell:/home/alice:/bin/zsh\n"
                                     "bob:x:1002:1002:Bob:/home/bob:/bin/sh\n");
  // Aged first, so that make sees the source as newer and rebuilds.
  nis.box.sh("touch -d @1 " + nis.maps + "/*.byname; cd " + nis.maps +
             " && make -f /var/yp/Makefile passwd >/dev/null 2>&1; touch -d @" +
             std::to_string(second) + " " + nis.maps + "/*.byname");
  RunResult r = poll(nis);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("modifyUser:alice::::::/bin/zsh::::::::\n", r.out);
}

TEST(NisPoll, ChangesMadeThroughTheSourcesAreReportedOnce) {
  NisSandbox nis;
  ASSERT_EQ(0, poll(nis).status);
  nis.box.write(nis.src + "/passwd",
                "alice:x:1001:1001:Alice Liddell:/home/alice:/bin/zsh\ncarol:x:1005:1005::/c:/bin/sh\n");
  nis.box.write(nis.src + "/shadow", "alice:$6$salt$alicehash:19001:0:99999:7:::\ncarol:!!:::::::\n");
  rebuildLater(nis, "passwd", "passwd.byname shadow.byname");
  RunResult r = poll(nis);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("deleteUser:bob\nmodifyUser:alice::::::/bin/zsh::::::::\n"
            "addUser:carol:x:1005:1005::/c:/bin/sh:!!:::::::\n",
            r.out);
  EXPECT_EQ("", poll(nis).out);
}

TEST(NisPoll, OnlyTheGroupMapChangedGivesOnlyGroupEvents) {
  NisSandbox nis;
  ASSERT_EQ(0, poll(nis).status);
  nis.box.write(nis.src + "/group", "staff:x:1001:alice\ndevs:x:1002:bob\nops:x:1050:\n");
  nis.box.write(nis.src + "/passwd", "alice:x:1001:1001::/:/bin/sh\n");  // not rebuilt
  rebuildLater(nis, "group", "group.byname");
  EXPECT_EQ("deleteGroup:staffers\nmodifyGroup:staff:::\naddGroup:ops:x:1050:\n"
            "modifyGroup:staff:::alice\nmodifyGroup:ops:::\n",
            poll(nis).out);
}

TEST(NisPoll, WithoutShadowNothingOfItIsCopiedComparedOrStamped) {
  NisSandbox nis;
  RunResult r = poll(nis, {"-s"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("addUser:bob:x:1002:1002:Bob:/home/bob:/bin/sh::::::::\n"));
  EXPECT_FALSE(committed(nis, "shadow"));
  EXPECT_NE(std::string::npos, nis.box.read(nis.box.work("qvnisyp.stamp")).find(" 0 "));
  rebuildLater(nis, "passwd", "shadow.byname");
  EXPECT_EQ("", poll(nis, {"-s"}).out);
}

TEST(NisPoll, GroupsAloneWithoutPasswdMapAndAFailureWithNeither) {
  NisSandbox nis;
  nis.box.sh("rm " + nis.maps + "/passwd.byname");
  RunResult r = poll(nis);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(std::string::npos, r.out.find("addUser")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("addGroup:staff:x:1001:\n")) << r.out;
  EXPECT_EQ(0u, nis.box.read(nis.box.work("qvnisyp.stamp")).rfind("-2 ", 0));
  nis.box.sh("rm " + nis.maps + "/group.byname");
  EXPECT_EQ("Error_handleNISChange: -1\n", poll(nis).err);
  EXPECT_EQ(-11, nis.box.shim({"-n", "nis", "-p", ""}, {}, "y").code());
}

TEST(NisPoll, PrintingThatFailsCommitsNothing) {
  NisSandbox nis;
  RunResult r = nis.box.sh(shimBinary() + " -n nis -d " + nis.maps + " -p '' >/dev/full </dev/null");
  EXPECT_NE(std::string::npos, r.err.find("displayPublisherEvents_handleNISChange")) << r.err;
  EXPECT_FALSE(nis.box.exists(nis.box.work("qvnisyp.stamp")));
  for (const char* t : {"passwd", "shadow", "group"}) EXPECT_FALSE(committed(nis, t)) << t;
  expectNoNewSnapshots(nis);
  // So the next poll is a first poll again.
  EXPECT_EQ(8u, splitLines(poll(nis).out).size());
}

}  // namespace
