// The real binary stopped at random moments (SIGKILL or SIGTERM after a
// seeded random delay) while it changes the stores or polls them, and run
// out of disk space: no account file, source file, map or snapshot is ever
// left half-written, no account but the one being changed goes, the
// leftovers never break the next run, and a later clean poll publishes every
// change made on the host. Set KDL2NIS_FAULT_SEED to replay a run.
#include <gtest/gtest.h>

#include <gdbm.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest-spi.h>
#include <optional>
#include <fcntl.h>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/dbm_file.h"
#include "core/event_record.h"
#include "password/token.h"
#include "support/dir_listing.h"
#include "support/token_encryptor.h"
#include <crypt.h>
#include "files_test_support.h"
#include "must_run.h"
#include "nis_sandbox.h"
#include "nisplus_box.h"

namespace {

using Accounts = std::map<std::string, std::string>;  // name -> whole line
using Clock = std::chrono::steady_clock;

unsigned seed() {
  static const unsigned value = [] {
    const char* given = std::getenv("KDL2NIS_FAULT_SEED");
    unsigned s = given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : std::random_device{}();
    std::printf("fault injection: seed %u\n", s);
    return s;
  }();
  return value;
}

// The names in dir that are not in before. Scratch files named from a
// process id ("tmp_123") that a SIGKILL left are not counted when
// pidNamesToo is false: no later run is given that name again.
std::set<std::string> leftovers(const std::string& dir, const std::set<std::string>& before, bool pidNamesToo) {
  static const std::regex pidNamed("[a-z]+_[0-9]+");
  std::set<std::string> extra;
  for (const auto& name : listing(dir))
    if (!before.count(name) && (pidNamesToo || !std::regex_match(name, pidNamed))) extra.insert(name);
  return extra;
}

// Whole lines of n fields each, keyed by name; false for a text that was
// cut or holds a line of another shape.
bool parseAccounts(const std::string& text, std::size_t n, Accounts* out) {
  if (!text.empty() && text.back() != '\n') return false;
  for (const auto& line : splitLines(text)) {
    auto fields = splitFields(line, ':');
    if (fields.size() != n || fields[0].empty() || out->count(fields[0])) return false;
    (*out)[fields[0]] = line;
  }
  return true;
}

// The accounts of a gdbm database (a map or a snapshot), bookkeeping keys
// and overflow references left out; false when it cannot be opened or a
// value is not a whole line of n fields under its own name.
bool parseDbm(const std::string& path, std::size_t n, Accounts* out) {
  GDBM_FILE db = gdbm_open(path.c_str(), 0, GDBM_READER, 0, nullptr);
  if (db == nullptr) return false;
  bool whole = true;
  for (datum key = gdbm_firstkey(db); key.dptr != nullptr;) {
    std::string k(key.dptr, key.dsize);
    datum value = gdbm_fetch(db, key);
    std::string v = value.dptr ? std::string(value.dptr, value.dsize) : "";
    while (!v.empty() && v.back() == '\0') v.pop_back();
    auto fields = splitFields(v, ':');
    if (k.rfind("YP_", 0) != 0 && v.rfind("file://", 0) != 0) {
      if (fields.size() != n || (fields[0] != k && std::to_string(std::atol(k.c_str())) != k)) whole = false;
      (*out)[fields[0]] = v;
    }
    std::free(value.dptr);
    datum next = gdbm_nextkey(db, key);
    std::free(key.dptr);
    key = next;
  }
  gdbm_close(db);
  return whole;
}

// Orphans of a killed shim (a tool it had started) come to this process,
// which waits for them, so that every check sees the files at rest.
struct Reaper {
  Reaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
  ~Reaper() { prctl(PR_SET_CHILD_SUBREAPER, 0); }
  static void settle() {
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
  }
};

// One scenario's random stops and its figures.
struct Injector {
  std::string scenario;
  std::mt19937 rng{seed() + static_cast<unsigned>(std::hash<std::string>{}(scenario))};
  Reaper reaper;
  int runs = 0, kills = 0, lost = 0, damaged = 0;
  int lastSignal = 0;  // that stopped the last run, or 0

  const char* faults = "kills";  // what kills counts: the stops, or the runs that found no space

  explicit Injector(std::string name, const char* counted = "kills") : scenario(std::move(name)), faults(counted) {}

  int pick(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }
  // Runs the shim and stops it after a delay of up to span (when it still
  // runs by then).
  RunResult runKilled(Sandbox& box, const Argv& args, const Env& env, const std::string& input,
                      Clock::duration span) {
    const int sig = pick(2) ? SIGKILL : SIGTERM;
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(span).count();
    const long delay = std::uniform_int_distribution<long>(0, us)(rng);
    pid_t pid = box.startShim(args, env, input);
    usleep(static_cast<useconds_t>(delay));
    siginfo_t info{};
    lastSignal = 0;
    if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0) {
      kill(pid, sig);
      lastSignal = sig;
      ++kills;
    }
    ++runs;
    RunResult r = box.finish(pid);
    reaper.settle();
    return r;
  }
  ~Injector() {
    if (runs > 0)
      std::printf("fault injection: %s: %d runs, %d %s, %d events lost, %d files damaged\n", scenario.c_str(), runs,
                kills, faults, lost, damaged);
  }
};

Clock::duration timed(const std::function<void()>& run) {
  auto start = Clock::now();
  run();
  return Clock::now() - start;
}

// The account files of a store: path and field count.
struct Table {
  std::string path;
  std::size_t fields;
};

// Reads every table, counting the ones that do not parse.
std::map<std::string, Accounts> readTables(Sandbox& box, const std::vector<Table>& tables, int* damaged) {
  std::map<std::string, Accounts> all;
  for (const Table& t : tables) {
    const bool ok = parseAccounts(box.read(t.path), t.fields, &all[t.path]);
    EXPECT_TRUE(ok) << t.path << " half-written:\n" << box.read(t.path);
    *damaged += !ok;
  }
  return all;
}

// After a killed command: every account but the one it changed is still
// there as it was, and nothing else came; passwd and shadow name the same
// users.
void expectOthersKept(const std::map<std::string, Accounts>& before, const std::map<std::string, Accounts>& after,
                      const std::string& changed, Injector& in) {
  for (const auto& [path, accounts] : before) {
    const Accounts& now = after.at(path);
    bool fileOk = true;
    for (const auto& [name, line] : accounts) {
      if (name == changed) continue;
      auto it = now.find(name);
      in.lost += it == now.end();
      fileOk = fileOk && it != now.end() && it->second == line;
    }
    for (const auto& [name, line] : now) fileOk = fileOk && (name == changed || accounts.count(name));
    EXPECT_TRUE(fileOk) << path << " changed beyond " << changed;
    in.damaged += !fileOk;
  }
  auto names = [&](const std::string& suffix) {
    std::set<std::string> n;
    for (const auto& [path, accounts] : after)
      if (path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
        for (const auto& [name, line] : accounts) n.insert(name);
    return n;
  };
  EXPECT_EQ(names("/passwd"), names("/shadow")) << "after a stop while changing " << changed;
}

// A subscriber store under random stops: password events on existing and
// new accounts, each stopped, then a clean password event that must work.
struct SubscriberStore {
  Sandbox& box;
  std::vector<Table> tables;
  std::string shadow;
  Argv (*args)(const std::string& event);
  std::string (*addEvent)(const std::string& name, int uid);
  std::function<void(Injector&)> checkAfterClean;  // e.g. the maps against the sources
};

std::string passwordOf(const Accounts& shadow, const std::string& name) {
  auto it = shadow.find(name);
  return it == shadow.end() ? "" : splitFields(it->second, ':')[1];
}

void killSubscriberEvents(SubscriberStore& store, Injector& in, int rounds) {
  Sandbox& box = store.box;
  std::vector<std::string> users;
  int next = 0;
  auto addClean = [&] {
    const std::string name = "fz" + std::to_string(next);
    RunResult r = box.shim(store.args(store.addEvent(name, 3000 + next++)), {{"encrypted", "h0"}});
    ASSERT_EQ(0, r.status) << r.err;
    users.push_back(name);
  };
  for (int i = 0; i < 4; ++i) addClean();
  int ignored = 0;
  const auto span = timed([&] { addClean(); }) * 3 / 2;
  for (int round = 0; round < rounds; ++round) {
    const std::set<std::string> etcBefore = listing("/etc"), workBefore = listing(box.workdir());
    auto before = readTables(box, store.tables, &ignored);
    const bool add = in.pick(3) == 0;
    const std::string name = add ? "fz" + std::to_string(next) : users[in.pick(static_cast<int>(users.size()))];
    const std::string event = add ? store.addEvent(name, 3000 + next++)
                                  : userEvent("modifyUser", name, {{kGecos, "G" + std::to_string(round)}});
    const std::string hash = "k" + std::to_string(round);
    in.runKilled(box, store.args(event), {{"encrypted", hash}}, "", span);
    auto after = readTables(box, store.tables, &in.damaged);
    expectOthersKept(before, after, name, in);
    const std::string stored = passwordOf(after.at(store.shadow), name);
    EXPECT_TRUE(stored == hash || stored == passwordOf(before.at(store.shadow), name) || (add && stored == "!"))
        << name << ": " << stored;
    if (add && after.at(store.shadow).count(name)) users.push_back(name);

    // The next run, on any account, must work whatever the stop left.
    const std::string target = users[in.pick(static_cast<int>(users.size()))], fresh = "c" + std::to_string(round);
    RunResult r = box.shim(store.args(userEvent("modifyUser", target, {})), {{"encrypted", fresh}});
    ASSERT_EQ(0, r.status) << "after a stop in " << event << ": " << r.err;
    EXPECT_EQ(fresh, passwordOf(readTables(box, store.tables, &in.damaged).at(store.shadow), target));
    const bool term = in.lastSignal != SIGKILL;
    EXPECT_EQ(std::set<std::string>{}, leftovers("/etc", etcBefore, term)) << event << " " << in.lastSignal;
    EXPECT_EQ(std::set<std::string>{}, leftovers(box.workdir(), workBefore, term)) << event << " " << in.lastSignal;
    if (store.checkAfterClean) store.checkAfterClean(in);
  }
}

TEST(FaultInjection, FilesPasswordEventsStoppedAtRandom) {
  Injector in{"files password events"};
  Sandbox box;
  box.privateCopy("/var/log");
  box.privateCopy("/var/mail");
  SubscriberStore store{box,
                        {{"/etc/passwd", 7}, {"/etc/shadow", 9}, {"/etc/group", 4}, {"/etc/gshadow", 4}},
                        "/etc/shadow",
                        [](const std::string& event) { return Argv{"-n", "files", "-p", event}; },
                        [](const std::string& name, int uid) {
                          return "addUser:" + name + "::" + std::to_string(uid) + "::N:/home/" + name +
                                 ":/bin/sh::::::::";
                        },
                        {}};
  killSubscriberEvents(store, in, 80);
}

// The NIS maps hold exactly the source accounts the Makefile puts in them.
void expectMapsMatchSources(NisSandbox& nis, Injector& in) {
  struct Pair {
    const char* map;
    const char* source;
    std::size_t fields;
  };
  Accounts passwd;
  parseAccounts(nis.box.read(nis.src + "/passwd"), 7, &passwd);
  for (const Pair& p : {Pair{"passwd.byname", "passwd", 7}, Pair{"shadow.byname", "shadow", 9},
                        Pair{"group.byname", "group", 4}}) {
    Accounts map, source, expected;
    const bool whole = parseDbm(nis.maps + "/" + p.map, p.fields, &map);
    parseAccounts(nis.box.read(nis.src + "/" + p.source), p.fields, &source);
    for (const auto& [name, line] : source) {
      const std::string& idLine = std::string(p.source) == "shadow" ? passwd[name] : line;
      if (!idLine.empty() && std::atol(splitFields(idLine, ':')[2].c_str()) >= 1000) expected[name] = line;
    }
    EXPECT_TRUE(whole) << p.map;
    EXPECT_EQ(expected, map) << p.map;
    in.damaged += !whole || expected != map;
  }
}

TEST(FaultInjection, NisEditsStoppedAtRandom) {
  Injector in{"nis edits"};
  NisSandbox nis;
  SubscriberStore store{nis.box,
                        {{nis.src + "/passwd", 7}, {nis.src + "/shadow", 9}, {nis.src + "/group", 4}},
                        nis.src + "/shadow",
                        [](const std::string& event) {
                          return Argv{"-n", "nis", "-d", "/var/yp/kdl.test", "-y", "/var/yp/ypfiles", "-p", event};
                        },
                        [](const std::string& name, int uid) {
                          const std::string id = std::to_string(uid);
                          return "addUser:" + name + "::" + id + ":" + id + ":N:/home/" + name + ":/bin/sh:x:::::::";
                        },
                        [&](Injector& i) { expectMapsMatchSources(nis, i); }};
  killSubscriberEvents(store, in, 40);
}

// A store that a poll reads, changed on the host between polls: accounts
// added, renamed in their comment, deleted. The engine's view is what the
// polls printed, applied in order; after each clean poll it must be the
// store itself. A stopped poll's events count as taken when it read the
// engine's answer, as its commit (done, or left to the next poll) shows;
// before that, the next poll publishes them again.
struct PolledStore {
  Sandbox& box;
  std::string passwd, shadow;
  std::string rebuild;  // after an edit, e.g. the maps
  std::string aged;     // the files whose times the poll compares
  Argv poll;
  std::string stamp, intent;  // the poll's stamp and commit plan
  std::vector<std::string> snapshots;  // committed snapshots, passwd, shadow, group
  std::map<std::string, std::string> view = {};  // user -> comment, as published
  int next = 0;
  std::string history = {};  // the edits and the polls' outputs, for a failure's message

  void apply(const std::string& out, int signal = 0) {
    history += "poll (signal " + std::to_string(signal) + "):\n" + out;
    for (const auto& line : splitLines(out.substr(0, out.rfind('\n') + 1))) {
      auto f = splitFields(line, ':');
      if (f.size() < 2 || f[1].rfind("fz", 0) != 0) continue;
      if (f[0] == "deleteUser") view.erase(f[1]);
      if (f[0] == "addUser" && f.size() > 5) view[f[1]] = f[5];
      if (f[0] == "modifyUser" && f.size() > 5 && !f[5].empty()) view[f[1]] = f[5];
    }
  }
  std::map<std::string, std::string> actual() const {
    std::map<std::string, std::string> users;
    for (const auto& line : box.lines(passwd)) {
      auto f = splitFields(line, ':');
      if (f.size() == 7 && f[0].rfind("fz", 0) == 0) users[f[0]] = f[4];
    }
    return users;
  }
  void change(int how, int which = 0) {
    auto users = actual();
    std::string edit;
    if (how < 2 || users.size() < 3) {
      const std::string name = "fz" + std::to_string(next), id = std::to_string(4000 + next);
      ++next;
      edit = "echo '" + name + ":x:" + id + ":" + id + ":A" + id + ":/home/" + name + ":/bin/sh' >> " + passwd +
             " && echo '" + name + ":h" + id + ":19000:0:99999:7:::' >> " + shadow;
    } else {
      auto it = std::next(users.begin(), which % static_cast<int>(users.size()));
      edit = how == 2 ? "sed -i '/^" + it->first + ":/d' " + passwd + " " + shadow
                     : "sed -i 's/^\\(" + it->first + ":[^:]*:[^:]*:[^:]*:\\)[^:]*/\\1M" + std::to_string(next++) +
                           "/' " + passwd;
    }
    history += edit.substr(0, 60) + "\n";
    mustRun(box, edit + " && " + rebuild);
    age(box, aged, 20000);
  }
  // Applies the output of a poll that may have failed or been stopped, when
  // it read the answer.
  void applyIfAnswered(const std::string& out, const std::string& stampBefore, int signal) {
    if (stampBefore != box.read(box.work(stamp)) || box.exists(box.work(intent)))
      apply(out, signal);
    else
      history += "poll (signal " + std::to_string(signal) + ", no answer read):\n" + out;
  }
  RunResult cleanPoll(Injector& in) {
    RunResult r = box.shim(poll, {}, "y");
    EXPECT_EQ(0, r.status) << r.err;
    apply(r.out);
    const auto now = actual();
    for (const auto& [name, comment] : now) in.lost += !view.count(name) || view.at(name) != comment;
    for (const auto& [name, comment] : view) in.lost += !now.count(name);
    EXPECT_EQ(now, view) << history;
    history.clear();
    return r;
  }
  void expectSnapshotsWhole(Injector& in) {
    const std::size_t fields[] = {7, 9, 4};
    for (std::size_t i = 0; i < snapshots.size(); ++i) {
      Accounts ignored;
      const std::string path = box.work(snapshots[i]);
      const bool ok = !box.exists(path) || parseDbm(path, fields[i], &ignored);
      EXPECT_TRUE(ok) << path;
      in.damaged += !ok;
    }
  }
};

void killPolls(PolledStore& store, Injector& in, int rounds) {
  store.change(0);
  store.cleanPoll(in);
  const std::set<std::string> workBefore = listing(store.box.workdir());
  store.change(0);
  const auto span = timed([&] { store.cleanPoll(in); }) * 3 / 2;
  for (int round = 0; round < rounds; ++round) {
    store.change(in.pick(6), in.pick(1000));
    const std::string stamp = store.box.read(store.box.work(store.stamp));
    const std::string out = in.runKilled(store.box, store.poll, {}, "y", span).out;
    store.applyIfAnswered(out, stamp, in.lastSignal);
    store.expectSnapshotsWhole(in);
    if (round % 3 == 2) {
      store.cleanPoll(in);
      EXPECT_EQ(std::set<std::string>{}, leftovers(store.box.workdir(), workBefore, true));
    }
  }
  store.cleanPoll(in);
}

PolledStore filesStore(Sandbox& box) {
  return {box, "/etc/passwd", "/etc/shadow", "true", "/etc/passwd /etc/shadow /etc/group",
          {"-n", "files", "-p", ""}, "qvnisfiles.stamp", "qvnisfiles.commit", {"passwd.log", "shadow.log", "group.log"}};
}

PolledStore nisStore(NisSandbox& nis) {
  return {nis.box, nis.src + "/passwd", nis.src + "/shadow",
          "cd " + nis.maps + " && make -f /var/yp/Makefile passwd >/dev/null 2>&1",
          nis.maps + "/passwd.byname " + nis.maps + "/shadow.byname " + nis.maps + "/group.byname",
          {"-n", "nis", "-d", nis.maps, "-p", ""}, "qvnisyp.stamp", "qvnisyp.commit",
          {"passwd.byname.log", "shadow.byname.log", "group.byname.log"}};
}

TEST(FaultInjection, FilesPollsStoppedAtRandom) {
  Injector in{"files polls"};
  Sandbox box;
  PolledStore store = filesStore(box);
  killPolls(store, in, 100);
}

TEST(FaultInjection, NisPollsStoppedAtRandom) {
  Injector in{"nis polls"};
  NisSandbox nis;
  PolledStore store = nisStore(nis);
  killPolls(store, in, 60);
}

// A tmpfs mounted over a directory of the sandbox for a scope, and a filler
// file in it that leaves only so many bytes free.
struct SmallDisk {
  std::string at, filler;
  // staging: an empty directory of the sandbox to build it in.
  SmallDisk(const std::string& dir, const std::string& staging, const std::string& size,
            const std::string& copyFrom = "")
      : at(dir) {
    EXPECT_EQ(0, system(("mkdir -p '" + staging + "'").c_str()));
    EXPECT_EQ(0, mount("tmpfs", staging.c_str(), "tmpfs", 0, ("size=" + size).c_str()));
    if (!copyFrom.empty()) {
      EXPECT_EQ(0, system(("cp -a '" + copyFrom + "/.' '" + staging + "/'").c_str()));
    }
    EXPECT_EQ(0, mount(staging.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr));
    umount2(staging.c_str(), MNT_DETACH);
    filler = dir + "/.filler";
  }
  ~SmallDisk() { umount2(at.c_str(), MNT_DETACH); }
  void leaveFree(long bytes) {
    unlink(filler.c_str());
    struct statvfs fs;
    ASSERT_EQ(0, statvfs(at.c_str(), &fs));
    const long room = static_cast<long>(fs.f_bavail * fs.f_frsize) - bytes;
    int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    if (room > 0) {
      EXPECT_EQ(0, posix_fallocate(fd, 0, room));
    }
    close(fd);
  }
  void makeRoom() { unlink(filler.c_str()); }
};

// A run that failed for want of space: a negative code and one trace line,
// the last on standard error (the tools' own complaints come before it).
void expectCleanFailure(const RunResult& r, const std::string& what) {
  EXPECT_EQ(0, r.signal) << what;
  EXPECT_LT(r.code(), 0) << what;
  const auto lines = splitLines(r.err);
  EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.find("Error") == 0; }))
      << what << ": " << r.err;
  EXPECT_TRUE(!lines.empty() && std::regex_match(lines.back(), std::regex("Error(_[A-Za-z]+)+: -[0-9]+")))
      << what << ": " << r.err;
}

std::string contents(Sandbox& box, const std::vector<std::string>& paths) {
  std::string all;
  for (const auto& p : paths) all += p + "\n" + box.read(p) + "\n";
  return all;
}

TEST(FaultInjection, PollsOnAFullWorkingDirectory) {
  Injector in{"full working directory during polls", "failed for space"};
  NisSandbox nis;
  std::vector<PolledStore> stores{filesStore(nis.box), nisStore(nis)};
  SmallDisk disk(nis.box.workdir(), nis.box.root() + "/workfs", "2m");
  for (auto& store : stores) {
    for (int i = 0; i < 15; ++i) store.change(0);
    store.cleanPoll(in);
  }
  // Free space from none to more than a poll needs, in pages.
  for (long pages = 0; pages <= 48; pages += 1 + pages / 2) {
    for (auto& store : stores) {
      for (int i = 0; i < 3; ++i) store.change(in.pick(6), in.pick(1000));
      std::vector<std::string> kept;
      for (const auto& snapshot : store.snapshots) kept.push_back(store.box.work(snapshot));
      for (const char* stamp : {"qvnisfiles.stamp", "qvnisyp.stamp"})
        if (store.box.exists(store.box.work(stamp))) kept.push_back(store.box.work(stamp));
      const std::string before = contents(store.box, kept), stamp = store.box.read(store.box.work(store.stamp));
      disk.leaveFree(pages * 4096);
      ++in.runs;
      RunResult r = store.box.shim(store.poll, {}, "y");
      disk.makeRoom();
      if (r.status != 0) {
        ++in.kills;
        expectCleanFailure(r, "poll with " + std::to_string(pages) + " pages free");
        const bool intact = before == contents(store.box, kept);
        EXPECT_TRUE(intact) << pages << " pages free";
        in.damaged += !intact;
      }
      store.applyIfAnswered(r.out, stamp, 0);
      store.cleanPoll(in);
    }
  }
}

TEST(FaultInjection, PasswordRewriteOnAFullEtc) {
  Injector in{"full /etc during password rewrites", "failed for space"};
  Sandbox box;
  box.privateCopy("/var/log");
  box.privateCopy("/var/mail");
  for (int i = 0; i < 8; ++i)
    ASSERT_EQ(0, box.shim({"-n", "files", "-p", "addUser:fz" + std::to_string(i) + "::" + std::to_string(3000 + i) +
                                                   "::N:/home/fz:/bin/sh::::::::"},
                          {{"encrypted", "h0"}})
                     .status);
  SmallDisk disk("/etc", box.root() + "/etcfs", "4m", "/etc");
  const std::vector<std::string> files{"/etc/passwd", "/etc/shadow", "/etc/group", "/etc/gshadow"};
  disk.leaveFree(0);
  disk.makeRoom();
  const std::set<std::string> etcBefore = listing("/etc");
  for (long pages = 0; pages <= 3; ++pages) {
    for (int repeat = 0; repeat < 3; ++repeat) {
      const std::string name = "fz" + std::to_string(in.pick(8)), hash = "p" + std::to_string(pages * 10 + repeat);
      const Argv args{"-n", "files", "-p", userEvent("modifyUser", name, {})};
      const std::string before = contents(box, files);
      disk.leaveFree(pages * 4096);
      ++in.runs;
      RunResult r = box.shim(args, {{"encrypted", hash}});
      disk.makeRoom();
      if (r.status != 0) {
        ++in.kills;
        expectCleanFailure(r, name + " with " + std::to_string(pages) + " pages free");
        const bool intact = before == contents(box, files);
        EXPECT_TRUE(intact) << pages << " pages free";
        in.damaged += !intact;
        r = box.shim(args, {{"encrypted", hash}});
        EXPECT_EQ(0, r.status) << r.err;
      }
      Accounts shadow;
      EXPECT_TRUE(parseAccounts(box.read("/etc/shadow"), 9, &shadow));
      EXPECT_EQ(hash, passwordOf(shadow, name));
      EXPECT_EQ(std::set<std::string>{}, leftovers("/etc", etcBefore, true));
    }
  }
}


// Every call of the shim's own process, of each class, failed in turn (the
// host's tools it starts are not faulted): EIO everywhere, ENOSPC on writes
// and syncs, EACCES on opens, and SIGKILL at every call that changes a file.
// KDL2NIS_INJECT_STRIDE=N (scripts/fault-injection.sh) takes every N-th
// sampled call; without it the scenarios are skipped.

const std::vector<std::string> kFaultedCalls = {
    "openat", "read",   "write",     "fsync", "fdatasync", "rename", "renameat", "renameat2", "unlink",
    "unlinkat", "ftruncate", "fcntl", "close", "mkdir",    "mkdirat", "clone",   "clone3",    "wait4", "waitid"};
const std::set<std::string> kMutatingCalls = {"write",  "fsync",    "fdatasync", "rename", "renameat",
                                              "renameat2", "unlink", "unlinkat", "ftruncate", "mkdir", "mkdirat"};
constexpr int kCallsPerClass = 60;

struct Fault {
  std::string call, action;  // e.g. "read", "error=EIO"
  int when;                  // counted from the process start, the loader's calls included
  std::string text() const { return call + ":" + action + ":when=" + std::to_string(when); }
  bool kill() const { return action == "signal=KILL"; }
};

int injectStride() {
  const char* given = std::getenv("KDL2NIS_INJECT_STRIDE");
  return given ? std::max(1, std::atoi(given)) : 5;
}

// KDL2NIS_INJECT_CALL=<call> keeps the faults of that one call, to replay
// a violation without the rest of its scenario.
bool injectCall(const std::string& call) {
  const char* only = std::getenv("KDL2NIS_INJECT_CALL");
  return only == nullptr || call == only;
}

// The calls of a clean run, each after the dynamic loader's own (which end
// where the C library sets up the main thread).
struct CallCounts {
  std::map<std::string, int> loader, shim;
};

// The faults for the shim's calls counted in a clean run: at most
// kCallsPerClass calls per class, spread evenly, every stride-th of those.
std::vector<Fault> faultsFor(const CallCounts& counts) {
  std::vector<Fault> faults;
  int taken = 0;
  for (const auto& [call, n] : counts.shim) {
    const int skip = counts.loader.count(call) ? counts.loader.at(call) : 0;
    std::vector<std::string> actions{"error=EIO"};
    if (call == "write" || call == "fsync" || call == "fdatasync") actions.push_back("error=ENOSPC");
    if (call == "openat") actions.push_back("error=EACCES");
    if (kMutatingCalls.count(call)) actions.push_back("signal=KILL");
    const int points = std::min(n, kCallsPerClass);
    for (const auto& action : actions)
      for (int i = 1; i <= points; ++i)
        if (taken++ % injectStride() == 0 && injectCall(call))
          faults.push_back({call, action, skip + static_cast<int>(1 + (long(i - 1) * n) / points)});
  }
  return faults;
}

// A user record as the engine holds it: passwd fields then the shadow's
// fields after the name, 15 in all; a group's 4 fields.
using Records = std::map<std::string, std::vector<std::string>>;

void mergeInto(std::vector<std::string>& held, const std::vector<std::string>& change) {
  for (std::size_t i = 1; i < held.size() && i < change.size(); ++i)
    if (!change[i].empty()) held[i] = change[i] == "*" ? "" : change[i];
}

// The engine's view of the store, from the lines it was given: every whole
// line a run printed counts, as the engine reads it whether or not the run
// then fails.
struct EngineView {
  Records users, groups;
  // A pending password's token -> the hash the store holds for it. A line
  // carries the token in the passwd field; the store keeps the hash in the
  // shadow field.
  std::map<std::string, std::string> hashOf = {};
  void apply(const std::string& out) {
    for (const auto& line : splitLines(out.substr(0, out.rfind('\n') + 1))) {
      auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      const std::string command = line.substr(0, colon);
      auto f = splitFields(line.substr(colon + 1), ':');
      const bool user = command.find("User") != std::string::npos;
      Records& held = user ? users : groups;
      f.resize(user ? 15 : 4);
      for (auto& value : f)
        if (user && hashOf.count(value)) {
          f[7] = hashOf.at(value);
          value.clear();
        }
      if (command.rfind("add", 0) == 0) held[f[0]] = f;
      if (command.rfind("delete", 0) == 0) held.erase(f[0]);
      if (command.rfind("modify", 0) == 0 && command != "modifyPassword") {
        if (!held.count(f[0])) held[f[0]] = std::vector<std::string>(f.size());
        held[f[0]][0] = f[0];
        mergeInto(held[f[0]], f);
      }
    }
  }
};

// The store as a poll reads it, from its account files or maps.
struct PolledTables {
  std::string passwd, shadow, group;
  bool maps;  // gdbm maps rather than text files
  std::function<bool(const std::string&, std::size_t, Accounts*)> reader() const {
    if (maps) return [](const std::string& p, std::size_t n, Accounts* a) { return parseDbm(p, n, a); };
    return [](const std::string& p, std::size_t n, Accounts* a) { return parseAccounts(readText(p), n, a); };
  }
  EngineView store() const {
    Accounts p, s, g;
    auto read = reader();
    read(passwd, 7, &p);
    read(shadow, 9, &s);
    read(group, 4, &g);
    EngineView v;
    for (const auto& [name, line] : p) {
      auto fields = splitFields(line, ':');
      auto sh = s.count(name) ? splitFields(s.at(name), ':') : std::vector<std::string>(9);
      fields.insert(fields.end(), sh.begin() + 1, sh.end());
      v.users[name] = fields;
    }
    for (const auto& [name, line] : g) v.groups[name] = splitFields(line, ':');
    return v;
  }
};

// One scenario: a command run against a store prepared once and put back
// before every injected run.
struct FaultScenario {
  std::string name;
  Sandbox& box;
  Argv args;
  Env env;
  std::string input;                 // the engine's answer, for a poll
  std::vector<std::string> dirs;     // put back before each run, watched for leftovers
  std::vector<Table> tables;         // the account files and their field counts
  std::string changed;               // the one account it may change; "" for a poll
  std::function<bool()> done;        // the change is fully made (events)
  std::optional<PolledTables> polled;  // what a poll reads (polls)
  EngineView view{};                 // the engine's view before the run (polls)
  std::string cleanOut = {};         // what a clean run prints (a log poll: each line must reach the engine)
  std::function<void(Injector&)> afterRetry = {};  // e.g. the maps against the sources
};

// The scenario's directories as they were, by a copy kept aside.
struct SavedState {
  Sandbox& box;
  std::vector<std::string> dirs;
  std::string aside;
  SavedState(Sandbox& b, std::vector<std::string> d) : box(b), dirs(std::move(d)), aside(b.root() + "/aside") {
    std::string command = "rm -rf " + aside + " && mkdir -p " + aside + " && touch " + aside + "/.marker";
    for (std::size_t i = 0; i < dirs.size(); ++i)
      command += " && mkdir " + aside + "/" + std::to_string(i) + " && cp -a " + dirs[i] + "/. " + aside + "/" +
                 std::to_string(i) + "/";
    mustRun(box, command);
  }
  // Only what changed since it was set aside (by its change time, which
  // no tool can set back) goes, and what is then missing comes back.
  void restore() {
    std::string command = "true";
    for (std::size_t i = 0; i < dirs.size(); ++i)
      command += " && find " + dirs[i] + " -mindepth 1 -cnewer " + aside + "/.marker -prune -exec rm -rf {} + && cp -an " +
                 aside + "/" + std::to_string(i) + "/. " + dirs[i] + "/";
    mustRun(box, command);
  }
};

CallCounts countCalls(FaultScenario& sc) {
  const std::string log = sc.box.root() + "/calls.strace";
  Argv argv{"/usr/bin/strace", "-o", log, "-e", "trace=set_robust_list," + [] {
              std::string all;
              for (const auto& c : kFaultedCalls) all += (all.empty() ? "" : ",") + c;
              return all;
            }(), shimBinary()};
  argv.insert(argv.end(), sc.args.begin(), sc.args.end());
  RunResult r = sc.box.finish(sc.box.start(argv, sc.env, sc.input));
  EXPECT_EQ(0, r.status) << sc.name << " without faults: " << r.err;
  sc.cleanOut = r.out;
  CallCounts counts;
  bool started = false;
  for (const auto& line : sc.box.lines(log)) {
    const std::string call = line.substr(0, line.find('('));
    started = started || call == "set_robust_list";
    if (std::find(kFaultedCalls.begin(), kFaultedCalls.end(), call) != kFaultedCalls.end())
      ++(started ? counts.shim : counts.loader)[call];
  }
  return counts;
}

// Runs the shim under the fault; a run still going after a minute hangs.
RunResult injected(FaultScenario& sc, const Fault& fault, bool* hung) {
  Argv argv{"/usr/bin/strace", "-o", "/dev/null", "-e", "trace=" + fault.call, "-e", "inject=" + fault.text(),
            shimBinary()};
  argv.insert(argv.end(), sc.args.begin(), sc.args.end());
  pid_t pid = sc.box.start(argv, sc.env, sc.input);
  siginfo_t info{};
  *hung = true;
  for (int i = 0; i < 6000 && *hung; ++i) {
    info.si_pid = 0;
    *hung = !(waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid);
    if (*hung) usleep(10000);
  }
  if (*hung) kill(pid, SIGKILL);
  return sc.box.finish(pid);
}

bool oneTraceLine(const RunResult& r) {
  const auto lines = splitLines(r.err);
  return r.code() < 0 &&
         std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("Error", 0) == 0; }) == 1 &&
         // A failed store of a password change is reported bare, as "Error: -1".
         std::regex_match(lines.back(), std::regex("Error(_[A-Za-z0-9]+)*: -[0-9]+"));
}

// Snapshots and stamps left in the working directory open whole and hold
// something.
bool stateWhole(Sandbox& box) {
  for (const auto& name : listing(box.workdir())) {
    const std::string path = box.work(name);
    // The "qv" files are stamps, plans and the NIS+ poll's text copy of the
    // log, which a stopped poll may leave for the next one to replace.
    const bool snapshot = name.find(".log") != std::string::npos && name.find(".tmp") == std::string::npos &&
                          name.rfind("qv", 0) != 0;
    const bool stamp = name.size() > 6 && name.compare(name.size() - 6, 6, ".stamp") == 0;
    if (stamp && box.read(path).empty()) return false;
    if (snapshot) {
      Accounts ignored;
      GDBM_FILE db = gdbm_open(path.c_str(), 0, GDBM_READER, 0, nullptr);
      if (db == nullptr) return false;
      gdbm_count_t n = 0;
      const bool counted = gdbm_count(db, &n) == 0;
      gdbm_close(db);
      if (!counted || n == 0) return false;
    }
  }
  return true;
}

// Figures of one scenario: injections and violations per invariant.
struct Figures {
  std::string scenario;
  int injections = 0;
  int broken[7] = {};
  std::vector<std::string> notes;
  void violated(int invariant, const Fault& f, const std::string& what) {
    ++broken[invariant];
    if (notes.size() < 40) notes.push_back("invariant " + std::to_string(invariant) + " at " + f.text() + ": " + what);
  }
  ~Figures() {
    std::printf("syscall faults: %s: %d injections; violations 1-6: %d %d %d %d %d %d\n", scenario.c_str(), injections,
                broken[1], broken[2], broken[3], broken[4], broken[5], broken[6]);
    for (const auto& n : notes) std::printf("  %s\n", n.c_str());
  }
};

// The first failure a shared check reports, taken as a figure instead of
// failing the test on its own.
std::string failuresOf(const std::function<void()>& check) {
  ::testing::TestPartResultArray failures;
  {
    ::testing::ScopedFakeTestPartResultReporter capture(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
    check();
  }
  return failures.size() > 0 ? std::string(failures.GetTestPartResult(0).message()).substr(0, 300) : "";
}

void checkTables(FaultScenario& sc, const std::map<std::string, Accounts>& before, const Fault& f, Figures& fig) {
  Injector quiet{sc.name};
  int damaged = 0;
  std::map<std::string, Accounts> after;
  for (const Table& t : sc.tables) damaged += !parseAccounts(sc.box.read(t.path), t.fields, &after[t.path]);
  if (damaged || !stateWhole(sc.box)) fig.violated(3, f, "a file or snapshot is half-written or empty");
  if (damaged) return;
  const std::string failed = failuresOf([&] { expectOthersKept(before, after, sc.changed, quiet); });
  if (!failed.empty()) fig.violated(quiet.damaged ? 4 : 3, f, failed);
}

// After a poll: clean polls, each answered, until one prints nothing; the
// engine's view is then the store.
bool pollsSettle(FaultScenario& sc, EngineView& view, std::string* why, std::string* printed) {
  for (int i = 0; i < 5; ++i) {
    RunResult r = sc.box.shim(sc.args, sc.env, sc.input);
    view.apply(r.out);
    *printed += r.out;
    if (r.status != 0) {
      *why = "clean poll failed: " + r.err;
      return false;
    }
    if (r.out.empty()) break;
  }
  const EngineView now = sc.polled->store();
  if (now.users == view.users && now.groups == view.groups) return true;
  for (const auto& [name, rec] : now.users)
    if (!view.users.count(name) || view.users.at(name) != rec) *why += "user " + name + " differs; ";
  for (const auto& [name, rec] : view.users)
    if (!now.users.count(name)) *why += "user " + name + " kept; ";
  for (const auto& [name, rec] : now.groups)
    if (!view.groups.count(name) || view.groups.at(name) != rec) *why += "group " + name + " differs; ";
  for (const auto& [name, rec] : view.groups)
    if (!now.groups.count(name)) *why += "group " + name + " kept; ";
  return false;
}

void injectEveryCall(FaultScenario& sc) {
  Figures fig{sc.name};
  Reaper reaper;
  SavedState saved(sc.box, sc.dirs);
  const auto counts = countCalls(sc);
  std::string counted;
  for (const auto& [call, n] : counts.shim) counted += " " + call + "=" + std::to_string(n);
  std::printf("syscall faults: %s: calls of a clean run:%s\n", sc.name.c_str(), counted.c_str());
  // What a clean run and its retry leave: anything more is a leftover.
  std::set<std::string> expected[8];
  for (std::size_t i = 0; i < sc.dirs.size(); ++i) expected[i] = listing(sc.dirs[i]);
  for (const Fault& fault : faultsFor(counts)) {
    saved.restore();
    std::map<std::string, Accounts> tablesBefore;
    for (const Table& t : sc.tables) parseAccounts(sc.box.read(t.path), t.fields, &tablesBefore[t.path]);
    std::set<std::string> present[8];
    for (std::size_t i = 0; i < sc.dirs.size(); ++i) present[i] = listing(sc.dirs[i]);
    ++fig.injections;
    bool hung = false;
    RunResult r = injected(sc, fault, &hung);
    Reaper::settle();
    if (hung || (r.signal != 0 && !(fault.kill() && r.signal == SIGKILL)))
      fig.violated(1, fault, hung ? "hung" : "signal " + std::to_string(r.signal));
    if (r.signal == 0 && r.status != 0 && !oneTraceLine(r)) fig.violated(2, fault, "no single trace line: " + r.err);
    if (r.status == 0 && sc.done && !sc.done()) fig.violated(2, fault, "exit 0 with the change not made");
    checkTables(sc, tablesBefore, fault, fig);
    std::string why, printed = r.out;
    if (sc.polled) {
      EngineView view = sc.view;
      view.apply(r.out);
      if (!pollsSettle(sc, view, &why, &printed)) fig.violated(5, fault, why);
    } else if (!sc.done) {
      for (int i = 0; i < 5; ++i) {
        RunResult clean = sc.box.shim(sc.args, sc.env, sc.input);
        printed += clean.out;
        if (clean.status != 0 || clean.out.empty()) break;
      }
    }
    if (!sc.done) {
      // A log poll's every line, and any poll's password changes, reach the
      // engine: the view of the records cannot tell a lost one.
      for (const auto& line : splitLines(sc.cleanOut))
        if ((!sc.polled || line.rfind("modifyPassword:", 0) == 0) && printed.find(line + "\n") == std::string::npos)
          fig.violated(5, fault, "never published: " + line);
    } else {
      RunResult retry = sc.box.shim(sc.args, sc.env, sc.input);
      if (!sc.done()) fig.violated(5, fault, "the retry (" + std::to_string(retry.code()) + ") left it undone: " + retry.err);
    }
    if (sc.afterRetry) {
      Injector quiet{sc.name};
      const std::string failed = failuresOf([&] { sc.afterRetry(quiet); });
      if (!failed.empty()) fig.violated(3, fault, "after the next run: " + failed);
    }
    for (std::size_t i = 0; i < sc.dirs.size(); ++i)
      for (const auto& name : listing(sc.dirs[i]))
        if (!expected[i].count(name) && !present[i].count(name))
          fig.violated(6, fault, "left " + sc.dirs[i] + "/" + name);
  }
  int total = 0;
  for (int i = 1; i <= 6; ++i) total += fig.broken[i];
  EXPECT_EQ(0, total) << sc.name << ": " << fig.injections << " injections";
}


const std::string kStateDir = "/usr/lib/corvex/rules/kdl2nis";

std::string field(Sandbox& box, const std::string& path, const std::string& name, int i) {
  auto f = splitFields(box.entry(path, name), ':');
  return static_cast<int>(f.size()) > i ? f[i] : "\x01";
}

std::string filesAdd(const std::string& name, int uid) {
  return "addUser:" + name + "::" + std::to_string(uid) + "::N:/home/" + name + ":/bin/sh::::::::";
}

// Builds the store and the scenario for one named case, in box.
FaultScenario filesEvent(Sandbox& box, const std::string& which) {
  box.privateCopy("/var/log");
  box.privateCopy("/var/mail");
  const Argv files{"-n", "files", "-p"};
  mustRun(box, "true");
  EXPECT_EQ(0, box.shim({"-n", "files", "-p", filesAdd("fz0", 3100)}, {{"encrypted", "h0"}}).status);
  EXPECT_EQ(0, box.shim({"-n", "files", "-p", filesAdd("fz1", 3101)}, {{"encrypted", "h1"}}).status);
  FaultScenario sc{which, box, {}, {}, "", {"/etc", "/home", box.workdir(), kStateDir},
                   {{"/etc/passwd", 7}, {"/etc/shadow", 9}, {"/etc/group", 4}, {"/etc/gshadow", 4}}, "", {}, {}};
  auto argsOf = [&](const std::string& event) {
    Argv a = files;
    a.push_back(event);
    return a;
  };
  if (which == "files addUser encrypted") {
    sc.args = argsOf(filesAdd("fz9", 3109));
    sc.env = {{"encrypted", "h9"}};
    sc.changed = "fz9";
    sc.done = [&box] { return field(box, "/etc/passwd", "fz9", 2) == "3109" && field(box, "/etc/shadow", "fz9", 1) == "h9"; };
  } else if (which == "files addUser cleartext") {
    sc.args = argsOf(filesAdd("fz9", 3109));
    sc.env = {{"cleartext", "secret9"}};
    sc.changed = "fz9";
    sc.done = [&box] {
      const std::string hash = field(box, "/etc/shadow", "fz9", 1);
      return field(box, "/etc/passwd", "fz9", 2) == "3109" && hash.size() > 10 && hash[0] != '!';
    };
  } else if (which == "files modifyUser") {
    sc.args = argsOf(userEvent("modifyUser", "fz0", {{kGecos, "Changed"}}));
    sc.env = {{"encrypted", "h7"}};
    sc.changed = "fz0";
    sc.done = [&box] { return field(box, "/etc/passwd", "fz0", 4) == "Changed" && field(box, "/etc/shadow", "fz0", 1) == "h7"; };
  } else if (which == "files deleteUser") {
    sc.args = argsOf("deleteUser:fz0");
    sc.changed = "fz0";
    sc.done = [&box] { return box.entry("/etc/passwd", "fz0").empty() && box.entry("/etc/shadow", "fz0").empty(); };
  } else if (which == "files addGroup") {
    sc.args = argsOf("addGroup:gz9:x:3209:fz0,fz1");
    sc.changed = "gz9";
    sc.done = [&box] { return box.entry("/etc/group", "gz9") == "gz9:x:3209:fz0,fz1"; };
  } else if (which == "files modifyPassword") {
    // Recorded only when the new password is the one the store holds.
    mustRun(box, "usermod -p '" + std::string(crypt("new pass", "Ab")) + "' fz1");
    sc.args = argsOf("modifyPassword:fz1:" + encryptToken("old pass") + "," + encryptToken("new pass"));
    sc.done = [&box] {
      GDBM_FILE db = gdbm_open((kStateDir + "/.nis_files_pass").c_str(), 0, GDBM_READER, 0, nullptr);
      if (db == nullptr) return false;
      Datum v(gdbm_fetch(db, asDatum("fz1")));
      gdbm_close(db);
      return !v.empty() && v.text().size() > 2 && v.text().substr(v.text().size() - 2) == ":1";
    };
  }
  return sc;
}

// The NIS store of NisSandbox: events edit the sources and rebuild the maps.
FaultScenario nisEvent(NisSandbox& nis, const std::string& which) {
  Sandbox& box = nis.box;
  FaultScenario sc{which, box, {"-n", "nis", "-d", nis.maps, "-y", nis.src, "-p"}, {}, "",
                   {nis.src, nis.maps, box.workdir(), kStateDir},
                   {{nis.src + "/passwd", 7}, {nis.src + "/shadow", 9}, {nis.src + "/group", 4}}, "", {}, {}};
  sc.afterRetry = [&nis](Injector& in) { expectMapsMatchSources(nis, in); };
  auto inMap = [&nis](const std::string& map, const std::string& name) {
    Accounts a;
    parseDbm(nis.maps + "/" + map, map == "group.byname" ? 4 : map == "shadow.byname" ? 9 : 7, &a);
    return a.count(name) ? a.at(name) : "";
  };
  const std::string src = nis.src;
  if (which == "nis addUser") {
    sc.args.push_back("addUser:nz9::1709:1709:N:/home/nz9:/bin/sh:x:::::::");
    sc.env = {{"encrypted", "h9"}};
    sc.changed = "nz9";
    sc.done = [&box, src, inMap] {
      return field(box, src + "/shadow", "nz9", 1) == "h9" && !inMap("passwd.byname", "nz9").empty() &&
             !inMap("shadow.byname", "nz9").empty();
    };
  } else if (which == "nis modifyUser") {
    sc.args.push_back(userEvent("modifyUser", "alice", {{kGecos, "Changed"}}));
    sc.env = {{"encrypted", "h7"}};
    sc.changed = "alice";
    sc.done = [&box, src, inMap] {
      return field(box, src + "/passwd", "alice", 4) == "Changed" && field(box, src + "/shadow", "alice", 1) == "h7" &&
             inMap("passwd.byname", "alice") == box.entry(src + "/passwd", "alice") &&
             inMap("shadow.byname", "alice") == box.entry(src + "/shadow", "alice");
    };
  } else if (which == "nis deleteUser") {
    sc.args.push_back("deleteUser:bob");
    sc.changed = "bob";
    sc.done = [&box, src, inMap] {
      return box.entry(src + "/passwd", "bob").empty() && box.entry(src + "/shadow", "bob").empty() &&
             inMap("passwd.byname", "bob").empty() && inMap("shadow.byname", "bob").empty();
    };
  } else if (which == "nis addGroup") {
    sc.args.push_back("addGroup:ngz:x:1809:alice,bob");
    sc.changed = "ngz";
    sc.done = [&box, src, inMap] {
      return box.entry(src + "/group", "ngz") == "ngz:x:1809:alice,bob" && inMap("group.byname", "ngz") == "ngz:x:1809:alice,bob";
    };
  }
  return sc;
}

// A poll scenario: the store as the previous polls left it (none for a
// first poll), then changes made on the host.
FaultScenario pollScenario(Sandbox& box, const std::string& which, Argv args, PolledTables tables,
                           const std::vector<std::string>& dirs, const std::string& hostChange) {
  FaultScenario sc{which, box, std::move(args), {}, "y", dirs,
                   {{tables.passwd, 7}, {tables.shadow, 9}, {tables.group, 4}}, "", {}, tables};
  if (tables.maps) sc.tables.clear();  // the maps are read, not parsed as text
  if (which.find("first") == std::string::npos) {
    RunResult r = box.shim(sc.args, {}, "y");
    EXPECT_EQ(0, r.status) << r.err;
    sc.view.apply(r.out);
  }
  mustRun(box, hostChange);
  return sc;
}

const char* const kFilesHostChange =
    "echo 'fz5:x:3105:3105:New:/home/fz5:/bin/sh' >> /etc/passwd && echo 'fz5:h5:19000:0:99999:7:::' >> /etc/shadow"
    " && sed -i 's/^\\(fz0:[^:]*:[^:]*:[^:]*:\\)[^:]*/\\1Renamed/' /etc/passwd"
    " && sed -i 's/^fz1:[^:]*:/fz1:hNew:/' /etc/shadow"
    " && sed -i '/^fz2:/d' /etc/passwd /etc/shadow"
    " && echo 'gz5:x:3205:fz0,fz5' >> /etc/group"
    " && touch -d @$(( $(date +%s) - 7000 )) /etc/passwd /etc/shadow /etc/group";

FaultScenario filesPoll(Sandbox& box, const std::string& which) {
  for (int i = 0; i < 3; ++i) {
    const std::string n = std::to_string(i);
    mustRun(box, "echo 'fz" + n + ":x:310" + n + ":100:C:/home/fz:/bin/sh' >> /etc/passwd && echo 'fz" + n + ":h" + n +
                     ":19000:0:99999:7:::' >> /etc/shadow");
  }
  age(box, "/etc/passwd /etc/shadow /etc/group", 20000);
  // With a pending password: fz0's new one, which the poll publishes as a
  // token in fz0's line and a modifyPassword line.
  const bool pending = which.find("pending") != std::string::npos;
  const std::string hash = crypt("new pass", "Ab");
  FaultScenario sc = pollScenario(box, which, {"-n", "files", "-p", ""}, {"/etc/passwd", "/etc/shadow", "/etc/group", false},
                                  {"/etc", box.workdir(), kStateDir},
                                  (pending ? "usermod -p '" + hash + "' fz0 && " : std::string()) + kFilesHostChange);
  if (pending) {
    const std::string token = encryptToken("new pass");
    RunResult r = box.shim({"-n", "files", "-p", "modifyPassword:fz0:" + encryptToken("old pass") + "," + token});
    EXPECT_EQ(0, r.status) << r.err;
    sc.view.hashOf[compactToken(token)] = hash;
  }
  return sc;
}

FaultScenario nisPoll(NisSandbox& nis, const std::string& which) {
  const std::string m = nis.maps, src = nis.src;
  const std::string change =
      "sed -i 's/^\\(alice:[^:]*:[^:]*:[^:]*:\\)[^:]*/\\1Renamed/' " + src + "/passwd && echo 'nz5:x:1705:1705:New:/home/nz5:/bin/sh' >> " +
      src + "/passwd && echo 'nz5:h5:19000:0:99999:7:::' >> " + src + "/shadow && sed -i '/^bob:/d' " + src + "/passwd " + src +
      "/shadow && cd " + m + " && make -f /var/yp/Makefile passwd group >/dev/null 2>&1 && touch -d @$(( $(date +%s) - 7000 )) *.by*";
  return pollScenario(nis.box, which, {"-n", "nis", "-d", m, "-p", ""},
                      {m + "/passwd.byname", m + "/shadow.byname", m + "/group.byname", true}, {src, m, nis.box.workdir(), kStateDir},
                      change);
}

// NIS+: a poll after new transactions in the log.
FaultScenario nisplusPoll(NisplusBox& nb, const std::string& which) {
  auto tbl = [&nb](const std::string& args) { mustRun(nb.box, "NISPLUS_STANDIN_DIR=" + nb.env.at("NISPLUS_STANDIN_DIR") +
                                                                   " /usr/local/bin/nistbladm " + args); };
  tbl("-a passwd='$1$a$A' uid=1001 gid=100 gcos=A home=/home/alice shell=/bin/sh shadow=19000:0:99999:7::: "
      "name=alice passwd.org_dir");
  EXPECT_EQ(0, nb.poll().status);
  tbl("-a passwd='$1$b$B' uid=1002 gid=100 gcos=B home=/home/bob shell=/bin/sh shadow=19000:0:99999:7::: "
      "name=bob passwd.org_dir");
  tbl("-E shell=/bin/bash '[name=alice],passwd.org_dir'");
  tbl("-a passwd=x gid=50 members=alice,bob name=staff group.org_dir");
  FaultScenario sc{which, nb.box, {"-n", "nisplus", "-p", ""}, nb.env, "\n",
                   {nb.box.workdir(), kStateDir, nb.env.at("NISPLUS_STANDIN_DIR")}, {}, "", {}, {}};
  return sc;
}

class SyscallFaults : public ::testing::TestWithParam<const char*> {};

TEST_P(SyscallFaults, EveryCallFails) {
  // Run together with a stride, by the suite's sample test or
  // scripts/fault-injection.sh: one scenario alone takes minutes.
  if (std::getenv("KDL2NIS_INJECT_STRIDE") == nullptr)
    GTEST_SKIP() << "run by the syscall_faults_sample test, or scripts/fault-injection.sh";
  const std::string which = GetParam();
  const bool poll = which.find("poll") != std::string::npos;
  std::optional<Sandbox> own;
  std::optional<NisSandbox> nis;
  if (which.rfind("nisplus", 0) == 0) {
    NisplusBox nb;
    FaultScenario sc = nisplusPoll(nb, which);
    injectEveryCall(sc);
    return;
  }
  if (which.rfind("nis", 0) == 0) nis.emplace(); else own.emplace();
  FaultScenario sc = nis ? (poll ? nisPoll(*nis, which) : nisEvent(*nis, which))
                         : (poll ? filesPoll(*own, which) : filesEvent(*own, which));
  injectEveryCall(sc);
}

INSTANTIATE_TEST_SUITE_P(Each, SyscallFaults,
                         ::testing::Values("files addUser encrypted", "files addUser cleartext", "files modifyUser",
                                           "files deleteUser", "files addGroup", "files modifyPassword",
                                           "nis addUser", "nis modifyUser", "nis deleteUser", "nis addGroup",
                                           "files first poll", "files poll after changes",
                                           "files poll with a pending password", "nis poll after changes",
                                           "nisplus poll after new transactions"),
                         [](const auto& info) {
                           std::string n;
                           for (char c : std::string(info.param)) if (std::isalnum(static_cast<unsigned char>(c))) n += c;
                           return n;
                         });

}  // namespace
