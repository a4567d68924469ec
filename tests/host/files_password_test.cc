// The password field end to end: from the engine's environment variables to
// the stored field of /etc/shadow, or of /etc/passwd with -s.
#include <gtest/gtest.h>

#include <crypt.h>

#include "files_test_support.h"

namespace {

class FilesPassword : public FilesSandboxTest, public ::testing::WithParamInterface<bool> {
 protected:
  bool noShadow() const { return GetParam(); }
  std::string file() const { return noShadow() ? "/etc/passwd" : "/etc/shadow"; }
  std::string stored(const std::string& name) {
    auto fields = splitFields(box.entry(file(), name), ':');
    return fields.size() > 1 ? fields[1] : "<no line>";
  }
  RunResult run(const std::string& command, const std::string& name, const Env& env) {
    std::map<int, std::string> fields;
    if (command == "addUser") fields[kGecos] = name;
    return runFiles(box, userEvent(command, name, fields), env, noShadow() ? Argv{"-s"} : Argv{});
  }
};

TEST_P(FilesPassword, EachKindOfValueIsStoredAsTheEngineMeansIt) {
  const std::string awk = box.awkPath();
  box.record(awk);
  ASSERT_EQ(0, run("addUser", "u0", {}).status);
  EXPECT_EQ("!!", stored("u0"));  // no password yet: locked

  ASSERT_EQ(0, run("addUser", "u1", {{"cleartext", "s3cret"}}).status);
  std::string hash = stored("u1");
  ASSERT_EQ(13u, hash.size());
  EXPECT_STREQ(hash.c_str(), crypt("s3cret", hash.c_str()));

  ASSERT_EQ(0, run("addUser", "u2", {{"cleartext", ""}}).status);
  EXPECT_EQ("", stored("u2"));

  ASSERT_EQ(0, run("addUser", "u3", {{"encrypted", "$1$abc$xyz.wv/"}, {"cleartext", "s3cret"}}).status);
  EXPECT_NE("$1$abc$xyz.wv/", stored("u3"));  // cleartext wins
  ASSERT_EQ(0, run("modifyUser", "u3", {{"encrypted", "$1$abc$xyz.wv/"}}).status);
  EXPECT_EQ("$1$abc$xyz.wv/", stored("u3"));

  // Nothing given: the password stays.
  ASSERT_EQ(0, run("modifyUser", "u3", {}).status);
  EXPECT_EQ("$1$abc$xyz.wv/", stored("u3"));
  ASSERT_EQ(0, run("modifyUser", "u3", {{"encrypted", "deletePassword"}}).status);
  EXPECT_EQ("!!", stored("u3"));
  ASSERT_EQ(0, run("modifyUser", "u1", {{"encrypted", ""}}).status);
  EXPECT_EQ("", stored("u1"));
  // An empty clear text in a modify event clears the password as well.
  ASSERT_EQ(0, run("modifyUser", "u0", {{"cleartext", ""}}).status);
  EXPECT_EQ("", stored("u0"));
  expectShadowOwnership();
  // Neither a password nor a hash ever shows in an argument list.
  auto calls = box.calls(awk);
  EXPECT_GE(calls.size(), 7u);
  for (const auto& call : calls)
    for (const auto& arg : call) {
      EXPECT_EQ(std::string::npos, arg.find("xyz.wv")) << arg;
      EXPECT_EQ(std::string::npos, arg.find(hash)) << arg;
    }
}

TEST_P(FilesPassword, AValueThatWouldSplitTheRecordIsRefusedAndNothingChanges) {
  ASSERT_EQ(0, run("addUser", "u1", {{"encrypted", "before"}}).status);
  std::string passwd = box.read("/etc/passwd"), shadow = box.read("/etc/shadow");
  for (const char* value : {"ab:0:0", "ab\nroot2::0:0:::::", "ab\r", ":", "a\tb"}) {
    RunResult r = run("modifyUser", "u1", {{"encrypted", value}});
    EXPECT_EQ(-3, r.code()) << value;
    EXPECT_EQ("Error_setPassword_handleUserMod: -3", traceLine(r));
  }
  EXPECT_EQ(passwd, box.read("/etc/passwd"));
  EXPECT_EQ(shadow, box.read("/etc/shadow"));
  EXPECT_FALSE(box.exists("/etc/qvpwd.tmp"));
}

INSTANTIATE_TEST_SUITE_P(ShadowAndPasswd, FilesPassword, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "NoShadow" : "Shadow"; });

}  // namespace
