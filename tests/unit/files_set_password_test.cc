// The password rewrite and its guards, on scratch copies of account files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/account_file.h"
#include "core/result.h"
#include "core/trace.h"
#include "files/set_password.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

void writeFile(const std::string& path, const std::string& text, mode_t mode) {
  std::ofstream(path, std::ios::binary) << text;
  chmod(path.c_str(), mode);
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Another process holding the write lock until destroyed.
class LockHolder {
 public:
  explicit LockHolder(const std::string& path) {
    int ready[2];
    if (pipe(ready) != 0 || pipe(release_) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(path.c_str(), O_RDWR);
      struct flock lock {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      if (fd < 0 || fcntl(fd, F_SETLK, &lock) != 0) _exit(1);
      char c = 1;
      if (write(ready[1], &c, 1) != 1) _exit(1);
      close(release_[1]);
      if (read(release_[0], &c, 1) < 0) _exit(1);
      _exit(0);
    }
    close(ready[1]);
    close(release_[0]);
    char c;
    ok_ = read(ready[0], &c, 1) == 1;
    close(ready[0]);
  }
  ~LockHolder() {
    close(release_[1]);
    waitpid(pid_, nullptr, 0);
  }
  bool ok() const { return ok_; }

 private:
  pid_t pid_;
  int release_[2];
  bool ok_ = false;
};

class SetPassword : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kdl2nis-files-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir = tmpl;
    passwd = dir + "/passwd";
    shadow = dir + "/shadow";
    temp = dir + "/qvpwd.tmp";
    lock = dir + "/.pwd.lock";
    files.passwd = passwd.c_str();
    files.shadow = shadow.c_str();
    files.temp = temp.c_str();
    files.lock = lock.c_str();
    files.lockAttempts = 3;
    files.lockPauseMillis = 10;
    writeFile(lock, "", 0600);
    writeFile(passwd, "root:x:0:0::/root:/bin/sh\njo:x:1001:1001::/home/jo:/bin/sh\n", 0644);
    writeFile(shadow, kShadow, 0640);
    ASSERT_EQ(0, chown(shadow.c_str(), 0, 42));
    resetErrorTrace();
  }
  void TearDown() override {
    std::system(("rm -rf '" + dir + "'").c_str());
    resetErrorTrace();
  }
  EventRecord record(const std::string& name, const std::string& value, int command = kModifyUser) {
    EventRecord r;
    r.command = command;
    r.fields[kName] = name;
    r.fields[kPasswd] = value;
    r.fields[kShadowPasswd] = value;
    return r;
  }

  static constexpr const char* kShadow =
      "root:*:19000:0:99999:7:::\n"
      "1:h1:19000::::::\n"
      "01:h01:19000::::::\n"
      "jo\n"
      "\n"
      "ann:old:19000::::::";  // no newline at the end
  std::string dir, passwd, shadow, temp, lock;
  PasswordFiles files;
};

TEST_F(SetPassword, OnlyTheUsersFieldChangesAndNamesCompareAsText) {
  ASSERT_EQ(kOk, setPassword(record("01", "N1"), files));
  ASSERT_EQ(kOk, setPassword(record("jo", "N2"), files));
  ASSERT_EQ(kOk, setPassword(record("ann", "N3"), files));
  EXPECT_EQ(
      "root:*:19000:0:99999:7:::\n1:h1:19000::::::\n01:N1:19000::::::\njo:N2\n\nann:N3:19000::::::\n",
      readFile(shadow));
  struct stat st;
  ASSERT_EQ(0, stat(shadow.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ(42u, st.st_gid);
  EXPECT_FALSE(exists(temp));

  // With noShadow the passwd file, and its mode, are the ones used.
  EventRecord r = record("jo", "P1");
  r.noShadow = 1;
  ASSERT_EQ(kOk, setPassword(r, files));
  EXPECT_EQ("root:x:0:0::/root:/bin/sh\njo:P1:1001:1001::/home/jo:/bin/sh\n", readFile(passwd));
  ASSERT_EQ(0, stat(passwd.c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 07777);
}

TEST_F(SetPassword, ValuesAreStoredVerbatimAndTheSpecialWordsTranslated) {
  for (const std::string& value : {std::string("a\\nb\\\\\"q\"$HOME'`id`"), std::string("$1$x$y/z.")}) {
    ASSERT_EQ(kOk, setPassword(record("ann", value), files)) << value;
    EXPECT_EQ("ann:" + value + ":19000::::::\n", readFile(shadow).substr(readFile(shadow).rfind("\nann:") + 1));
  }
  ASSERT_EQ(kOk, setPassword(record("ann", "x"), files));
  EXPECT_NE(std::string::npos, readFile(shadow).find("\nann:!!:19000"));
  ASSERT_EQ(kOk, setPassword(record("ann", "noPassword"), files));
  EXPECT_NE(std::string::npos, readFile(shadow).find("\nann::19000"));
  ASSERT_EQ(kOk, setPassword(record("ann", "*", kAddUser), files));
  EXPECT_NE(std::string::npos, readFile(shadow).find("\nann:*:19000"));

  // "*" in a modify event: the file is not even rewritten.
  struct stat before, after;
  ASSERT_EQ(0, stat(shadow.c_str(), &before));
  ASSERT_EQ(kOk, setPassword(record("ann", "*"), files));
  ASSERT_EQ(0, stat(shadow.c_str(), &after));
  EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST_F(SetPassword, RefusalsAndFailuresLeaveTheFileAndNoTemporary) {
  std::string original = readFile(shadow);
  for (const char* value : {"a:b", "a\nb", "a\r", ":"}) {
    EXPECT_EQ(kErrArgument, setPassword(record("ann", value), files)) << value;
  }
  EXPECT_EQ(kErrArgument, setPassword(record("", "v"), files));
  EXPECT_EQ(kErrArgument, setPassword(record("a\nb", "v"), files));
  EXPECT_STREQ("Error_setPassword_setPassword_setPassword_setPassword_setPassword_setPassword",
               errorTraceText());

  {
    LockHolder holder(lock);
    ASSERT_TRUE(holder.ok());
    resetErrorTrace();
    EXPECT_EQ(kErrLock, setPassword(record("ann", "v"), files));
    EXPECT_STREQ("Error_setPassword", errorTraceText());
  }
  // A stale temporary file never lends its mode or content.
  writeFile(temp, "garbage\n", 0666);
  unlink(lock.c_str());
  EXPECT_EQ(kErrNotFound, setPassword(record("ann", "v"), files));
  EXPECT_FALSE(exists(lock));
  writeFile(lock, "", 0600);
  unlink(shadow.c_str());
  EXPECT_NE(kOk, setPassword(record("ann", "v"), files));
  EXPECT_FALSE(exists(temp));
  EXPECT_FALSE(exists(shadow));

  writeFile(shadow, original, 0640);
  writeFile(temp, "garbage\n", 0666);
  ASSERT_EQ(kOk, setPassword(record("ann", "v"), files));
  struct stat st;
  ASSERT_EQ(0, stat(shadow.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ(std::string::npos, readFile(shadow).find("garbage"));
}

TEST_F(SetPassword, FileLockTakesTurnsWithOtherProcesses) {
  FileLock mine;
  EXPECT_EQ(kErrNotFound, mine.acquire(dir + "/missing", 3, 1));
  EXPECT_FALSE(exists(dir + "/missing"));
  {
    LockHolder holder(lock);
    ASSERT_TRUE(holder.ok());
    EXPECT_EQ(kErrLock, mine.acquire(lock, 3, 10));
    EXPECT_FALSE(mine.held());
  }
  EXPECT_EQ(kOk, mine.acquire(lock, 3, 10));
  EXPECT_TRUE(mine.held());
  EXPECT_EQ(kOk, mine.release());
  LockHolder after(lock);
  EXPECT_TRUE(after.ok());
}

TEST_F(SetPassword, ReplacementFileTakesTheTargetsPlaceOrVanishes) {
  {
    ReplacementFile unused(temp, shadow);
    writeFile(temp, "new\n", 0600);
  }
  EXPECT_FALSE(exists(temp));
  EXPECT_EQ(kShadow, readFile(shadow));

  ReplacementFile next(temp, shadow);
  writeFile(temp, "new\n", 0600);
  ASSERT_EQ(kOk, next.matchTarget(0400));
  ASSERT_EQ(kOk, next.commit());
  EXPECT_EQ("new\n", readFile(shadow));
  struct stat st;
  ASSERT_EQ(0, stat(shadow.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ(42u, st.st_gid);

  ReplacementFile fresh(temp, dir + "/none");
  writeFile(temp, "x\n", 0600);
  ASSERT_EQ(kOk, fresh.matchTarget(0400));
  ASSERT_EQ(0, stat(temp.c_str(), &st));
  EXPECT_EQ(0400u, st.st_mode & 07777);
}

}  // namespace
