// The guards and helpers every kind of I/O goes through.
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/directory_entries.h"
#include "core/file_io.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/signal_block.h"
#include "core/trace.h"
#include "core/umask_scope.h"
#include "core/unique_fd.h"
#include "support/temp_dir.h"

namespace {

class CoreIoTest : public ::testing::Test {
 protected:
  TempDir temp_;
  const std::string dir_ = temp_.path();
};

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

bool termBlocked() {
  sigset_t now;
  sigprocmask(SIG_BLOCK, nullptr, &now);
  return sigismember(&now, SIGTERM) == 1;
}

TEST_F(CoreIoTest, GuardsCloseAndRestoreOnEveryPath) {
  int raw = open("/dev/null", O_RDONLY);
  {
    UniqueFd held(raw);
    UniqueFd moved(std::move(held));
    EXPECT_FALSE(held.valid());
    EXPECT_EQ(moved.get(), raw);
  }
  EXPECT_FALSE(isOpen(raw));

  // What failed to go out shows at close, never later.
  UniqueFile full(std::fopen("/dev/full", "w"));
  ASSERT_TRUE(full.valid());
  std::fputs("lost", full.get());
  EXPECT_EQ(full.close(), kErrOpen);

  ASSERT_FALSE(termBlocked());
  {
    TerminationHold hold;
    EXPECT_TRUE(termBlocked());
    hold.end();
    EXPECT_FALSE(termBlocked());
  }
  EXPECT_FALSE(termBlocked());

  mode_t outside = umask(077);
  {
    UmaskScope wider(022);
    EXPECT_EQ(umask(022), 022);
  }
  EXPECT_EQ(umask(outside), 077);
}

TEST_F(CoreIoTest, ReadsAndWritesWholeOrSaysHowFar) {
  std::string path = dir_ + "/file";
  std::string content(10000, 'x');
  content += "end";
  std::ofstream(path) << content;
  UniqueFd fd(open(path.c_str(), O_RDONLY));
  std::string text;
  EXPECT_EQ(readFromStart(fd.get(), &text), kOk);
  EXPECT_EQ(text, content);
  EXPECT_EQ(readFromStart(fd.get(), &text, 5000), kOk);
  EXPECT_EQ(text.size(), 5000u);
  EXPECT_EQ(lseek(fd.get(), 0, SEEK_CUR), 0);

  UniqueFd directory(open(dir_.c_str(), O_RDONLY | O_DIRECTORY));
  EXPECT_EQ(readFromStart(directory.get(), &text), kErrOpen);
  EXPECT_TRUE(text.empty());

  UniqueFd full(open("/dev/full", O_WRONLY));
  std::size_t written = 99;
  EXPECT_EQ(writeAll(full.get(), "abc", &written), kErrOpen);
  EXPECT_EQ(written, 0u);
}

// Every entry but . and .. is visited once, also while the visit removes it.
TEST_F(CoreIoTest, WalksEveryEntryOfADirectory) {
  for (const char* name : {"a", "b", ".hidden"}) std::ofstream(dir_ + "/" + name) << name;
  UniqueFd fd(open(dir_.c_str(), O_RDONLY | O_DIRECTORY));
  std::multiset<std::string> seen;
  EXPECT_TRUE(forEachEntry(fd.get(), [&](const char* name) {
    seen.insert(name);
    unlinkat(fd.get(), name, 0);
  }));
  EXPECT_EQ(seen, (std::multiset<std::string>{".hidden", "a", "b"}));
  EXPECT_EQ(rmdir(dir_.c_str()), 0);
  EXPECT_TRUE(isOpen(fd.get()));
  EXPECT_FALSE(forEachEntry(-1, [](const char*) {}));
}

// A line too long is refused before anything runs; a failure of the
// command itself passes the tool's code on, or becomes kErrOther.
TEST_F(CoreIoTest, RunsACommandOnlyWhenItFits) {
  std::string marker = dir_ + "/ran";
  std::string tooLong = "touch " + marker + " #" + std::string(kCommandCapacity, 'x');
  EXPECT_EQ(runLogged("t", tooLong), kErrArgument);
  EXPECT_EQ(runLoggedOrOther("t", tooLong), kErrArgument);
  EXPECT_EQ(access(marker.c_str(), F_OK), -1);
  EXPECT_EQ(runLogged("t", "touch " + marker), kOk);
  EXPECT_EQ(access(marker.c_str(), F_OK), 0);
  EXPECT_EQ(runLogged("t", "exit 9"), kErrNameInUse);
  EXPECT_EQ(runLoggedToCompletion("t", "exit 4"), kErrIdInUse);
  EXPECT_EQ(runLoggedOrOther("t", "exit 2"), kErrOther);
  resetErrorTrace();
}

}  // namespace
