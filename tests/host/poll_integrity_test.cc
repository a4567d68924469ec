// The polls of the real binary under what goes wrong around them: changes
// made while they run, account data that looks like state, output that
// cannot be written, broken or planted state files, another shim beside
// them, a crash after the engine's answer, a second poll at once, a full
// disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <regex>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/run_directory.h"
#include "core/trace.h"
#include "must_run.h"
#include "nis_sandbox.h"
#include "publisher/nis_poll.h"

namespace {

using Lines = std::vector<std::string>;

Lines sorted(Lines lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The files, NIS and NIS+ backends in one sandbox.
struct Backends {
  NisSandbox nis;
  Sandbox& box = nis.box;
  Env env{{"NISPLUS_STANDIN_DIR", box.root() + "/nisplus"}};

  Backends() {
    for (const char* tool : {"nistbladm", "nismatch", "niscat", "nislog"})
      box.installFile(toolsDir() + "/" + tool, std::string("/usr/local/bin/") + tool);
  }
  Argv args(const std::string& backend) const {
    if (backend == "nis") return {"-n", "nis", "-d", nis.maps, "-p", ""};
    return {"-n", backend, "-p", ""};
  }
  // A poll that gets the engine's answer.
  RunResult poll(const std::string& backend, const Env& extra = {}) {
    Env all = env;
    all.insert(extra.begin(), extra.end());
    return box.shim(args(backend), all, "y");
  }
  // A poll whose standard output is the given file, e.g. /dev/full.
  RunResult pollInto(const std::string& backend, const std::string& out) {
    std::string command = shimBinary();
    for (const auto& a : args(backend)) command += " '" + a + "'";
    return box.sh(command + " >" + out + " </dev/null", env);
  }
  std::string stamp(const std::string& backend) const {
    return box.work(backend == "files" ? "qvnisfiles.stamp" : backend == "nis" ? "qvnisyp.stamp" : "qvnisplus.stamp");
  }
  void addNisplusUser(const std::string& name) {
    mustRun(box, "/usr/local/bin/nistbladm -a passwd=x uid=1500 gid=100 gcos=N home=/h shell=/bin/sh "
                 "shadow=19000:0:99999:7::: name=" + name + " passwd.org_dir", env);
  }
};

// An `awk` (the one the shim finds as /usr/bin/awk) that runs `inject` once,
// right after it has read `source` for the poll; run with KDL2NIS_SLOW_AWK
// set it stalls first, as a tool that takes its time.
void injectAfterAwkReads(Sandbox& box, const std::string& source, const std::string& inject) {
  const std::string awk = box.awkPath();
  unlink("/etc/alternatives/awk");
  box.install("/etc/alternatives/awk",
              "#!/bin/sh\n"
              "if [ -n \"$KDL2NIS_SLOW_AWK\" ]; then : > " + box.root() + "/slow; sleep 20; fi\n"
              "'" + awk + "' \"$@\"; status=$?\n"
              "if [ \"$2\" = '" + source + "' ] && mkdir " + box.root() + "/injected 2>/dev/null; then\n"
              "  (" + inject + ") >/dev/null 2>&1 </dev/null\n"
              "fi\n"
              "exit $status\n");
}

std::string userRecord(Sandbox& box, const std::string& name) {
  std::string shadow = box.entry("/etc/shadow", name);
  return box.entry("/etc/passwd", name) + shadow.substr(shadow.find(':'));
}

void addFilesUser(Sandbox& box, const std::string& name, const std::string& uid) {
  mustRun(box, "echo '" + name + ":x:" + uid + ":100::/home/" + name + ":/bin/sh' >> /etc/passwd && echo '" + name +
                   ":!:19000:0:99999:7:::' >> /etc/shadow");
}

TEST(PollIntegrity, AChangeMadeWhileAPollRunsIsPublishedByItOrTheNext) {
  NisSandbox nis;
  Sandbox& box = nis.box;
  // files: a group added and a user changed just after the poll has read
  // /etc/passwd, while only the users had changed since the stamp.
  addFilesUser(box, "keeper", "1600");
  age(box, "/etc/passwd /etc/shadow /etc/group");
  ASSERT_EQ(0, box.shim({"-n", "files", "-p", ""}, {}, "y").status);
  mustRun(box, "usermod -c Keeper keeper");
  age(box, "/etc/passwd /etc/shadow");
  injectAfterAwkReads(box, "/etc/passwd", "groupadd -g 4444 late; usermod -s /bin/bash keeper");
  Lines published;
  for (int poll = 0; poll < 2; ++poll) {
    RunResult r = box.shim({"-n", "files", "-p", ""}, {}, "y");
    ASSERT_EQ(0, r.status) << r.err;
    for (const auto& line : splitLines(r.out)) published.push_back(line);
  }
  EXPECT_EQ(sorted({"addGroup:late:x:4444:", "modifyGroup:late:::", "modifyUser:keeper::::Keeper::::::::::",
                    "modifyUser:keeper::::::/bin/bash::::::::"}),
            sorted(published));
  EXPECT_EQ("", box.shim({"-n", "files", "-p", ""}, {}, "y").out);

  // NIS: the group map rebuilt just before the poll copies a map after
  // passwd.byname, while only the passwd maps had changed.
  Argv nisPoll{"-n", "nis", "-d", nis.maps, "-p", ""};
  mustRun(box, "touch -d @$(( $(date +%s) - 100 )) " + nis.maps + "/*.byname");
  ASSERT_EQ(0, box.shim(nisPoll, {}, "y").status);
  mustRun(box, "sed -i 's#^alice:\\(.*\\):/bin/bash$#alice:\\1:/bin/zsh#' " + nis.src + "/passwd && cd " + nis.maps +
                   " && make -f /var/yp/Makefile passwd >/dev/null 2>&1 && touch -d @$(( $(date +%s) - 50 )) "
                   "passwd.byname shadow.byname");
  box.install("/usr/local/bin/cp", "#!/bin/sh\n"
                                   "case \"$1\" in */group.byname|*/shadow.byname)\n"
                                   "  if mkdir " + box.root() + "/injected-nis 2>/dev/null; then\n"
                                   "    (echo late:x:4444: >> " + nis.src + "/group && cd " + nis.maps +
                                   " && make -f /var/yp/Makefile group) >/dev/null 2>&1 </dev/null\n"
                                   "  fi;;\n"
                                   "esac\n"
                                   "exec /bin/cp \"$@\"\n");
  published.clear();
  for (int poll = 0; poll < 2; ++poll) {
    RunResult r = box.shim(nisPoll, {}, "y");
    ASSERT_EQ(0, r.status) << r.err;
    for (const auto& line : splitLines(r.out)) published.push_back(line);
  }
  EXPECT_TRUE(box.exists(box.root() + "/injected-nis"));
  EXPECT_EQ(sorted({"addGroup:late:x:4444:", "modifyGroup:late:::", "modifyUser:alice::::::/bin/zsh::::::::"}),
            sorted(published));
}

// Lines whose name is "file" and whose next field begins with "//" read
// like overflow references; they are accounts like any other.
TEST(PollIntegrity, AccountDataThatLooksLikeAnOverflowReferenceIsPublishedAsItself) {
  NisSandbox nis;
  Sandbox& box = nis.box;
  std::string victim = box.root() + "/victim";
  std::string forged = "deleteUser:root\naddGroup:root:x:0:forged";
  box.write(victim, forged);
  mustRun(box, "mkdir '" + box.root() + "/d:1700:'");
  std::string group = "file://" + box.root() + "/d:1700:/../victim";
  std::string user = "file://nowhere:1701:1701::/:/bin/sh";
  Lines expected{"addGroup:file://" + box.root() + "/d:1700:", "modifyGroup:file:::/../victim",
                 "addUser:" + user + "::::::::"};

  struct Store {
    std::string backend, passwd, group, rebuild;
  };
  for (const Store& store : {Store{"files", "/etc/passwd", "/etc/group", "true"},
                             Store{"nis", nis.src + "/passwd", nis.src + "/group",
                                   "cd " + nis.maps + " && make -f /var/yp/Makefile passwd group >/dev/null 2>&1"}}) {
    Argv args = store.backend == "nis" ? Argv{"-n", "nis", "-d", nis.maps, "-p", ""} : Argv{"-n", "files", "-p", ""};
    mustRun(box, "echo '" + user + "' >> " + store.passwd + " && echo '" + group + "' >> " + store.group + " && " +
                     store.rebuild);
    RunResult first = box.shim(args, {}, "y");
    ASSERT_EQ(0, first.status) << store.backend << ": " << first.err;
    Lines out = splitLines(first.out);
    for (const auto& line : expected)
      EXPECT_EQ(1, std::count(out.begin(), out.end(), line)) << store.backend << ": " << line << "\n" << first.out;
    EXPECT_EQ(std::string::npos, first.out.find("forged")) << store.backend;
    // The next commit replaces the group generation that holds the line.
    mustRun(box, "echo late:x:4444: >> " + store.group + " && " + store.rebuild);
    RunResult next = box.shim(args, {}, "y");
    EXPECT_EQ(0, next.status) << store.backend << ": " << next.err;
    EXPECT_EQ("addGroup:late:x:4444:\nmodifyGroup:late:::\n", next.out) << store.backend;
    EXPECT_EQ(forged, box.read(victim)) << store.backend;
  }
}

TEST(PollIntegrity, APollThatCannotWriteItsEventsOrReadTheWholeLogCommitsNothing) {
  Backends all;
  all.addNisplusUser("nora");
  for (const char* backend : {"files", "nis", "nisplus"}) {
    RunResult r = all.pollInto(backend, "/dev/full");
    EXPECT_NE(0, r.status) << backend;
    EXPECT_FALSE(all.box.exists(all.stamp(backend))) << backend;
  }
  // nislog prints its header (with the current XID) and the log, then fails.
  mustRun(all.box, "mv /usr/local/bin/nislog /usr/local/bin/nislog.real");
  all.box.install("/usr/local/bin/nislog", "#!/bin/sh\n/usr/local/bin/nislog.real; exit 1\n");
  RunResult cut = all.poll("nisplus");
  EXPECT_NE(0, cut.status);
  EXPECT_FALSE(all.box.exists(all.stamp("nisplus")));
  mustRun(all.box, "mv /usr/local/bin/nislog.real /usr/local/bin/nislog");
  RunResult r = all.poll("nisplus");
  EXPECT_EQ(0u, r.out.find("addUser:nora:")) << r.out << r.err;
}

TEST(PollIntegrity, AStampThatCannotBeParsedMeansCompareEverything) {
  NisSandbox nis;
  Sandbox& box = nis.box;
  addFilesUser(box, "keeper", "1600");
  age(box, "/etc/passwd /etc/shadow /etc/group");
  Argv files{"-n", "files", "-p", ""}, nisPoll{"-n", "nis", "-d", nis.maps, "-p", ""};
  ASSERT_EQ(0, box.shim(files, {}, "y").status);
  ASSERT_EQ(0, box.shim(nisPoll, {}, "y").status);
  mustRun(box, "usermod -s /bin/bash keeper && sed -i 's#^alice:\\(.*\\):/bin/bash$#alice:\\1:/bin/zsh#' " + nis.src +
                   "/passwd && cd " + nis.maps + " && make -f /var/yp/Makefile passwd >/dev/null 2>&1");
  box.write(box.work("qvnisfiles.stamp"), "");
  box.write(box.work("qvnisyp.stamp"), "12 x");
  for (int twice = 0; twice < 2; ++twice) {
    RunResult f = box.shim(files, {}, "y"), n = box.shim(nisPoll, {}, "y");
    EXPECT_EQ(0, f.status) << f.err;
    EXPECT_EQ(0, n.status) << n.err;
    EXPECT_EQ(twice ? "" : "modifyUser:keeper::::::/bin/bash::::::::\n", f.out);
    EXPECT_EQ(twice ? "" : "modifyUser:alice::::::/bin/zsh::::::::\n", n.out);
  }
  for (const char* stamp : {"qvnisfiles.stamp", "qvnisyp.stamp"})
    EXPECT_TRUE(std::regex_match(box.read(box.work(stamp)), std::regex("-?[0-9]+ -?[0-9]+ -?[0-9]+"))) << stamp;
}

TEST(PollIntegrity, AShimKilledBesideAPollLeavesThePollsFilesAlone) {
  Sandbox box;
  age(box, "/etc/passwd /etc/shadow /etc/group");
  ASSERT_EQ(0, box.shim({"-n", "files", "-p", ""}, {}, "y").status);
  addFilesUser(box, "jo", "1601");
  age(box, "/etc/passwd /etc/shadow /etc/group");
  // While the poll takes its shadow snapshot (the others taken), a query in
  // the same working directory is stopped with SIGTERM while its awk runs.
  injectAfterAwkReads(box, "//etc//shadow",
                      "KDL2NIS_SLOW_AWK=1 " + shimBinary() + " -n files -p 'queryUser:root' & s=$!; i=0; "
                      "while [ ! -e " + box.root() + "/slow ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done; "
                      "kill -TERM $s; wait $s");
  RunResult r = box.shim({"-n", "files", "-p", ""}, {}, "y");
  EXPECT_TRUE(box.exists(box.root() + "/slow"));
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("addUser:" + userRecord(box, "jo") + "\n", r.out);
  RunResult next = box.shim({"-n", "files", "-p", ""}, {}, "y");
  EXPECT_EQ(0, next.status) << next.err;
  EXPECT_EQ("", next.out);
}

// Every scratch and state file name of the polls, planted as a link: the
// victim stays as it was and the poll fails with its trace.
TEST(PollIntegrity, LinksPlantedUnderThePollsFileNamesNeverReachTheirTargets) {
  Backends all;
  Sandbox& box = all.box;
  all.addNisplusUser("nora");
  std::string victim = box.root() + "/victim", victimDir = box.root() + "/victimdir";
  box.write(victim, "victim\n");
  mustRun(box, "mkdir " + victimDir + " && echo keep > " + victimDir + "/keep");
  auto untouched = [&] {
    struct stat st;
    return box.read(victim) == "victim\n" && stat(victim.c_str(), &st) == 0 && (st.st_mode & 07777) == 0644 &&
           box.sh("ls -A " + victimDir).out == "keep\n";
  };
  auto clean = [&] { mustRun(box, "rm -rf " + box.workdir() + "/* " + box.workdir() + "/.[!.]*"); };

  // The overflow directory as a link to a directory: the poll has no long
  // line to store, commits, and sweeps nothing through the link.
  ASSERT_EQ(0, symlink(victimDir.c_str(), box.work("d.overflow").c_str()));
  EXPECT_EQ(0, all.poll("files").status);
  EXPECT_TRUE(untouched());
  clean();

  mustRun(box, "echo 'big:x:5555:" + std::string(2000, 'm') + "' >> /etc/group");
  struct Case {
    const char* backend;
    const char* name;
  };
  for (const Case& c : {Case{"files", "platformdbm.tmp"}, Case{"files", "files.pub"}, Case{"files", "qvnisfiles.stamp"},
                        Case{"files", "qvnisfiles.commit"}, Case{"files", "passwd.log.tmp"}, Case{"files", "group.log.tmp"},
                        Case{"files", "shadow.log.tmp"}, Case{"files", "d.overflow"},
                        Case{"files", ".qvnispoll.lock"}, Case{"nis", "passwd.byname.log.tmp"},
                        Case{"nis", "shadow.byname.log.tmp"}, Case{"nis", "group.byname.log.tmp"}, Case{"nis", "nis.pub"},
                        Case{"nis", "qvnisyp.stamp"}, Case{"nis", "qvnisyp.commit"}, Case{"nisplus", "qvnisplus.log"},
                        Case{"nisplus", "qvnisplus.xid"}, Case{"nisplus", "tempcache"}, Case{"nisplus", "qvnisplus.stamp"},
                        Case{"nisplus", "qvnisplus.commit"}}) {
    std::string target = std::string(c.name) == "d.overflow" ? victimDir : victim;
    ASSERT_EQ(0, symlink(target.c_str(), box.work(c.name).c_str())) << c.name;
    RunResult r = all.poll(c.backend);
    EXPECT_NE(0, r.status) << c.name;
    std::string routine = std::string(c.backend) == "files" ? "handleFilesChange"
                          : std::string(c.backend) == "nis" ? "handleNISChange"
                                                            : "handleNISplusChange";
    EXPECT_TRUE(std::regex_match(r.err, std::regex("Error(_[A-Za-z]+)*_" + routine + ": -[0-9]+\n"))) << c.name << r.err;
    EXPECT_TRUE(untouched()) << c.name;
    clean();
  }
}

TEST(PollIntegrity, KilledAfterTheAnswerTheCommitIsCompletedByTheNextPoll) {
  Sandbox box;
  Argv poll{"-n", "files", "-p", ""};
  age(box, "/etc/passwd /etc/shadow /etc/group");
  ASSERT_EQ(0, box.shim(poll, {}, "y").status);
  addFilesUser(box, "jo", "1601");
  age(box, "/etc/passwd /etc/shadow /etc/group");
  RunResult killed = box.shim(poll, {{"LD_PRELOAD", KDL2NIS_KILL_AT_RENAME_LIBRARY}, {"KDL2NIS_KILL_AT_RENAME", "passwd.log.tmp"}}, "y");
  ASSERT_EQ(SIGKILL, killed.signal);
  EXPECT_EQ("addUser:" + userRecord(box, "jo") + "\n", killed.out);
  mustRun(box, "sed -i '/^jo:/d' /etc/passwd /etc/shadow");
  age(box, "/etc/passwd /etc/shadow /etc/group");
  RunResult next = box.shim(poll, {}, "y");
  EXPECT_EQ(0, next.status) << next.err;
  EXPECT_EQ("deleteUser:jo\n", next.out);
  EXPECT_EQ("", box.shim(poll, {}, "y").out);
}

TEST(PollIntegrity, ASecondPollAtOnceWaitsBrieflyThenFailsWithMinusEightAndCommitsNothing) {
  Sandbox box;
  Argv poll{"-n", "files", "-p", ""};
  age(box, "/etc/passwd /etc/shadow /etc/group");
  ASSERT_EQ(0, box.shim(poll, {}, "y").status);
  std::string stamp = box.read(box.work("qvnisfiles.stamp"));
  addFilesUser(box, "jo", "1601");
  age(box, "/etc/passwd /etc/shadow /etc/group");
  pid_t first = box.startShim(poll);
  std::string published = box.readUntilStdoutClosed(first);  // now waiting for its answer
  RunResult second = box.shim(poll);
  EXPECT_EQ(-8, second.code());
  EXPECT_EQ("Error_takePollLock_handleFilesChange: -8\n", second.err);
  EXPECT_EQ("", second.out);
  EXPECT_EQ(stamp, box.read(box.work("qvnisfiles.stamp")));
  RunResult end = box.finish(first);
  EXPECT_EQ(0, end.status) << end.err;
  EXPECT_EQ("addUser:" + userRecord(box, "jo") + "\n", published);
  EXPECT_EQ("", box.shim(poll, {}, "y").out);
}

TEST(PollIntegrity, APollThatFailsOnAFullDiskLeavesNoScratchFileBehind) {
  Sandbox box;
  // Long shadow lines: the passwd and group snapshots fit, the shadow one
  // does not.
  mustRun(box, "awk 'BEGIN { for (i = 0; i < 400; i++) printf \"big%d:x:%d:100::/:/bin/sh\\n\", i, 20000 + i }' "
               ">> /etc/passwd && awk 'BEGIN { s = sprintf(\"%0900d\", 0); for (i = 0; i < 400; i++) "
               "printf \"big%d:%s:19000:0:99999:7:::\\n\", i, s }' >> /etc/shadow");
  age(box, "/etc/passwd /etc/shadow /etc/group");
  ASSERT_EQ(0, mount("tmpfs", box.workdir().c_str(), "tmpfs", 0, "size=256k"));
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{box.workdir()};
  RunResult r = box.shim({"-n", "files", "-p", ""}, {}, "y");
  EXPECT_NE(0, r.status);
  EXPECT_EQ(".qvnispoll.lock\n", box.sh("ls -A").out) << r.err;
}

}  // namespace
