// The files backend's command lines, built without running any tool.
#include <gtest/gtest.h>

#include "core/result.h"
#include "core/runner.h"
#include "core/trace.h"
#include "files/files_command.h"

namespace {

EventRecord userRecord(std::initializer_list<std::pair<int, std::string>> given) {
  EventRecord r;
  r.fields[kName] = "jo";
  for (int i = 1; i <= kFlag; ++i) r.fields[i] = "*";
  for (const auto& [field, value] : given) r.fields[field] = value;
  return r;
}

TEST(ConstructFilesCommand, ExactTextEscapingAndTheLengthLimit) {
  resetErrorTrace();
  std::string sbin, out;
  ASSERT_EQ(kOk, searchPath("useradd", &sbin));
  EventRecord r = userRecord({{kUid, "1001"}, {kGid, "100"}, {kGecos, "Jo"}, {kHome, "/home/jo"},
                              {kShell, "/bin/sh"}});
  ASSERT_EQ(kOk, constructFilesCommand(out, kUserAddCommand, r, "", "-M ", 1));
  EXPECT_EQ(sbin + "useradd  -u \"1001\"  -o  -g \"100\"  -c \"Jo\"  -d \"/home/jo\"  -s \"/bin/sh\" -M jo",
            out);
  ASSERT_EQ(kOk, constructFilesCommand(out, kUserDelCommand, r, "-r ", "", 1));
  EXPECT_EQ(sbin + "userdel -r jo", out);

  EventRecord hostile = userRecord({{kGecos, "a\"b$(x)`y`\\"}, {kInactive, ""}});
  hostile.fields[kName] = "j o;x";
  ASSERT_EQ(kOk, constructFilesCommand(out, kUserModCommand, hostile, "", "", 0));
  EXPECT_EQ(sbin + "usermod  -c \"a\\\"b\\$(x)\\`y\\`\\\\\"  -f \"\" 'j o;x'", out);
  EXPECT_STREQ("Error", errorTraceText());

  // 1023 characters fit; one more is refused, not cut.
  std::string frame = sbin + "usermod  -c \"\" jo";
  EventRecord longest = userRecord({{kGecos, std::string(1023 - frame.size(), 'g')}});
  bool refused = true;
  ASSERT_EQ(kOk, constructFilesCommand(out, kUserModCommand, longest, "", "", 0, &refused));
  EXPECT_EQ(1023u, out.size());
  EXPECT_FALSE(refused);
  longest.fields[kGecos]->push_back('g');
  EXPECT_EQ(kErrArgument, constructFilesCommand(out, kUserModCommand, longest, "", "", 0, &refused));
  EXPECT_TRUE(refused);
  EXPECT_EQ("", out);
  EXPECT_STREQ("Error_constructFilesCommand", errorTraceText());
  resetErrorTrace();
}

}  // namespace
