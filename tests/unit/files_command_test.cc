// The files backend's command builder and membership helpers, without
// running any account tool.
#include <gtest/gtest.h>

#include "core/result.h"
#include "core/shell_quote.h"
#include "core/trace.h"
#include "files/files_command.h"
#include "files/membership.h"
#include "core/runner.h"

namespace {

EventRecord userRecord(std::initializer_list<std::pair<int, std::string>> given) {
  EventRecord r;
  r.fields[kName] = "jo";
  for (int i = 1; i <= kFlag; ++i) r.fields[i] = "*";
  for (const auto& [field, value] : given) r.fields[field] = value;
  return r;
}

class ConstructFilesCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    resetErrorTrace();
    ASSERT_EQ(kOk, searchPath("useradd", &sbin));
    ASSERT_EQ(kOk, searchPath("chage", &chageDir));
  }
  void TearDown() override { resetErrorTrace(); }
  std::string sbin, chageDir;
};

TEST_F(ConstructFilesCommand, BuildsTheDocumentedLineWithPrefixBlankAndQuotedValues) {
  EventRecord r = userRecord({{kUid, "1001"}, {kGid, "100"}, {kGecos, "Jo"}, {kHome, "/home/jo"},
                              {kShell, "/bin/sh"}, {kMinDays, "3"}});
  std::string out;
  ASSERT_EQ(kOk, constructFilesCommand(out, kUserAddCommand, r, "", "-M ", 1));
  EXPECT_EQ(sbin + "useradd  -u \"1001\"  -o  -g \"100\"  -c \"Jo\"  -d \"/home/jo\"  -s \"/bin/sh\" -M jo",
            out);
  // Without the flag no -o; chage takes only its three fields.
  ASSERT_EQ(kOk, constructFilesCommand(out, kUserModCommand, r, "", "", 0));
  EXPECT_EQ(sbin + "usermod  -u \"1001\"  -g \"100\"  -c \"Jo\"  -d \"/home/jo\"  -s \"/bin/sh\" jo", out);
  ASSERT_EQ(kOk, constructFilesCommand(out, kChageCommand, r, "", "", 1));
  EXPECT_EQ(chageDir + "chage  -m \"3\" jo", out);

  // An empty value still makes an option (a cleared field), unlike "*".
  EventRecord cleared = userRecord({{kGecos, ""}, {kInactive, "-1"}});
  ASSERT_EQ(kOk, constructFilesCommand(out, kUserModCommand, cleared, "", "", 0));
  EXPECT_EQ(sbin + "usermod  -c \"\"  -f \"-1\" jo", out);

  EventRecord group;
  group.fields[kName] = "team";
  group.fields[kGid] = "501";
  ASSERT_EQ(kOk, constructFilesCommand(out, kGroupModCommand, group, "", "", 1));
  EXPECT_EQ(sbin + "groupmod  -g \"501\"  -o team", out);
  EXPECT_STREQ("Error", errorTraceText());
}

TEST_F(ConstructFilesCommand, DeletesNeedNoOptionOtherKindsDo) {
  EventRecord r = userRecord({});
  std::string out;
  ASSERT_EQ(kOk, constructFilesCommand(out, kUserDelCommand, r, "-r ", "", 0));
  EXPECT_EQ(sbin + "userdel -r jo", out);
  ASSERT_EQ(kOk, constructFilesCommand(out, kGroupDelCommand, r, "", "", 0));
  EXPECT_EQ(sbin + "groupdel jo", out);

  // Nothing to do is not an error worth tracing; absent fields count as "*".
  EventRecord bare;
  bare.fields[kName] = "jo";
  for (int kind : {kUserAddCommand, kChageCommand, kUserModCommand, kUserRenameCommand}) {
    EXPECT_EQ(kErrArgument, constructFilesCommand(out, kind, r, "", "", 1)) << kind;
    EXPECT_EQ(kErrArgument, constructFilesCommand(out, kind, bare, "", "", 1)) << kind;
  }
  EXPECT_STREQ("Error", errorTraceText());
  bool refused = true;
  EXPECT_EQ(kErrArgument, constructFilesCommand(out, kNoToolCommand, r, "", "", 0, &refused));
  EXPECT_FALSE(refused);
  EXPECT_STREQ("Error_constructFilesCommand", errorTraceText());
}

TEST_F(ConstructFilesCommand, HostileValuesAreEscapedAndOverlongLinesRefused) {
  EventRecord r = userRecord({{kGecos, "a\"b$(x)`y`\\"}, {kHome, "/h/'q'"}});
  r.fields[kName] = "j o;x";
  std::string out;
  ASSERT_EQ(kOk, constructFilesCommand(out, kUserModCommand, r, "", "", 0));
  EXPECT_EQ(sbin + "usermod  -c \"a\\\"b\\$(x)\\`y\\`\\\\\"  -d \"/h/'q'\" 'j o;x'", out);

  EventRecord renamed;
  renamed.fields[kName] = "jo";
  renamed.fields[kNewName] = "$(reboot)";
  ASSERT_EQ(kOk, constructFilesCommand(out, kUserRenameCommand, renamed, "", "", 0));
  EXPECT_EQ(sbin + "usermod  -l \"\\$(reboot)\" jo", out);

  EventRecord huge = userRecord({{kGecos, std::string(1000, 'g')}});
  bool refused = false;
  EXPECT_EQ(kErrArgument, constructFilesCommand(out, kUserModCommand, huge, "", "", 0, &refused));
  EXPECT_TRUE(refused);
  EXPECT_EQ("", out);
  EXPECT_STREQ("Error_constructFilesCommand", errorTraceText());
  // Just fitting is fine.
  std::string frame = sbin + "usermod  -c \"\" jo";
  EventRecord fits = userRecord({{kGecos, std::string(1023 - frame.size(), 'g')}});
  EXPECT_EQ(kOk, constructFilesCommand(out, kUserModCommand, fits, "", "", 0, &refused));
  EXPECT_EQ(1023u, out.size());
  fits.fields[kGecos]->push_back('g');
  EXPECT_EQ(kErrArgument, constructFilesCommand(out, kUserModCommand, fits, "", "", 0, &refused));
  EXPECT_TRUE(refused);
}

TEST(MemberNames, KeepLeadingAndInnerEmptiesDropATrailingOne) {
  using V = std::vector<std::string>;
  EXPECT_EQ(V{}, memberNames(""));
  EXPECT_EQ((V{"a", "b"}), memberNames("a,b"));
  EXPECT_EQ((V{"a"}), memberNames("a,"));
  EXPECT_EQ((V{"", "a"}), memberNames(",a"));
  EXPECT_EQ((V{"a", "", "b"}), memberNames("a,,b"));
  EXPECT_EQ((V{"*"}), memberNames("*"));
}

TEST(EscapeBasicRegex, PlainGrepMatchesTheNameOnly) {
  const std::vector<std::string> names = {"a.b", "a*", "[ab]", "a+b", "a\\b", "^a$", "a{1}", "a|b", "(a)",
                                          "a?"};
  std::string lines;
  for (const auto& n : names) lines += n + "\n";
  lines += "axb\naab\na\nab\nb\n";
  for (const auto& n : names) {
    std::string pattern = quoteDoubleQuoted("^" + escapeBasicRegex(n) + "$");
    std::string out;
    FILE* p = popen(("printf '%s' '" + lines + "' | grep \"" + pattern + "\"").c_str(), "r");
    ASSERT_NE(nullptr, p);
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
    EXPECT_EQ(n + "\n", out) << n;
  }
}

}  // namespace
