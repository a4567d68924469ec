// The NIS+ poll against the stand-in tools: changes made with nistbladm are
// read back from the transaction log and published once.
#include <gtest/gtest.h>
#include <csignal>
#include <sys/stat.h>

#include "core/dbm_file.h"
#include "nisplus_box.h"
#include "password/pending_password_store.h"
#include "support/token_encryptor.h"
#include "support/dbm_read.h"

#include <crypt.h>

namespace {

struct Poll : ::testing::Test {
  NisplusBox nis;
  void tbl(const std::string& args) {
    RunResult r = nis.sh("/usr/local/bin/nistbladm " + args);
    ASSERT_EQ(0, r.status) << args << r.err;
  }
  void addUser(const std::string& name, const std::string& hash, const std::string& uid,
               const std::string& gcos = "User") {
    tbl("-a passwd='" + hash + "' uid=" + uid + " gid=100 gcos='" + gcos + "' home=/home/" + name +
        " shell=/bin/sh shadow=19000:0:99999:7::: name=" + name + " passwd.org_dir");
  }
  std::string stamp() { return nis.box.read(nis.box.work("qvnisplus.stamp")); }
  std::vector<std::string> published(const RunResult& r) {
    EXPECT_EQ(0, r.status) << r.err;
    return splitLines(r.out);
  }
};

TEST_F(Poll, WithoutStampPublishesEveryTransactionThenOnlyNewOnes) {
  addUser("alice", "$1$a$A", "1001", "Alice A");
  addUser("bob", "$1$b$B", "1002");
  tbl("-a passwd=secret gid=50 members=alice,bob name=staff group.org_dir");
  EXPECT_EQ((std::vector<std::string>{
                "addUser:alice:$1$a$A:1001:100:Alice A:/home/alice:/bin/sh::19000:0:99999:7:::",
                "addUser:bob:$1$b$B:1002:100:User:/home/bob:/bin/sh::19000:0:99999:7:::",
                "addGroup:staff::50:alice,bob",
            }),
            published(nis.poll()));
  EXPECT_EQ("3", stamp());
  for (const char* scratch : {"qvnisplus.log", "qvnisplus.xid", "tempcache", "pass"})
    EXPECT_FALSE(nis.box.exists(nis.box.work(scratch))) << scratch;

  EXPECT_TRUE(published(nis.poll()).empty());
  EXPECT_EQ("3", stamp());

  tbl("-E shell=/bin/bash '[name=alice],passwd.org_dir'");
  tbl("-E name=robert '[name=bob],passwd.org_dir'");
  tbl("-R name=alice passwd.org_dir");
  tbl("-E passwd=other members=alice '[name=staff],group.org_dir'");
  tbl("-R name=staff group.org_dir");
  // Passwords are looked up when the poll runs: alice is gone by then.
  EXPECT_EQ((std::vector<std::string>{
                "modifyUser:alice::1001:100:Alice A:/home/alice:/bin/bash::19000:0:99999:7:::",
                "renameUser:bob,robert::$1$b$B:1002:100:User:/home/bob:/bin/sh::19000:0:99999:7:::",
                "deleteUser:alice::1001:100:Alice A:/home/alice:/bin/bash::19000:0:99999:7:::",
                "modifyGroup:staff::50:alice",
                "deleteGroup:staff::50:alice",
            }),
            published(nis.poll()));
  EXPECT_EQ("8", stamp());
}

TEST_F(Poll, PendingPasswordGoesIntoTheUserLineAndIsPurgedAfterTheAnswer) {
  addUser("alice", "$1$a$A", "1001");
  ASSERT_EQ(0, nis.poll().status);
  {
    DbmFile cache = openPassCache(2);
    ASSERT_TRUE(cache.isOpen());
    ASSERT_EQ(0, cache.store("alice", "OLDTOKEN:NEWTOKEN:1"));
    ASSERT_EQ(0, cache.store("dora", "O2:N2:1"));
  }
  tbl("-E gcos=Changed '[name=alice],passwd.org_dir'");

  // Stopped while it waits for the answer: nothing is committed, and the
  // pending password is published again by the next poll.
  pid_t pid = nis.box.startShim({"-n", "nisplus", "-p", ""}, nis.env);
  std::string first = nis.box.readUntilStdoutClosed(pid);
  kill(pid, SIGTERM);
  nis.box.finish(pid);
  EXPECT_EQ("1", stamp());

  auto lines = published(nis.poll());
  EXPECT_EQ((std::vector<std::string>{
                "modifyUser:alice:NEWTOKEN:1001:100:Changed:/home/alice:/bin/sh::19000:0:99999:7:::",
                "modifyPassword:alice:OLDTOKEN,NEWTOKEN",
            }),
            lines);
  EXPECT_EQ(first, lines[0] + "\n" + lines[1] + "\n");
  EXPECT_EQ("2", stamp());
  EXPECT_TRUE(published(nis.poll()).empty());
  DbmFile cache = openPassCache(2);
  EXPECT_FALSE(holds(cache, "alice"));
  EXPECT_EQ("O2:N2:1", valueOf(cache, "dora").value_or(""));
}

TEST_F(Poll, APasswordChangeRecordedWithModifyPasswordIsPublishedWithTheUser) {
  const std::string hash = crypt("secret1", "ab");
  ASSERT_EQ(0, nis.run({"-p", "addUser:dave::1004:100:Dave:/home/dave:/bin/sh:" + hash}, {{"encrypted", hash}}).status);
  const std::string token = encryptToken("secret1");
  RunResult wrong = nis.run({"-p", "modifyPassword:dave:," + encryptToken("other")});
  EXPECT_EQ(0, wrong.status) << wrong.err;
  RunResult right = nis.run({"-p", "modifyPassword:dave:," + token});
  ASSERT_EQ(0, right.status) << right.err;
  EXPECT_EQ((std::vector<std::string>{
                "addUser:dave:" + token + ":1004:100:Dave:/home/dave:/bin/sh::::::::",
                "modifyPassword:dave:," + token,
            }),
            published(nis.poll()));
  EXPECT_FALSE(holds(openPassCache(2), "dave"));
}

TEST_F(Poll, FailedPollsPublishNothingAndKeepTheStamp) {
  addUser("alice", "$1$a$A", "1001");
  ASSERT_EQ(0, nis.poll().status);
  addUser("bob", "$1$b$B", "1002");

  // The event program cannot write its output.
  ASSERT_EQ(0, mkdir(nis.box.work("tempcache").c_str(), 0700));
  RunResult failed = nis.poll();
  EXPECT_NE(0, failed.status);
  EXPECT_EQ("", failed.out);
  EXPECT_NE(std::string::npos, failed.err.find("_handleNISplusChange: ")) << failed.err;
  EXPECT_EQ("1", stamp());
  ASSERT_EQ(0, rmdir(nis.box.work("tempcache").c_str()));

  // No nislog at all.
  ASSERT_EQ(0, unlink("/usr/local/bin/nislog"));
  RunResult missing = nis.poll();
  EXPECT_EQ(-2, missing.code());
  EXPECT_EQ("Error_searchPath_handleNISplusChange: -2\n", missing.err);
  EXPECT_EQ("1", stamp());
  nis.box.installFile(toolsDir() + "/nislog", "/usr/local/bin/nislog");

  auto lines = published(nis.poll());
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(0u, lines[0].find("addUser:bob:$1$b$B:")) << lines[0];
  EXPECT_EQ("2", stamp());

  // A log that names no current XID publishes nothing and keeps the stamp,
  // whatever an interrupted poll left behind.
  nis.box.write(nis.box.work("qvnisplus.xid"), "99");
  nis.box.write(nis.box.work("tempcache"), "deleteUser:stale\n");
  nis.box.install("/usr/local/bin/nislog", "#!/bin/sh\nexit 0\n");
  RunResult silent = nis.poll();
  EXPECT_EQ(0, silent.status) << silent.err;
  EXPECT_EQ("", silent.out);
  EXPECT_EQ("2", stamp());
  EXPECT_FALSE(nis.box.exists(nis.box.work("qvnisplus.xid")));
}

}  // namespace
