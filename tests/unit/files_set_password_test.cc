// The password rewrite on scratch copies of an account file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "core/result.h"
#include "core/trace.h"
#include "files/set_password.h"
#include "support/temp_dir.h"
#include "support/text_file.h"

namespace {

void writeFile(const std::string& path, const std::string& text, mode_t mode) {
  writeText(path, text);
  chmod(path.c_str(), mode);
}

EventRecord record(const std::string& name, const std::string& value) {
  EventRecord r;
  r.command = kModifyUser;
  r.fields[kName] = name;
  r.fields[kShadowPasswd] = value;
  return r;
}

TEST(SetPassword, ChangesOnlyTheUsersFieldVerbatimAndKeepsOwnerAndMode) {
  TempDir scratch;
  std::string dir = scratch.path(), shadow = dir + "/shadow", temp = dir + "/qvpwd.tmp", lock = dir + "/.pwd.lock";
  PasswordFiles files;
  files.shadow = shadow.c_str();
  files.temp = temp.c_str();
  files.lock = lock.c_str();
  files.lockPauseMillis = 1;
  writeFile(lock, "", 0600);
  writeFile(shadow, "1:h1:19000::::::\n01:h01:19000::::::\njo\n\nann:old:19000::::::", 0640);
  ASSERT_EQ(0, chown(shadow.c_str(), 0, 42));
  // A stale temporary file lends neither its mode nor its content.
  writeFile(temp, "garbage\n", 0666);

  // "01" is not "1", even though awk would compare the two as numbers.
  const std::string value = "a\\nb\\\\\"q\"$HOME'`id`";
  ASSERT_EQ(kOk, setPassword(record("01", value), files));
  ASSERT_EQ(kOk, setPassword(record("jo", "x"), files));
  ASSERT_EQ(kOk, setPassword(record("ann", "noPassword"), files));
  EXPECT_EQ("1:h1:19000::::::\n01:" + value + ":19000::::::\njo:!!\n\nann::19000::::::\n", readText(shadow));
  struct stat st;
  ASSERT_EQ(0, stat(shadow.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ(42u, st.st_gid);
  EXPECT_NE(0, access(temp.c_str(), F_OK));

  // The lock file is used, never made.
  unlink(lock.c_str());
  resetErrorTrace();
  EXPECT_EQ(kErrNotFound, setPassword(record("ann", "v"), files));
  EXPECT_STREQ("Error_setPassword", errorTraceText());
  EXPECT_NE(0, access(lock.c_str(), F_OK));
  resetErrorTrace();
}

}  // namespace
