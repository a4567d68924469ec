// Runs in one working directory, held at a tool so that they overlap: each
// reads back only what its own tools wrote, a SIGTERM of one removes only its
// own files, and the directory a SIGKILLed run left is swept by a later run
// while a live run's is not.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include "files_test_support.h"
#include "nis_sandbox.h"
#include "support/dir_listing.h"

namespace {

// A stand-in for the tool (found before the host's: /usr/sbin is searched
// first): its first <root>/holds calls, in order, each leave <root>/held<i>
// and wait for <root>/go<i> before they run the real tool.
void holdInOrder(Sandbox& box, const std::string& tool, const std::string& real, int holds) {
  box.privateCopy("/usr/sbin");
  const std::string m = box.root();
  box.write(m + "/holds", std::to_string(holds) + "\n");
  box.install("/usr/sbin/" + tool,
              "#!/bin/sh\ni=0\nwhile [ -f " + m + "/held$i ]; do i=$((i+1)); done\n"
              "if [ $i -lt $(cat " + m + "/holds) ]; then : > " + m + "/held$i\n"
              "  while [ ! -f " + m + "/go$i ]; do sleep 0.05; done; fi\n"
              "exec " + real + " \"$@\"\n");
}

void awaitHeld(Sandbox& box, int i) {
  const std::string mark = box.root() + "/held" + std::to_string(i);
  for (int n = 0; n < 1000 && !box.exists(mark); ++n) usleep(10000);
  ASSERT_TRUE(box.exists(mark)) << "call " << i << " never held";
}
void release(Sandbox& box, int i) { box.write(box.root() + "/go" + std::to_string(i), ""); }

// The run directories in the working directory, and what each holds.
std::map<std::string, std::set<std::string>> runDirectories(const Sandbox& box) {
  std::map<std::string, std::set<std::string>> found;
  for (const std::string& name : listing(box.workdir())) {
    if (name.rfind(".kdl2nis.", 0) != 0) continue;
    auto& files = found[name];
    for (const std::string& file : listing(box.work(name)))
      if (file[0] != '.') files.insert(file);
  }
  return found;
}

std::string groupsOf(Sandbox& box, const std::string& user) {
  return box.sh("/usr/bin/id -Gn " + user).out;
}

class RunScratch : public FilesSandboxTest {
 protected:
  RunResult group(const std::string& event) { return box.shim({"-n", "files", "-p", event}); }
  pid_t startGroup(const std::string& event) { return box.startShim({"-n", "files", "-p", event}); }
};

TEST_F(RunScratch, OverlappingMembershipRunsEachReadTheirOwnAnswersAndKeepTheirOwnFiles) {
  for (const char* name : {"alice", "bob", "carol"}) addUser(name, "", name);
  ASSERT_EQ(0, box.sh("/usr/sbin/groupadd -g 6500 secret && /usr/sbin/usermod -G secret alice").status);
  holdInOrder(box, "groups", "/usr/bin/groups", 1);

  // Held after `groups alice`'s output file is made, while another run in
  // the same directory makes and removes its own.
  pid_t held = startGroup("addGroup:newg:x:6600:alice,bob");
  awaitHeld(box, 0);
  RunResult other = group("addGroup:other:x:6700:carol");
  release(box, 0);
  RunResult first = box.finish(held);
  ASSERT_EQ(0, first.status) << first.err;
  ASSERT_EQ(0, other.status) << other.err;
  EXPECT_EQ("newg:x:6600:alice,bob", box.entry("/etc/group", "newg"));
  EXPECT_EQ("other:x:6700:carol", box.entry("/etc/group", "other"));
  EXPECT_EQ("bob newg\n", groupsOf(box, "bob"));
  EXPECT_EQ("alice secret newg\n", groupsOf(box, "alice"));
  EXPECT_EQ("carol other\n", groupsOf(box, "carol"));
  EXPECT_TRUE(runDirectories(box).empty());

  // A live run held with its file; a second stopped by SIGTERM, a third
  // killed outright.
  box.write(box.root() + "/holds", "3\n");
  pid_t live = startGroup("addGroup:g1:x:6601:alice,bob");
  awaitHeld(box, 1);
  const auto liveOnly = runDirectories(box);
  ASSERT_EQ(1u, liveOnly.size());
  EXPECT_EQ(std::set<std::string>{"grp.tmp"}, liveOnly.begin()->second);
  pid_t stopped = startGroup("modifyGroup:other:::carol");
  awaitHeld(box, 2);
  kill(stopped, SIGTERM);
  box.finish(stopped);
  EXPECT_EQ(liveOnly, runDirectories(box)) << "a SIGTERM took another run's files";
  box.write(box.root() + "/holds", "4\n");
  pid_t killed = startGroup("modifyGroup:other:::carol");
  awaitHeld(box, 3);
  kill(killed, SIGKILL);
  release(box, 3);  // its tool, orphaned, still holds the output pipes
  box.finish(killed);
  EXPECT_EQ(2u, runDirectories(box).size());
  // A later run sweeps the killed run's directory only.
  ASSERT_EQ(0, box.shim({"-n", "files", "-p", "queryUser:carol"}).status);
  EXPECT_EQ(liveOnly, runDirectories(box));
  for (int i : {1, 2}) release(box, i);
  RunResult last = box.finish(live);
  ASSERT_EQ(0, last.status) << last.err;
  EXPECT_EQ("bob newg g1\n", groupsOf(box, "bob"));
  EXPECT_TRUE(runDirectories(box).empty());
}

TEST(NisRunScratch, OverlappingListingsOfTwoDomainsEachAnswerTheirOwn) {
  NisSandbox nis;
  Sandbox& box = nis.box;
  const std::string other = "/var/yp/other";
  ASSERT_EQ(0, box.sh("mkdir -p " + other + " && printf 'eve eve:x:0:0:Eve:/:/bin/sh\\n' | " +
                      "/usr/lib/yp/makedbm - " + other + "/passwd.byname").status);
  // Both listings run at once in the same working directory.
  pid_t own = box.startShim({"-n", "nis", "-d", nis.maps, "-y", nis.src, "-p", "queryUser:.*"});
  pid_t foreign = box.startShim({"-n", "nis", "-d", other, "-y", other, "-s", "-p", "queryUser:.*"});
  RunResult mine = box.finish(own);
  RunResult theirs = box.finish(foreign);
  ASSERT_EQ(0, mine.status) << mine.err;
  ASSERT_EQ(0, theirs.status) << theirs.err;
  EXPECT_NE(std::string::npos, mine.out.find("instanceUser:alice:")) << mine.out;
  EXPECT_EQ(std::string::npos, mine.out.find("eve")) << mine.out;
  EXPECT_EQ("instanceUser:eve:x:0:0:Eve:/:/bin/sh:::::::\n", theirs.out);
  EXPECT_TRUE(runDirectories(box).empty());
}

}  // namespace
