// Hostile values in every field of every files-backend command: each one
// reaches the account files verbatim or is refused by a tool, never runs,
// and never breaks another line.
#include <gtest/gtest.h>

#include "files_test_support.h"

namespace {

// Each would create "canary" in the working directory if a shell ran it.
const std::vector<std::string> kPayloads = {
    "$(touch canary)", "`touch canary`",  "\"; touch canary; \"", "'; touch canary; '",
    "\\\"; touch canary #", "x|touch canary", "x;touch canary",     "x&touch canary&",
    "\\$(touch canary)\\",  "x\\",
};
// The tools take this one as a name (Debian allows a backslash in names).
const std::string kBackslashName = "x\\";

class FilesHostile : public FilesSandboxTest {
 protected:
  RunResult run(const std::string& event, const Env& env = {}, const Argv& options = {}) {
    RunResult r = runFiles(box, event, env, options);
    EXPECT_FALSE(box.exists(box.work("canary"))) << event;
    return r;
  }
  void expectRefused(const std::string& event) {
    RunResult r = run(event);
    EXPECT_LT(r.code(), 0) << event;
  }
  void expectFilesIntact() {
    EXPECT_EQ(accountsBefore, accounts()) << "account files changed";
    EXPECT_EQ("", newCheckFindings());
  }
  std::string accounts() {
    return box.read("/etc/passwd") + box.read("/etc/shadow") + box.read("/etc/group") +
           box.read("/etc/gshadow");
  }
  std::string accountsBefore;
};

TEST_F(FilesHostile, UserFieldsThatToolsCheckAreRefused) {
  addUser("jo", "1001", "Jo");
  accountsBefore = accounts();
  for (const std::string& p : kPayloads) {
    for (int field : {kUid, kGid, kInactive, kExpire, kMinDays, kMaxDays, kWarnDays}) {
      expectRefused(userEvent("addUser", "ann", {{field, p}}));
      expectRefused(userEvent("modifyUser", "jo", {{field, p}}));
    }
    if (p == kBackslashName) continue;
    expectRefused(userEvent("addUser", p, {{kGecos, "x"}}));
    expectRefused(userEvent("modifyUser", p, {{kGecos, "x"}}));
    expectRefused("deleteUser:" + p);
    expectRefused("renameUser:" + p + ",ann");
    expectRefused("renameUser:jo," + p);
  }
  expectFilesIntact();
}

TEST_F(FilesHostile, FreeTextUserFieldsAndPasswordsAreStoredVerbatim) {
  accountsBefore = accounts();
  for (std::size_t i = 0; i < kPayloads.size(); ++i) {
    const std::string& p = kPayloads[i];
    std::string name = "h" + std::to_string(i);
    std::string hash = "$1$salt$" + p;
    RunResult added = run(userEvent("addUser", name,
                                    {{kGecos, p}, {kHome, "/home/" + p}, {kShadowPasswd, hash}}),
                          {{"encrypted", hash}}, {"-m"});
    ASSERT_EQ(0, added.status) << p << ": " << added.err;
    // The id is useradd's pick, which the host's own accounts decide; its
    // group has the same number.
    std::string id = splitFields(box.entry("/etc/passwd", name) + ":::", ':')[2];
    EXPECT_EQ(name + ":x:" + id + ":" + id + ":" + p + ":/home/" + p + ":/bin/sh",
              box.entry("/etc/passwd", name));
    EXPECT_EQ(hash, shadowFields(name)[1]);

    const std::string& q = kPayloads[(i + 1) % kPayloads.size()];
    RunResult changed = run(userEvent("modifyUser", name, {{kGecos, q}, {kShadowPasswd, q}}),
                            {{"encrypted", q}});
    ASSERT_EQ(0, changed.status) << q << ": " << changed.err;
    EXPECT_EQ(q, splitFields(box.entry("/etc/passwd", name), ':')[4]);
    EXPECT_EQ(q, shadowFields(name)[1]);
  }
  // Every line but the new users' is as before.
  std::string before = accountsBefore;
  for (const auto& line : splitLines(box.read("/etc/passwd")))
    if (line[0] != 'h') {
      EXPECT_NE(std::string::npos, before.find(line + "\n")) << line;
    }
  EXPECT_EQ("", newCheckFindings());
  expectShadowOwnership();
}

TEST_F(FilesHostile, GroupFieldsAndMemberListsNeverRun) {
  addUser("jo", "1001", "Jo");
  ASSERT_EQ(0, box.shim({"-n", "files", "-p", "addGroup:team:x:501:jo"}).status);
  accountsBefore = accounts();
  for (const std::string& p : kPayloads) {
    if (p != kBackslashName) expectRefused("addGroup:" + p + ":x:502:");
    expectRefused("addGroup:crew:x:" + p + ":");
    expectRefused("addGroup:crew:x::" + p);
    expectRefused("addGroup:crew:x::jo," + p);

    if (p == kBackslashName) continue;
    expectRefused("modifyGroup:" + p + "::505:");
    expectRefused("modifyGroup:team::" + p + ":");
    expectRefused("modifyGroup:team:::" + p);
    expectRefused("modifyGroup:team:::jo," + p);
    expectRefused("deleteGroup:" + p);
    expectRefused("renameGroup:" + p + ",crew");
    expectRefused("renameGroup:team," + p);
  }
  expectFilesIntact();
}

TEST_F(FilesHostile, NamesTheToolsAcceptReachTheFilesVerbatim) {
  const std::string& user = kBackslashName;
  // Newer account tools refuse such names outright; the shim then fails as
  // for any name a tool refuses.
  if (box.sh("useradd -M 'x\\' && userdel 'x\\' && groupadd 'g\\' && groupdel 'g\\'").status != 0)
    GTEST_SKIP() << "the host's account tools refuse the names x\\ and g\\";
  box.record("/usr/sbin/usermod");
  ASSERT_EQ(0, run(userEvent("addUser", user, {{kUid, "1001"}, {kShadowPasswd, "h1"}}),
                   {{"encrypted", "h1"}}).status);
  EXPECT_EQ(user + ":x:1001:1001::/home/" + user + ":/bin/sh", box.entry("/etc/passwd", user));
  ASSERT_EQ(0, run(userEvent("modifyUser", user, {{kShadowPasswd, "h2"}}), {{"encrypted", "h2"}}).status);
  EXPECT_EQ("h2", shadowFields(user)[1]);
  ASSERT_EQ(0, run("addGroup:g\\:x:501:" + user).status);
  EXPECT_EQ("g\\:x:501:" + user, box.entry("/etc/group", "g\\"));
  RunResult emptied = run("modifyGroup:g\\:::*");
  ASSERT_EQ(0, emptied.status) << emptied.err;
  ASSERT_EQ(0, run("renameUser:" + user + ",y\\").status);
  EXPECT_EQ((std::vector<Argv>{{"-G", "g\\", user}, {"-G", "", user}, {"-l", "y\\", user}}),
            box.calls("/usr/sbin/usermod"));
  ASSERT_EQ(0, run("renameGroup:g\\,h\\").status);
  ASSERT_EQ(0, run("deleteUser:y\\").status);
  ASSERT_EQ(0, run("deleteGroup:h\\").status);
  EXPECT_EQ("", box.entry("/etc/passwd", "y\\"));
  EXPECT_EQ("", box.entry("/etc/group", "h\\"));
  EXPECT_EQ("", newCheckFindings());
}

}  // namespace
