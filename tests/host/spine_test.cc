// The entry, options and runner seen from outside: the real binary in a
// sandbox.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <unistd.h>

#include "core/result.h"
#include "core/runner.h"
#include "core/trace.h"
#include "sandbox.h"

namespace {

TEST(Options, ArgumentErrorsPrintMainTraceAndExit253) {
  Sandbox box;
  for (const Argv& args : std::vector<Argv>{{"-n", "NIS", "-p", "addUser:jo"},
                                            {"-x", "-p", "addUser:jo"},
                                            {"-p"}}) {
    RunResult r = box.shim(args);
    EXPECT_EQ(253, r.status) << args[0] << " " << args[1];
    EXPECT_EQ("Error_main: -3\n", r.err);
    EXPECT_EQ("", r.out);
  }
}

TEST(Options, EmptyCommandNameReachesTheParserWhichRefusesThePollRow) {
  Sandbox box;
  RunResult r = box.shim({"-n", "files", "-p", ":x"});
  EXPECT_EQ(253, r.status);
  EXPECT_EQ("Error_parseEventData_main: -3\n", r.err);
}

TEST(Options, UnknownOrMissingCommandPrintsMainTraceAndExit245) {
  Sandbox box;
  for (const Argv& args : std::vector<Argv>{{"-p", "AddUser:jo"}, {"-n", "files"}, {}}) {
    RunResult r = box.shim(args);
    EXPECT_EQ(245, r.status);
    EXPECT_EQ("Error_main: -11\n", r.err);
  }
}

TEST(Options, BackendErrorStopsOptionReading) {
  Sandbox box;
  // The -p after the bad backend is never read, so no event is parsed.
  RunResult r = box.shim({"-n", "NIS", "-p", "nonsense"});
  EXPECT_EQ("Error_main: -3\n", r.err);
}

TEST(Options, NisCommandNeedingTheShadowTestWithoutSourceDirIsAnArgumentError) {
  Sandbox box;
  RunResult r = box.shim({"-n", "nis", "-d", "/var/yp/x", "-p", "addUser:jo"});
  EXPECT_EQ(-3, r.code());
  EXPECT_EQ("Error_main: -3\n", r.err);
}

TEST(Options, AnEmptyCommandSelectsThePollEvenWithACommandBesideIt) {
  Sandbox box;
  box.record("/usr/sbin/useradd");
  const std::string passwdBefore = box.read("/etc/passwd");
  for (const Argv& args : std::vector<Argv>{{"-n", "files", "-p", "", "-p", "addUser:jo"},
                                            {"-n", "files", "-p", "addUser:jo", "-p", ""},
                                            // no -y: the poll needs no shadow test
                                            {"-n", "nis", "-p", "", "-p", "addUser:jo"}}) {
    RunResult r = box.shim(args);
    EXPECT_EQ(std::string::npos, r.err.find("main")) << args[1] << " " << args[3] << ": " << r.err;
  }
  EXPECT_TRUE(box.calls("/usr/sbin/useradd").empty());
  EXPECT_EQ(passwdBefore, box.read("/etc/passwd"));
}

TEST(EventData, LineBreaksRenameColonsAndOptionLikeNamesAreRefusedBeforeAnyTool) {
  Sandbox box;
  box.record("/usr/sbin/useradd");
  box.record("/usr/sbin/usermod");
  box.record("/usr/sbin/userdel");
  box.record("/usr/sbin/groupadd");
  for (const std::string& p :
       {std::string("addUser:jo\nroot::0:0::/:/bin/sh"), std::string("addUser:jo\r"),
        std::string("deleteUser:jo\n"), std::string("queryUser:a\nb"), std::string("renameUser:jo,x:y"),
        std::string("addUser:-ojo"), std::string("deleteUser:-r"), std::string("renameUser:jo,-x"),
        std::string("addGroup:-g:x:10:")}) {
    RunResult r = box.shim({"-n", "files", "-p", p});
    EXPECT_EQ(-3, r.code()) << p;
    EXPECT_EQ("Error_main: -3\n", r.err) << p;
  }
  EXPECT_TRUE(box.calls("/usr/sbin/useradd").empty());
  EXPECT_TRUE(box.calls("/usr/sbin/usermod").empty());
  EXPECT_TRUE(box.calls("/usr/sbin/userdel").empty());
  EXPECT_TRUE(box.calls("/usr/sbin/groupadd").empty());
}

TEST(SearchPath, FindsToolsOnlyInLocalBinAndPrefersSbinOverBin) {
  Sandbox box;
  box.install("/usr/local/bin/kdl2nis-only-local", "#!/bin/sh\n");
  std::string dir;
  ASSERT_EQ(kOk, searchPath("kdl2nis-only-local", &dir));
  EXPECT_EQ("/usr/local/bin/", dir);

  box.privateCopy("/usr/sbin");
  box.install("/usr/sbin/kdl2nis-both", "#!/bin/sh\n");
  box.install("/usr/local/bin/kdl2nis-both", "#!/bin/sh\n");
  ASSERT_EQ(kOk, searchPath("kdl2nis-both", &dir));
  EXPECT_EQ("/usr/sbin/", dir);
  resetErrorTrace();
}

TEST(Sandbox, ShowsItsOwnCopiesAndRecordsArgumentVectors) {
  Sandbox box;
  box.write("/etc/kdl2nis-marker", "sandbox");
  EXPECT_EQ("sandbox", box.read(box.root() + "/etc/kdl2nis-marker"));
  box.record("/usr/bin/cut");
  RunResult r = box.sh("echo 'a:b' | /usr/bin/cut -d: -f2 -- -");
  EXPECT_EQ("b\n", r.out);
  auto calls = box.calls("/usr/bin/cut");
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ((Argv{"-d:", "-f2", "--", "-"}), calls[0]);
  box.loginUsers({"alice", "bob"});
  RunResult who = box.sh("who | cut -d' ' -f1");
  EXPECT_EQ("alice\nbob\n", who.out);
  box.loginUsers({"carol"});
  EXPECT_EQ("carol\n", box.sh("/bin/who | cut -d' ' -f1").out);
  // The awk named for the run is the one every awk path leads to.
  if (const char* awk = std::getenv("KDL2NIS_AWK"); awk != nullptr && *awk != '\0') {
    std::string path = awk[0] == '/' ? awk : std::string("/usr/bin/") + awk;
    EXPECT_EQ(0, box.sh("cmp -s /usr/bin/awk " + path + " && cmp -s /bin/awk " + path).status);
  }
}

}  // namespace

namespace {

// SIGTERM while a tool runs: the tool is stopped, another process's files
// (here under a poll's snapshot names) stay, and the shim ends with status 0.
TEST(Terminate, SigtermDuringAToolStopsItLeavesOthersFilesAndExitsZero) {
  Sandbox box;
  box.privateCopy("/usr/sbin");
  box.install("/usr/sbin/useradd", "#!/bin/sh\necho $$ > tool.pid\nexec sleep 60\n");
  const char* maps[] = {"passwd.log.tmp",        "shadow.log.tmp",        "group.log.tmp",
                        "passwd.byname.log.tmp", "shadow.byname.log.tmp", "group.byname.log.tmp"};
  for (const char* m : maps) box.write(box.work(m), "x");
  box.write(box.work("passwd.log"), "committed");

  pid_t shim = box.startShim({"-n", "files", "-p", "addUser:slow:x:1500:100:::/bin/sh"});
  for (int i = 0; i < 1000 && !box.exists(box.work("tool.pid")); ++i) usleep(10000);
  usleep(100000);
  int tool = std::atoi(box.read(box.work("tool.pid")).c_str());
  ASSERT_GT(tool, 0);
  kill(shim, SIGTERM);
  RunResult r = box.finish(shim);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  auto running = [&box](int pid) {
    std::string stat = box.read("/proc/" + std::to_string(pid) + "/stat");
    return !stat.empty() && stat.find(") Z ") == std::string::npos;
  };
  for (int i = 0; i < 200 && running(tool); ++i) usleep(10000);
  EXPECT_FALSE(running(tool)) << "the tool kept running";
  for (const char* m : maps) EXPECT_TRUE(box.exists(box.work(m))) << m;
  EXPECT_TRUE(box.exists(box.work("passwd.log")));
}

}  // namespace
