// The member checks' command lines, run against a stand-in `who` so that no
// account file of the machine is read.
#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "core/result.h"
#include "core/runner.h"
#include "core/trace.h"
#include "files/membership.h"
#include "support/temp_dir.h"

namespace {

TEST(MemberCheckCommands, ExactTextAndLiteralMatchOfAnyName) {
  MemberCheckCommands jo = memberCheckCommands("jo", "/usr/bin/", "/bin/", "/usr/sbin/");
  EXPECT_EQ("/usr/bin//cut -d: -f1 /etc/passwd | /bin//grep \"^jo$\" > /dev/null", jo.known);
  EXPECT_EQ("/usr/sbin//who | /usr/bin//cut -d\" \" -f1 | /bin//grep \"^jo$\" > /dev/null",
            jo.loggedIn);

  TempDir temp;
  const std::string here = temp.path(), dir = here + "/";
  const std::string hostile = "a.b\"$(touch${IFS}canary)`x`\\";
  {
    std::ofstream who(dir + "who");
    who << "#!/bin/sh\nprintf '%s\\n' 'a.b\"$(touch${IFS}canary)`x`\\ pts/1' 'jo.x pts/2'\n";
  }
  ASSERT_EQ(0, chmod((dir + "who").c_str(), 0755));
  std::string cutDir, grepDir;
  ASSERT_EQ(kOk, searchPath("cut", &cutDir));
  ASSERT_EQ(kOk, searchPath("grep", &grepDir));
  auto listed = [&](const std::string& name) {
    std::string command = "cd '" + here + "' && " +
                          memberCheckCommands(name, cutDir, grepDir, dir).loggedIn;
    return qvSystem(command) == kOk;
  };
  EXPECT_TRUE(listed(hostile));
  EXPECT_TRUE(listed("jo.x"));
  // Neither a pattern nor a part of a listed name matches.
  EXPECT_FALSE(listed("jo"));
  EXPECT_FALSE(listed("jo.*"));
  EXPECT_FALSE(listed("a.b"));
  EXPECT_FALSE(listed("aXb\"$(touch${IFS}canary)`x`\\"));
  EXPECT_NE(0, access((here + "/canary").c_str(), F_OK));
  resetErrorTrace();
}

TEST(CheckUserList, ANameWithALineBreakIsNoUser) {
  // Refused before any command runs: grep would read it as two patterns.
  resetErrorTrace();
  EXPECT_EQ(kErrOther, checkUserList("nobody-here\nroot"));
  EXPECT_STREQ("Error_checkUserList", errorTraceText());
  resetErrorTrace();
  EXPECT_EQ(kErrOther, checkUserList("a\r"));
  resetErrorTrace();
}

}  // namespace
