// What the subscriber commands leave behind and what they report, with the
// real binary and tools: no scratch file survives a SIGTERM or is written
// through a planted link, refused values change nothing, failing tools fail
// the command, and a password given as "*" is stored locked.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files_test_support.h"
#include "nis_sandbox.h"
#include "nisplus_box.h"
#include "support/dir_listing.h"

namespace {

// Stand-ins found before the host's tools (/usr/sbin is searched first).
// Each stops, leaving the mark <root>/paused, when its command line holds
// the text in <root>/pause.on; fails when <root>/fail.<tool> exists; leaves
// a stray child holding its descriptors when <root>/stray.on exists; and
// otherwise runs the real tool.
void wrapTools(Sandbox& box, const std::vector<std::pair<std::string, std::string>>& tools) {
  box.privateCopy("/usr/sbin");
  const std::string m = box.root();
  for (const auto& [name, real] : tools)
    box.install("/usr/sbin/" + name,
                "#!/bin/sh\n"
                "if [ -f " + m + "/pause.on ]; then case \"$0 $*\" in *\"$(cat " + m +
                    "/pause.on)\"*) : > " + m + "/paused; exec sleep 30;; esac; fi\n"
                "[ -f " + m + "/fail." + name + " ] && exit 1\n"
                "if [ -f " + m + "/stray.on ]; then rm -f " + m + "/stray.on; (cd /; exec sleep 8 "
                    "</dev/null >/dev/null 2>&1) & echo $! > " + m + "/stray.pid; fi\n"
                "exec " + real + " \"$@\"\n");
}

// Runs the shim until a tool stops at the text, then ends it as the engine
// does when its time is up.
RunResult killWhilePaused(Sandbox& box, const Argv& args, const Env& env, const std::string& at) {
  box.write(box.root() + "/pause.on", at);
  pid_t pid = box.startShim(args, env);
  for (int i = 0; i < 1000 && !box.exists(box.root() + "/paused"); ++i) usleep(10000);
  EXPECT_TRUE(box.exists(box.root() + "/paused")) << "never stopped at " << at;
  kill(pid, SIGTERM);
  RunResult r = box.finish(pid);
  unlink((box.root() + "/pause.on").c_str());
  unlink((box.root() + "/paused").c_str());
  return r;
}

// The entries of dir whose name holds part.
std::vector<std::string> names(const std::string& dir, const std::string& part = "") {
  std::vector<std::string> found;
  for (const std::string& n : listing(dir))
    if (n.find(part) != std::string::npos) found.push_back(n);
  return found;
}

// Plants a symbolic and then a hard link to a victim (beside the name, as a
// hard link needs) under each name: the victim must keep its content, owner
// and mode. A run that works under that name must fail; one whose scratch
// files live in its own directory must not notice it.
struct PlantedLink {
  Argv args;
  std::string path;
  bool refused = true;
};
void expectPlantedLinksRefused(Sandbox& box, const std::vector<PlantedLink>& cases,
                               const Env& env = {}) {
  for (const PlantedLink& c : cases) {
    const std::string victim = c.path.substr(0, c.path.rfind('/')) + "/kdl2nis-victim";
    box.write(victim, "victim\n", 0640);
    ASSERT_EQ(0, chown(victim.c_str(), 65534, 65534));
    for (auto plant : {symlink, link}) {
      ASSERT_EQ(0, plant(victim.c_str(), c.path.c_str())) << c.path;
      RunResult r = box.shim(c.args, env);
      EXPECT_EQ(c.refused, r.code() < 0) << c.path << ": " << r.out;
      EXPECT_EQ(c.refused ? 1u : 0u, splitLines(r.err).size()) << c.path << ": " << r.err;
      struct stat st;
      ASSERT_EQ(0, stat(victim.c_str(), &st));
      EXPECT_EQ("victim\n", box.read(victim)) << c.path;
      EXPECT_EQ(65534u, st.st_uid) << c.path;
      EXPECT_EQ(0640u, st.st_mode & 07777) << c.path;
      unlink(c.path.c_str());
    }
    unlink(victim.c_str());
  }
}

// An invalid pattern is refused: -3 and the trace alone.
void expectInvalidPatternsRefused(const std::function<RunResult(const std::string&)>& run) {
  for (const char* event : {"queryUser:(", "queryGroup:("}) {
    RunResult r = run(event);
    EXPECT_EQ(-3, r.code()) << event;
    ASSERT_EQ(1u, splitLines(r.err).size()) << event << ": " << r.err;
    EXPECT_EQ(0u, r.err.rfind("Error_", 0)) << r.err;
  }
}

TEST(FilesScratch, NothingSurvivesASigtermAndPlantedLinksAreNeverFollowed) {
  Sandbox box;
  wrapTools(box, {{"awk", "/usr/bin/awk"}, {"groups", "/usr/bin/groups"}});
  const std::string shadow = box.read("/etc/shadow");
  const Env hash{{"encrypted", "$1$new$hash"}};
  struct Kill {
    std::string event;
    std::string at;
  };
  for (const Kill& k : {Kill{"queryUser:root", "shadow[$1]"},
                        Kill{"modifyPassword:root:a,b", "shadow[$1]"},
                        Kill{"modifyUser:root::::::::::::::", "KDL2NIS_VALUE"},
                        Kill{"modifyGroup:root:::root", "/groups "}}) {
    RunResult r = killWhilePaused(box, {"-n", "files", "-p", k.event}, hash, k.at);
    EXPECT_EQ(std::vector<std::string>{}, names(box.workdir())) << k.event;
    EXPECT_EQ(std::vector<std::string>{}, names("/etc", "qvpwd")) << k.event;
  }
  EXPECT_EQ(shadow, box.read("/etc/shadow"));

  expectPlantedLinksRefused(
      box, {{{"-n", "files", "-p", "queryUser:root"}, box.work("quser.files"), false},
            {{"-n", "files", "-p", "modifyGroup:root:::root"}, box.work("grp.tmp"), false},
            {{"-n", "files", "-p", "modifyUser:root::::::::::::::"}, "/etc/qvpwd.tmp"}},
      hash);
  EXPECT_EQ(shadow, box.read("/etc/shadow"));
}

TEST(NisScratch, NothingSurvivesASigtermAndPlantedLinksAreNeverFollowed) {
  NisSandbox nis;
  wrapTools(nis.box, {{"awk", "/usr/bin/awk"}});
  Sandbox& box = nis.box;
  const std::string passwd = box.read(nis.src + "/passwd");
  const Argv nisArgs{"-n", "nis", "-d", nis.maps, "-y", nis.src, "-p"};
  auto args = [&](const std::string& event) {
    Argv a = nisArgs;
    a.push_back(event);
    return a;
  };
  struct Kill {
    std::string event;
    std::string at;
  };
  // The pattern queries read the maps in place and run no tool to stop at.
  for (const Kill& k : {Kill{"modifyUser:alice::::Changed::::::::::", "ENVIRON"}}) {
    killWhilePaused(box, args(k.event), {}, k.at);
    EXPECT_EQ(std::vector<std::string>{}, names(box.workdir())) << k.event;
    EXPECT_EQ(std::vector<std::string>{}, names(nis.maps, "tmpmap")) << k.event;
  }
  EXPECT_EQ(passwd, box.read(nis.src + "/passwd"));

  const std::string modify = "modifyUser:alice::::Changed::::::::::";
  expectPlantedLinksRefused(box, {{args(modify), box.work("passwd.tmp"), false},
                                  {args("modifyGroup:staff:::alice"), box.work("group.tmp"), false},
                                  {args("queryUser:a.*"), box.work("quser.nis"), false},
                                  {args("queryGroup:s.*"), box.work("qgroup.nis"), false},
                                  {args(modify), box.work("shadow.tmp"), false}});
  // The source files stay plain files, not links to the victim.
  struct stat st;
  for (const char* file : {"/passwd", "/group", "/shadow"}) {
    ASSERT_EQ(0, lstat((nis.src + file).c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1) << file;
  }
  EXPECT_EQ("alice:x:1001:1001:Changed:/home/alice:/bin/bash", nis.source("passwd", "alice"));
  EXPECT_EQ("staff:x:1001:alice", nis.source("group", "staff"));
}

TEST(NisplusScratch, NothingSurvivesASigtermPlantedLinksAreRefusedAndPatternsChecked) {
  NisplusBox nis;
  wrapTools(nis.box, {{"awk", "/usr/bin/awk"}, {"niscat", "/usr/local/bin/niscat"}});
  auto args = [](const std::string& event) { return Argv{"-n", "nisplus", "-p", event}; };
  ASSERT_EQ(0, nis.run({"-p", "addUser:alice::1001:100:A:/home/alice:/bin/sh:h::::::"},
                       {{"encrypted", "h"}}).status);
  // A pattern with two fields goes straight to the table dump.
  killWhilePaused(nis.box, args("queryUser:a.*:::100"), nis.env, "niscat passwd");
  EXPECT_EQ(std::vector<std::string>{}, names(nis.box.workdir()));
  killWhilePaused(nis.box, args("modifyUser:alice::::B::::::::::"), nis.env, "printf");
  EXPECT_EQ(std::vector<std::string>{}, names(nis.box.workdir()));

  expectPlantedLinksRefused(nis.box,
                            {{args("modifyUser:alice::::B::::::::::"), nis.box.work("file.tmp"), false},
                             {args("queryUser:a.*"), nis.box.work("quser.nisplus"), false},
                             {args("queryGroup:.*"), nis.box.work("qgroup.nisplus"), false}},
                            nis.env);
  EXPECT_NE("", nis.entry("passwd.org_dir", "alice"));

  expectInvalidPatternsRefused([&](const std::string& event) { return nis.run({"-p", event}); });
  // A password given as "*" is stored locked, never emptied.
  ASSERT_EQ(0, nis.run({"-p", "modifyUser:alice::::::::::::::"}, {{"encrypted", "*"}}).status);
  EXPECT_EQ("*", splitFields(nis.entry("passwd.org_dir", "alice"), ':')[1]);
}

class FilesFailures : public FilesSandboxTest {};

TEST_F(FilesFailures, AreReportedAndChangeNothing) {
  addUser("jo", "1001", "Jo");
  for (const char* group : {"addGroup:a:x:601:jo", "addGroup:b:x:602:jo", "addGroup:team:x:603:"})
    ASSERT_EQ(0, box.shim({"-n", "files", "-p", group}).status) << group;
  wrapTools(box, {{"awk", "/usr/bin/awk"}, {"groups", "/usr/bin/groups"}});
  auto run = [&](const std::string& event, const Env& env = {}) {
    return box.shim({"-n", "files", "-p", event}, env);
  };
  const std::string before = box.read("/etc/passwd") + box.read("/etc/shadow");

  RunResult r = run(userEvent("modifyUser", "nobody-here", {}), {{"encrypted", "h"}});
  EXPECT_EQ("Error_setPassword_handleUserMod: -6\n", r.err);
  expectInvalidPatternsRefused([&](const std::string& event) { return run(event); });

  // A failing `groups`, or an empty name in a member list, changes nobody.
  const std::string groups = box.read("/etc/group");
  box.write(box.root() + "/fail.groups", "");
  EXPECT_LT(run("modifyGroup:team:::jo").code(), 0);
  EXPECT_LT(run("addGroup:crew:x:604:jo").code(), 0);
  unlink((box.root() + "/fail.groups").c_str());
  EXPECT_LT(run("modifyGroup:team:::jo,,jo").code(), 0);
  EXPECT_EQ("a:x:601:jo", box.entry("/etc/group", "a"));
  EXPECT_EQ("b:x:602:jo", box.entry("/etc/group", "b"));
  EXPECT_EQ("team:x:603:", box.entry("/etc/group", "team"));
  EXPECT_EQ(before, box.read("/etc/passwd") + box.read("/etc/shadow"));

  // A password given as "*" is stored locked, never emptied.
  ASSERT_EQ(0, run(userEvent("modifyUser", "jo", {}), {{"encrypted", "*"}}).status);
  EXPECT_EQ("*", shadowFields("jo")[1]);

  // The tools of the query that modifyPassword runs do not hold the engine's
  // standard output: a stray child of one must not keep the engine reading.
  box.write(box.root() + "/stray.on", "");
  auto start = std::chrono::steady_clock::now();
  r = run("modifyPassword:jo:a,b");
  auto took = std::chrono::steady_clock::now() - start;
  // Never kill(0): that would be this test's whole process group.
  const pid_t stray = std::atoi(box.read(box.root() + "/stray.pid").c_str());
  ASSERT_GT(stray, 0) << "the query ran no tool that could leave a child";
  kill(stray, SIGKILL);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_LT(took, std::chrono::seconds(4));
}

TEST(NisRecords, ThatTheMapsCannotHoldAreRefusedAndARetriedAddIsNoDuplicate) {
  NisSandbox nis;
  wrapTools(nis.box, {{"make", "/usr/bin/make"}});
  const std::string before = nis.sources();
  const std::string longText(1020, 'c');
  for (const std::string& event : std::vector<std::string>{
           "modifyUser:alice::::::/bin/\\", "modifyGroup:staff:::\\",
           "addUser:carl::1060:1060:C:/home/carl:/bin/\\:x:::::::",
           "modifyUser:alice::::" + longText,
        "addUser:carl::1060:1060:" + longText + ":/home/carl:/bin/sh:x:::::::",
        "modifyGroup:staff:::" + longText,
        // Ids the Makefile would leave out of the maps, and a hash with a tab.
        "modifyUser:alice::%s", "addGroup:crew:x:'1':", "addUser:carl::1060:1060:C:/home/carl:/bin/sh::::::::"}) {
    const char* hash = event.rfind("addUser:carl::1060:1060:C:", 0) == 0 ? "a\tb" : "x";
    RunResult r = nis.run(event, {}, {{"encrypted", hash}});
    EXPECT_EQ(-3, r.code()) << event.substr(0, 40) << ": " << r.err;
  }
  EXPECT_EQ(before, nis.sources());
  EXPECT_EQ("bob:x:1002:1002:Bob:/home/bob:/bin/sh", nis.value("passwd.byname", "bob"));

  // Killed after the source append, before the maps were rebuilt: the
  // engine's retry finishes the add, without adding the account a second
  // time.
  const std::string add = "addUser:kim::1070:1070:Kim:/home/kim:/bin/sh:x:::::::";
  killWhilePaused(nis.box, {"-n", "nis", "-d", nis.maps, "-y", nis.src, "-p", add},
                  {{"encrypted", "x"}}, "make -f");
  EXPECT_EQ(0, nis.run(add, {}, {{"encrypted", "x"}}).code());
  EXPECT_EQ("kim:x:1070:1070:Kim:/home/kim:/bin/sh", nis.value("passwd.byname", "kim"));
  for (const char* file : {"passwd", "shadow"}) {
    auto lines = nis.sourceLines(file);
    EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(),
                               [](const std::string& l) { return l.rfind("kim:", 0) == 0; }))
        << file;
  }

  expectInvalidPatternsRefused([&](const std::string& event) { return nis.run(event); });
  // A password given as "*" is stored locked, never emptied.
  ASSERT_EQ(0, nis.run("modifyUser:alice::::::::::::::", {}, {{"encrypted", "*"}}).status);
  EXPECT_EQ("alice:*:19001:0:99999:7:::", nis.source("shadow", "alice"));
}

}  // namespace
