// NIS queries answered from clones of the real maps; modifyPassword reading
// the stored hash through them.
#include <gtest/gtest.h>

#include <crypt.h>
#include <dirent.h>

#include "core/dbm_file.h"
#include "nis_sandbox.h"
#include "support/token_encryptor.h"

namespace {

const std::string kAlice =
    "alice:x:1001:1001:Alice Liddell:/home/alice:/bin/bash:$6$salt$alicehash:19001:0:99999:7:::";
const std::string kBob = "bob:x:1002:1002:Bob:/home/bob:/bin/sh:!!:19002:1:90:14:30:20000:";

std::string userQuery(const std::string& name, const std::string& uid = "",
                      const std::string& shell = "") {
  return "queryUser:" + name + "::" + uid + "::::" + shell + "::::::::";
}

// Nothing that a query makes may outlive it.
void expectNoLeftovers(NisSandbox& nis) {
  for (const std::string& dir : {nis.maps, nis.box.workdir()}) {
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(nullptr, d);
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      EXPECT_EQ(std::string::npos, name.find("tmpmap")) << dir << "/" << name;
      EXPECT_NE("quser.nis", name);
      EXPECT_NE("qgroup.nis", name);
    }
    closedir(d);
  }
}

TEST(NisUserQuery, DirectLookupsByNameAndUidCarryTheShadowFields) {
  NisSandbox nis;
  RunResult r = nis.run(userQuery("alice"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("instanceUser:" + kAlice + "\n", r.out);
  r = nis.run(userQuery("", "1002"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("instanceUser:" + kBob + "\n", r.out);
  expectNoLeftovers(nis);
}

TEST(NisUserQuery, PatternsAndMissesGoThroughTheWholeMapListing) {
  NisSandbox nis;
  RunResult r = nis.run(userQuery("a.*"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("instanceUser:" + kAlice + "\n", r.out);
  r = nis.run(userQuery("", "", "/bin/sh"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("instanceUser:" + kBob + "\n", r.out);
  // root is below the maps' uid threshold: not in them at all.
  r = nis.run(userQuery("root"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out);
  r = nis.run(userQuery("", "0"));
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out);
  expectNoLeftovers(nis);
}

TEST(NisUserQuery, WithoutShadowLookupsAddEightColonsAndListingsSeven) {
  NisSandbox nis;
  RunResult r = nis.run(userQuery("bob"), {"-s"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("instanceUser:bob:x:1002:1002:Bob:/home/bob:/bin/sh::::::::\n", r.out);
  r = nis.run(userQuery("b.b"), {"-s"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("instanceUser:bob:x:1002:1002:Bob:/home/bob:/bin/sh:::::::\n", r.out);
}

TEST(NisUserQuery, ADomainWithoutShadowMapAnswersLikeNoShadow) {
  NisSandbox plain(false);
  RunResult r = plain.run(userQuery("bob"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_EQ("instanceUser:bob:x:1002:1002:Bob:/home/bob:/bin/sh::::::::\n", r.out);
}

TEST(NisUserQuery, CommentsWithBlanksAndTabSeparatedDumpsStayWhole) {
  NisSandbox nis;
  // Bookkeeping entries of the maps are no accounts.
  RunResult r = nis.run(userQuery(".*"), {"-s"});
  ASSERT_EQ(0, r.status) << r.err;
  auto lines = splitLines(r.out);
  ASSERT_EQ(2u, lines.size()) << r.out;
  for (const auto& line : lines) EXPECT_EQ(std::string::npos, line.find("YP_")) << line;
  EXPECT_EQ(1, std::count(lines.begin(), lines.end(),
                          "instanceUser:alice:x:1001:1001:Alice Liddell:/home/alice:/bin/bash:::::::"));
}

TEST(NisQueries, FailuresLeaveNoCloneOrListingAndAreReported) {
  NisSandbox nis;
  nis.box.sh("rm " + nis.maps + "/passwd.byname " + nis.maps + "/group.byname");
  // A missing map is an error, not an empty answer: on the direct lookup
  // and on the listing alike.
  RunResult r = nis.run(userQuery("alice"));
  EXPECT_EQ(-11, r.code());
  EXPECT_NE(std::string::npos, r.err.find("Error_qvSystem_NISBackupByClone_nisUserNameQuery: -11\n"))
      << r.err;
  r = nis.run(userQuery("", "", "/bin/sh"));
  EXPECT_EQ(-11, r.code());
  EXPECT_NE(std::string::npos, r.err.find("_NISBackupByClone_nisUserQuery: -11\n")) << r.err;
  EXPECT_EQ("", r.out);
  r = nis.run("queryGroup::x::");
  EXPECT_EQ(-11, r.code());
  EXPECT_NE(std::string::npos, r.err.find("_NISBackupByClone_nisGroupQuery: -11\n")) << r.err;
  expectNoLeftovers(nis);
  r = nis.box.shim({"-n", "nis", "-p", userQuery("alice")});
  EXPECT_EQ(-11, r.code());
  EXPECT_EQ("Error_nisUserQuery: -11\n", r.err);
}

TEST(NisGroupQuery, ByNameGidAndPattern) {
  NisSandbox nis;
  RunResult r = nis.run("queryGroup:staff:::");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("instanceGroup:staff:x:1001:alice,bob\n", r.out);
  r = nis.run("queryGroup:::1002:");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("instanceGroup:devs:x:1002:bob\n", r.out);
  r = nis.run("queryGroup:::.*:.*bob.*");
  ASSERT_EQ(0, r.status) << r.err;
  auto lines = splitLines(r.out);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ((std::vector<std::string>{"instanceGroup:devs:x:1002:bob",
                                      "instanceGroup:staff:x:1001:alice,bob"}),
            lines);
  r = nis.run("queryGroup:nogroup:::");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out);
  expectNoLeftovers(nis);
}

TEST(NisModifyPassword, ReadsTheStoredHashThroughTheNisQuery) {
  NisSandbox nis;
  std::string hash = crypt("s3cret", "ab");
  nis.box.write(nis.src + "/shadow", "alice:" + hash + ":19001:0:99999:7:::\n", 0600);
  nis.rebuild();
  std::string token = encryptToken("s3cret");
  ASSERT_NE("", token);
  RunResult r = nis.box.shim({"-n", "nis", "-d", nis.maps, "-p", "modifyPassword:alice:," + token});
  ASSERT_EQ(0, r.status) << r.err;
  DbmFile cache = DbmFile::open("/usr/lib/corvex/rules/kdl2nis/.nis_yp_pass");
  auto entry = cache.fetch("alice");
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(":" + token + ":1", *entry);
  expectNoLeftovers(nis);
}

}  // namespace
