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
  r.nonUniqueId = 1;
  ASSERT_EQ(FilesBuild::kBuilt, constructFilesCommand(out, kUserAddCommand, r, "", "-M "));
  EXPECT_EQ(sbin + "useradd  -u \"1001\"  -o  -g \"100\"  -c \"Jo\"  -d \"/home/jo\"  -s \"/bin/sh\" -M jo",
            out);

  EventRecord hostile = userRecord({{kGecos, "a\"b$(x)`y`\\"}, {kInactive, ""}});
  hostile.fields[kName] = "j o;x";
  ASSERT_EQ(FilesBuild::kBuilt, constructFilesCommand(out, kUserModCommand, hostile, "", ""));
  EXPECT_EQ(sbin + "usermod  -c \"a\\\"b\\$(x)\\`y\\`\\\\\"  -f \"\" 'j o;x'", out);
  EXPECT_STREQ("Error", errorTraceText());

  // 1023 characters fit; one more is refused, not cut.
  std::string frame = sbin + "usermod  -c \"\" jo";
  EventRecord longest = userRecord({{kGecos, std::string(1023 - frame.size(), 'g')}});
  ASSERT_EQ(FilesBuild::kBuilt, constructFilesCommand(out, kUserModCommand, longest, "", ""));
  EXPECT_EQ(1023u, out.size());
  // No option at all: nothing to build, and no mark in the trace.
  EXPECT_EQ(FilesBuild::kNothingToBuild,
            constructFilesCommand(out, kUserModCommand, userRecord({}), "", ""));
  longest.fields[kGecos]->push_back('g');
  EXPECT_EQ(FilesBuild::kRefused, constructFilesCommand(out, kUserModCommand, longest, "", ""));
  EXPECT_EQ("", out);
  EXPECT_STREQ("Error_constructFilesCommand", errorTraceText());
  // The step runner fails a refused command instead of skipping it.
  resetErrorTrace();
  bool built = true;
  EXPECT_EQ(kErrArgument,
            runFilesStep("handleUserMod", {kUserModCommand, "handleUserMod"}, longest, &built));
  EXPECT_FALSE(built);
  EXPECT_STREQ("Error_constructFilesCommand_handleUserMod", errorTraceText());
  resetErrorTrace();
}

}  // namespace
