// NIS+ queries: a name or id alone is looked up with nismatch, anything else
// goes through the table dump and the pattern match.
#include <gtest/gtest.h>

#include "nisplus_box.h"

namespace {

struct Queries : ::testing::Test {
  NisplusBox nis;
  void SetUp() override {
    for (const char* cmd :
         {"-a passwd='$1$a$A' uid=1001 gid=100 gcos='Alice A' home=/home/alice shell=/bin/sh "
          "shadow=19000:0:99999:7::: name=alice passwd.org_dir",
          "-a passwd='$1$b$B' uid=1002 gid=100 gcos=Bob home=/home/bob shell=/bin/bash "
          "shadow=19500:0:99999:7::: name=bob passwd.org_dir",
          "-a passwd=x gid=50 members=alice,bob name=staff group.org_dir",
          "-a passwd= gid=60 members= name=crew group.org_dir"})
      ASSERT_EQ(0, nis.sh(std::string("/usr/local/bin/nistbladm ") + cmd).status) << cmd;
    nis.box.record("/usr/local/bin/niscat");
  }
  const std::string alice = "instanceUser:alice:$1$a$A:1001:100:Alice A:/home/alice:/bin/sh:19000:0:99999:7:::";
  const std::string bob = "instanceUser:bob:$1$b$B:1002:100:Bob:/home/bob:/bin/bash:19500:0:99999:7:::";
  std::vector<std::string> query(const std::string& p) {
    RunResult r = nis.run({"-p", p});
    EXPECT_EQ(0, r.status) << p << r.err;
    return splitLines(r.out);
  }
};

TEST_F(Queries, NameOrIdAloneIsLookedUpDirectly) {
  EXPECT_EQ((std::vector<std::string>{alice}), query("queryUser:alice"));
  EXPECT_EQ((std::vector<std::string>{bob}), query("queryUser:::1002"));
  EXPECT_EQ((std::vector<std::string>{"instanceGroup:staff:x:50:alice,bob"}), query("queryGroup:staff"));
  EXPECT_EQ((std::vector<std::string>{"instanceGroup:crew::60:"}), query("queryGroup:::60"));
  EXPECT_TRUE(nis.box.calls("/usr/local/bin/niscat").empty());
}

TEST_F(Queries, OtherQueriesMatchTheDumpAndAMissedLookupFallsBackToIt) {
  EXPECT_EQ((std::vector<std::string>{bob}), query("queryUser:b.*::::::/bin/bash"));
  EXPECT_EQ((std::vector<std::string>{alice, bob}), query("queryUser:::::::/bin/.*"));
  // The aging values follow the shell in the table: a last-change pattern
  // meets the last-change column.
  EXPECT_EQ((std::vector<std::string>{bob}), query("queryUser:::::::::19500"));
  // A shadow password pattern meets the passwd column, where the hash is.
  EXPECT_EQ((std::vector<std::string>{alice}), query("queryUser::::::::.1.a.A"));
  EXPECT_EQ((std::vector<std::string>{"instanceGroup:staff:x:50:alice,bob"}), query("queryGroup::::.*bob"));
  EXPECT_TRUE(query("queryUser:nobody").empty());
  EXPECT_TRUE(query("queryGroup:::99").empty());
  EXPECT_EQ(7u, nis.box.calls("/usr/local/bin/niscat").size());
  EXPECT_EQ((Argv{"passwd.org_dir"}), nis.box.calls("/usr/local/bin/niscat")[0]);
  for (const char* scratch : {"quser.nisplus", "qgroup.nisplus"})
    EXPECT_FALSE(nis.box.exists(nis.box.work(scratch))) << scratch;
}

TEST_F(Queries, ANameIsLookedUpLiterally) {
  EXPECT_TRUE(query("queryUser:alice\" passwd.org_dir; touch /tmp/kdl-q; echo \"").empty());
  EXPECT_FALSE(nis.box.exists("/tmp/kdl-q"));
}

}  // namespace
