// The NIS poll of the real binary on maps built by the host's Makefile:
// first poll, unchanged maps, changes made through the sources, failures.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/runner.h"
#include "nis_sandbox.h"

namespace {

const std::string kAliceRecord =
    "alice:x:1001:1001:Alice Liddell:/home/alice:/bin/bash:$6$salt$alicehash:19001:0:99999:7:::";
const std::string kBobRecord = "bob:x:1002:1002:Bob:/home/bob:/bin/sh:!!:19002:1:90:14:30:20000:";

RunResult poll(NisSandbox& nis, const Argv& flags = {}) {
  Argv args{"-n", "nis", "-d", nis.maps};
  args.insert(args.end(), flags.begin(), flags.end());
  args.push_back("-p");
  args.push_back("");
  return nis.box.shim(args, {}, "y");
}

// Later than any time a map had: the stamp counts whole seconds.
void ageMaps(NisSandbox& nis, const std::string& maps) {
  nis.box.sh("cd " + nis.maps + " && touch -d \"@$(( $(date +%s) + 5 ))\" " + maps);
}

void expectNoNewSnapshots(NisSandbox& nis) {
  for (const char* t : {"passwd", "shadow", "group"})
    EXPECT_FALSE(nis.box.exists(nis.box.work(std::string(t) + ".byname.log.tmp"))) << t;
  EXPECT_FALSE(nis.box.exists(nis.box.work("nis.pub")));
}

TEST(NisPoll, FirstPollReportsAllAccountsThenUnchangedMapsReportNothing) {
  NisSandbox nis;
  RunResult r = poll(nis);
  ASSERT_EQ(0, r.status) << r.err;
  auto lines = splitLines(r.out);
  // Groups without members first, users, then the member lists.
  ASSERT_EQ(8u, lines.size()) << r.out;
  std::vector<std::string> groups(lines.begin(), lines.begin() + 3);
  std::vector<std::string> users(lines.begin() + 3, lines.begin() + 5);
  std::vector<std::string> members(lines.begin() + 5, lines.begin() + 8);
  std::sort(groups.begin(), groups.end());
  std::sort(users.begin(), users.end());
  std::sort(members.begin(), members.end());
  EXPECT_EQ((std::vector<std::string>{"addGroup:devs:x:1002:", "addGroup:staff:x:1001:",
                                      "addGroup:staffers:x:1003:"}),
            groups);
  EXPECT_EQ((std::vector<std::string>{"addUser:" + kAliceRecord, "addUser:" + kBobRecord}), users);
  EXPECT_EQ((std::vector<std::string>{"modifyGroup:devs:::bob", "modifyGroup:staff:::alice,bob",
                                      "modifyGroup:staffers:::"}),
            members);
  for (const char* t : {"passwd", "shadow", "group"})
    EXPECT_TRUE(nis.box.exists(nis.box.work(std::string(t) + ".byname.log"))) << t;
  std::string stamp = nis.box.read(nis.box.work("qvnisyp.stamp"));
  EXPECT_EQ(std::to_string(fileMtime(nis.maps + "/passwd.byname")) + " " +
                std::to_string(fileMtime(nis.maps + "/shadow.byname")) + " " +
                std::to_string(fileMtime(nis.maps + "/group.byname")),
            stamp);
  expectNoNewSnapshots(nis);

  r = poll(nis);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out);
  EXPECT_EQ(stamp, nis.box.read(nis.box.work("qvnisyp.stamp")));
  expectNoNewSnapshots(nis);
}

TEST(NisPoll, ChangesMadeThroughTheSourcesAreReported) {
  NisSandbox nis;
  ASSERT_EQ(0, poll(nis).status);
  nis.box.write(nis.src + "/passwd",
                "alice:x:1001:1001:Alice Liddell:/home/alice:/bin/zsh\n"
                "carol:x:1005:1005::/home/carol:/bin/sh\n");
  nis.box.write(nis.src + "/shadow",
                "alice:$6$salt$alicehash:19001:0:99999:7:::\n"
                "carol:!!:19100:0:99999:7:::\n",
                0600);
  nis.rebuild();
  ageMaps(nis, "passwd.byname shadow.byname");
  RunResult r = poll(nis);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "deleteUser:bob\n"
      "modifyUser:alice::::::/bin/zsh::::::::\n"
      "addUser:carol:x:1005:1005::/home/carol:/bin/sh:!!:19100:0:99999:7:::\n",
      r.out);
  r = poll(nis);
  EXPECT_EQ("", r.out);
}

TEST(NisPoll, OnlyTheGroupMapChangedGivesOnlyGroupEvents) {
  NisSandbox nis;
  ASSERT_EQ(0, poll(nis).status);
  nis.box.write(nis.src + "/group", "staff:x:1001:alice\ndevs:x:1002:bob\nops:x:1050:\n");
  // Users changed in the source too, but their maps are not rebuilt.
  nis.box.write(nis.src + "/passwd", "alice:x:1001:1001::/:/bin/sh\n");
  nis.box.sh("cd " + nis.maps + " && make -f /var/yp/Makefile group >/dev/null 2>&1");
  ageMaps(nis, "group.byname");
  RunResult r = poll(nis);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "deleteGroup:staffers\n"
      "modifyGroup:staff:::\n"
      "addGroup:ops:x:1050:\n"
      "modifyGroup:staff:::alice\n"
      "modifyGroup:ops:::\n",
      r.out);
}

TEST(NisPoll, WithoutShadowNeitherCopiedNorComparedAndStampHoldsZero) {
  NisSandbox nis;
  RunResult r = poll(nis, {"-s"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos,
            r.out.find("addUser:bob:x:1002:1002:Bob:/home/bob:/bin/sh::::::::\n")) << r.out;
  EXPECT_FALSE(nis.box.exists(nis.box.work("shadow.byname.log")));
  std::string stamp = nis.box.read(nis.box.work("qvnisyp.stamp"));
  EXPECT_NE(std::string::npos, stamp.find(" 0 ")) << stamp;
  // A shadow change alone is not seen.
  ageMaps(nis, "shadow.byname");
  r = poll(nis, {"-s"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out);
}

TEST(NisPoll, GroupsAloneWhenThereIsNoPasswdMap) {
  NisSandbox nis;
  nis.box.sh("rm " + nis.maps + "/passwd.byname");
  RunResult r = poll(nis);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(std::string::npos, r.out.find("addUser")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("addGroup:staff:x:1001:\n")) << r.out;
  EXPECT_EQ(0u, nis.box.read(nis.box.work("qvnisyp.stamp")).rfind("-2 ", 0));

  nis.box.sh("rm " + nis.maps + "/group.byname");
  r = poll(nis);
  EXPECT_EQ(-1, r.code());
  EXPECT_EQ("Error_handleNISChange: -1\n", r.err);
  r = nis.box.shim({"-n", "nis", "-p", ""}, {}, "y");
  EXPECT_EQ(-11, r.code());
}

TEST(NisPoll, PrintingThatFailsCommitsNothing) {
  NisSandbox nis;
  RunResult r = nis.box.sh(shimBinary() + " -n nis -d " + nis.maps + " -p '' >/dev/full </dev/null");
  EXPECT_NE(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("displayPublisherEvents_handleNISChange")) << r.err;
  EXPECT_FALSE(nis.box.exists(nis.box.work("qvnisyp.stamp")));
  for (const char* t : {"passwd", "shadow", "group"})
    EXPECT_FALSE(nis.box.exists(nis.box.work(std::string(t) + ".byname.log"))) << t;
  expectNoNewSnapshots(nis);
  // So the next poll is a first poll again.
  r = poll(nis);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("addUser:" + kAliceRecord + "\n"));
}

}  // namespace
