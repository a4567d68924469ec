// NIS queries answered from the real maps read in place; modifyPassword
// reading the stored hash through them.
#include <gtest/gtest.h>

#include <algorithm>
#include <crypt.h>

#include "core/dbm_file.h"
#include "nis_sandbox.h"
#include "support/token_encryptor.h"
#include "support/dbm_read.h"
#include "support/dir_listing.h"

namespace {

const std::string kAlice =
    "alice:x:1001:1001:Alice Liddell:/home/alice:/bin/bash:$6$salt$alicehash:19001:0:99999:7:::";
const std::string kBobPasswd = "bob:x:1002:1002:Bob:/home/bob:/bin/sh";

std::string userQuery(const std::string& name, const std::string& uid = "",
                      const std::string& shell = "") {
  return "queryUser:" + name + "::" + uid + "::::" + shell + "::::::::";
}

// Nothing that a query makes may outlive it.
void expectNoLeftovers(NisSandbox& nis) {
  for (const std::string& dir : {nis.maps, nis.box.workdir()}) {
    for (const std::string& name : listing(dir))
      EXPECT_TRUE(name.find("tmpmap") == std::string::npos && name != "quser.nis" &&
                  name != "qgroup.nis" && name.rfind(".kdl2nis.", 0) != 0)
          << dir << "/" << name;
  }
}

TEST(NisUserQuery, LookupsListingsAndTheShadowColonRule) {
  NisSandbox nis;
  EXPECT_EQ("instanceUser:" + kAlice + "\n", nis.run(userQuery("alice")).out);
  EXPECT_EQ("instanceUser:" + kBobPasswd + ":!!:19002:1:90:14:30:20000:\n",
            nis.run(userQuery("", "1002")).out);
  // Patterns, and names not in the maps (root is below their uid
  // threshold), go through the listing; its bookkeeping keys are no users.
  EXPECT_EQ("instanceUser:" + kAlice + "\n", nis.run(userQuery("a.*")).out);
  RunResult r = nis.run(userQuery("root"));
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out);
  auto lines = splitLines(nis.run(userQuery(".*")).out);
  EXPECT_EQ(2u, lines.size());
  // Without shadow data a lookup adds eight colons, a listing seven.
  EXPECT_EQ("instanceUser:" + kBobPasswd + "::::::::\n", nis.run(userQuery("bob"), {"-s"}).out);
  EXPECT_EQ("instanceUser:" + kBobPasswd + ":::::::\n", nis.run(userQuery("b.b"), {"-s"}).out);
  expectNoLeftovers(nis);
}

TEST(NisUserQuery, ADomainWithoutShadowMapAnswersLikeNoShadow) {
  NisSandbox nis(false);
  RunResult r = nis.run(userQuery("bob"));
  EXPECT_EQ("", r.err);
  EXPECT_EQ("instanceUser:" + kBobPasswd + "::::::::\n", r.out);
}

// A listing names every user once, in the map's own order, which is no
// contract; a bookkeeping key is no user to look up.
TEST(NisUserQuery, ListingsNameEveryUserOfALargeMapOnce) {
  NisSandbox nis;
  std::string passwd, shadow;
  std::vector<std::string> expected;
  for (int i = 0; i < 600; ++i) {
    std::string name = "u" + std::to_string(i);
    std::string line = name + ":x:" + std::to_string(2000 + i) + ":100::/home/" + name + ":/bin/sh";
    passwd += line + "\n";
    shadow += name + ":!:19000:0:99999:7:::\n";
    expected.push_back("instanceUser:" + line + ":!:19000:0:99999:7:::");
  }
  nis.box.write(nis.src + "/passwd", passwd);
  nis.box.write(nis.src + "/shadow", shadow, 0600);
  nis.rebuild();
  auto lines = splitLines(nis.run(userQuery("u.*")).out);
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, lines);
  RunResult r = nis.run(userQuery("YP_MASTER_NAME"));
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out);
  expectNoLeftovers(nis);
}

TEST(NisGroupQuery, ByNameGidAndPattern) {
  NisSandbox nis;
  EXPECT_EQ("instanceGroup:staff:x:1001:alice,bob\n", nis.run("queryGroup:staff:::").out);
  EXPECT_EQ("instanceGroup:devs:x:1002:bob\n", nis.run("queryGroup:::1002:").out);
  auto lines = splitLines(nis.run("queryGroup:::.*:.*bob.*").out);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ((std::vector<std::string>{"instanceGroup:devs:x:1002:bob",
                                      "instanceGroup:staff:x:1001:alice,bob"}),
            lines);
  EXPECT_EQ("", nis.run("queryGroup:nogroup:::").out);
  expectNoLeftovers(nis);
}

TEST(NisQueries, MissingMapsAreReportedAndLeaveNothingBehind) {
  NisSandbox nis;
  nis.box.sh("rm " + nis.maps + "/passwd.byname " + nis.maps + "/group.byname");
  RunResult r = nis.run(userQuery("alice"));
  EXPECT_NE(std::string::npos,
            r.err.find("Error_qvSystem_NISBackupByClone_nisUserNameQuery_nisUserQuery: -11\n"))
      << r.err;
  r = nis.run("queryGroup:staff:::");
  EXPECT_NE(std::string::npos, r.err.find("_NISBackupByClone_nisGroupNameQuery_nisGroupQuery: -11\n"))
      << r.err;
  r = nis.run(userQuery("", "", "/bin/sh"));
  EXPECT_NE(std::string::npos, r.err.find("_NISBackupByClone_nisUserQuery: -11\n")) << r.err;
  r = nis.run("queryGroup::x::");
  EXPECT_NE(std::string::npos, r.err.find("_NISBackupByClone_nisGroupQuery: -11\n")) << r.err;
  expectNoLeftovers(nis);
  EXPECT_EQ("Error_nisUserQuery: -11\n", nis.box.shim({"-n", "nis", "-p", userQuery("a")}).err);
}

TEST(NisModifyPassword, ReadsTheStoredHashThroughTheNisQuery) {
  NisSandbox nis;
  nis.box.write(nis.src + "/shadow", "alice:" + std::string(crypt("s3cret", "ab")) + ":1:0:9:7:::\n");
  nis.rebuild();
  std::string token = encryptToken("s3cret");
  RunResult r = nis.box.shim({"-n", "nis", "-d", nis.maps, "-p", "modifyPassword:alice:," + token});
  ASSERT_EQ(0, r.status) << r.err;
  auto entry = valueOf(DbmFile::open("/usr/lib/corvex/rules/kdl2nis/.nis_yp_pass"), "alice");
  EXPECT_EQ(":" + token + ":1", entry.value_or("none"));
  expectNoLeftovers(nis);
}

}  // namespace
