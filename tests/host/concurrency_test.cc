// Many writers at once, with the real binary and tools: subscriber commands
// of both local backends beside a local administrator's own tools, and polls
// beside each other and a subscriber command in one working directory. Each
// run starts its processes in a seeded order with seeded gaps, so the
// interleavings vary; afterwards every change that reported success must be
// there, nothing else may be gone and the files must be consistent.
#include <gtest/gtest.h>

#include <algorithm>
#include <crypt.h>
#include <cstdio>
#include <functional>
#include <random>
#include <set>
#include <unistd.h>

#include "account_checks.h"
#include "files_test_support.h"
#include "must_run.h"
#include "nis_sandbox.h"
#include "password/hash.h"
#include "support/token_encryptor.h"

namespace {

using Fields = std::vector<std::string>;

// One process of a run: how to start it and what must hold once it
// reported success.
struct Job {
  std::string what;
  std::function<pid_t()> start;
  std::function<bool()> landed;
};

// A fact that must hold from the run that made it to the end of the test.
struct Fact {
  std::string what;
  std::function<bool()> holds;
};

// Starts the jobs in a shuffled order with short gaps, then collects them.
std::vector<RunResult> runTogether(Sandbox& box, const std::vector<Job>& jobs, std::mt19937& rng) {
  std::vector<std::size_t> order(jobs.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  std::vector<pid_t> pids(jobs.size());
  for (std::size_t i : order) {
    pids[i] = jobs[i].start();
    usleep(rng() % 15000);
  }
  std::vector<RunResult> results;
  for (pid_t pid : pids) results.push_back(box.finish(pid));
  return results;
}

// Counts (and reports) the facts that no longer hold, and drops them so
// that a later run does not count them again.
int countLost(std::vector<Fact>& facts) {
  int lost = 0;
  std::vector<Fact> kept;
  for (Fact& f : facts) {
    if (f.holds()) {
      kept.push_back(std::move(f));
    } else {
      ADD_FAILURE() << "lost: " << f.what;
      ++lost;
    }
  }
  facts = std::move(kept);
  return lost;
}

// A stored password field holds the password: the clear text hashes to it
// with its own setting, or it is the hash that was sent.
struct Password {
  std::string clear;  // empty: `hash` was sent as it is
  std::string hash;
  Env env() const { return clear.empty() ? Env{{"encrypted", hash}} : Env{{"cleartext", clear}}; }
  bool storedAs(const std::string& field) const {
    if (clear.empty()) return field == hash;
    const char* made = crypt(clear.c_str(), field.c_str());
    return made != nullptr && field.size() > 2 && made == field;
  }
};
Password somePassword(std::mt19937& rng, const std::string& name) {
  if (rng() % 2) return {"pw-" + name, ""};
  return {"", crypt(("pw-" + name).c_str(), ("$6$" + name.substr(0, 8) + "$").c_str())};
}

Fields fieldsOf(const std::string& line) { return line.empty() ? Fields{} : splitFields(line, ':'); }

// The names of an account file, in order.
std::vector<std::string> namesIn(const Sandbox& box, const std::string& path) {
  std::vector<std::string> names;
  for (const auto& line : box.lines(path)) names.push_back(line.substr(0, line.find(':')));
  return names;
}
// Both files list the same accounts, each once.
bool sameNamesOnce(const Sandbox& box, const std::string& passwd, const std::string& shadow) {
  auto a = namesIn(box, passwd), b = namesIn(box, shadow);
  std::set<std::string> sa(a.begin(), a.end()), sb(b.begin(), b.end());
  return sa.size() == a.size() && sb.size() == b.size() && sa == sb;
}

// The user's passwd fields are the ones sent (empty: any) and the shadow
// field holds the password.
bool accountIs(const std::string& passwdLine, const std::string& shadowLine, const Fields& sent,
               const Password* password) {
  Fields p = fieldsOf(passwdLine), s = fieldsOf(shadowLine);
  if (p.size() != 7 || s.size() < 2) return false;
  for (std::size_t i = 0; i < sent.size(); ++i)
    if (!sent[i].empty() && p[i] != sent[i]) return false;
  return password == nullptr || password->storedAs(s[1]);
}

class Concurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    box.privateCopy("/var/log");
    box.privateCopy("/var/mail");
    checksBefore = checkReport(box);
  }
  // Lines of the checks' report that were not there before the test.
  std::string newCheckFindings() { return ::newCheckFindings(box, checksBefore); }
  // An account made behind the tools' back, as an installer would.
  void plantFilesUser(const std::string& name, int uid) {
    mustRun(box, "echo '" + name + ":x:" + std::to_string(uid) + ":100:Pre:/home/" + name + ":/bin/sh' >> /etc/passwd && echo '" +
                 name + ":!:19000:0:99999:7:::' >> /etc/shadow && mkdir -p /home/" + name);
  }
  bool filesAccountIs(const std::string& name, const Fields& sent, const Password* password) {
    return accountIs(box.entry("/etc/passwd", name), box.entry("/etc/shadow", name), sent, password);
  }
  pid_t shell(const std::string& command) { return box.start({"/bin/sh", "-c", command}); }
  // Runs of two polls and a subscriber command at once (defined below).
  void pollRuns(const struct PollBackend& backend, int runs);

  NisSandbox nis;
  Sandbox& box = nis.box;
  std::string checksBefore;
};

// The NIS maps hold exactly the source lines that the Makefile takes in
// (ids from 1000 on), keyed by name.
bool mapsAgreeWithSources(NisSandbox& nis) {
  struct Map {
    const char* map;
    const char* source;
  };
  for (const Map& m : {Map{"passwd.byname", "passwd"}, Map{"shadow.byname", "shadow"}, Map{"group.byname", "group"}}) {
    std::map<std::string, std::string> expected;
    std::map<std::string, std::string> uids;
    for (const auto& line : nis.sourceLines("passwd")) uids[line.substr(0, line.find(':'))] = fieldsOf(line)[2];
    for (const auto& line : nis.sourceLines(m.source)) {
      std::string name = line.substr(0, line.find(':'));
      std::string id = std::string(m.source) == "group" ? fieldsOf(line)[2] : uids[name];
      if (!id.empty() && std::stol(id) >= 1000) expected[name] = line;
    }
    auto dump = nis.dump(m.map);
    for (auto it = dump.begin(); it != dump.end();)
      it = it->first.rfind("YP_", 0) == 0 ? dump.erase(it) : std::next(it);
    if (dump != expected) return false;
  }
  return true;
}

void summary(const char* scenario, int runs, int events, int lost, int damaged) {
  std::printf("concurrency: %s: %d runs, %d events, %d lost, %d files damaged\n", scenario, runs, events, lost,
              damaged);
}

TEST_F(Concurrency, SubscribersOfBothBackendsBesideAnAdministratorLoseNothing) {
  const Argv nisArgs{"-n", "nis", "-d", nis.maps, "-y", nis.src};
  std::vector<Fact> facts;
  int events = 0, lost = 0, damaged = 0;
  const int runs = 3;
  for (int run = 0; run < runs; ++run) {
    std::mt19937 rng(1000 + run);
    const std::string r = "r" + std::to_string(run);
    const int base = 3000 + run * 100;
    // Accounts that exist before the run: files users to modify, users the
    // administrator changes, groups for the administrator, NIS users.
    std::string nisPasswd, nisShadow;
    for (int i = 0; i < 10; ++i) {
      const std::string n = std::to_string(i);
      plantFilesUser("fm" + r + n, base + i);
      nisPasswd += "nm" + r + n + ":x:" + std::to_string(base + i) + ":100:Pre:/home/nm:/bin/sh\n";
      nisShadow += "nm" + r + n + ":!:19000:0:99999:7:::\n";
    }
    for (int i = 0; i < 3; ++i) {
      const std::string n = std::to_string(i);
      plantFilesUser("pc" + r + n, base + 20 + i);
      mustRun(box, "groupadd -g " + std::to_string(base + 30 + i) + " grp" + r + n);
    }
    mustRun(box, "cat >> " + nis.src + "/passwd <<'EOF'\n" + nisPasswd + "EOF\ncat >> " + nis.src + "/shadow <<'EOF'\n" +
                 nisShadow + "EOF");
    nis.rebuild();
    for (const std::string prefix : {"fm", "pc"})
      for (int i = 0; i < (prefix == "fm" ? 10 : 3); ++i) {
        const std::string name = prefix + r + std::to_string(i);
        facts.push_back({"pre-existing " + name, [this, name] { return filesAccountIs(name, {name}, nullptr); }});
      }
    for (int i = 0; i < 10; ++i) {
      const std::string name = "nm" + r + std::to_string(i);
      facts.push_back({"pre-existing NIS " + name, [this, name] {
                         return nis.source("passwd", name) != "" && nis.value("passwd.byname", name) != "";
                       }});
    }

    std::vector<Job> jobs;
    for (int i = 0; i < 10; ++i) {
      const std::string n = std::to_string(i);
      // files: an add and a modify, each with a password.
      const std::string add = "fa" + r + n, mod = "fm" + r + n;
      const Fields sent{add, "x", std::to_string(base + 40 + i), "100", "C" + add, "/home/" + add, "/bin/sh"};
      Password pa = somePassword(rng, add), pm = somePassword(rng, mod);
      jobs.push_back({"files addUser " + add,
                      [=, this] {
                        return box.startShim({"-n", "files", "-m", "-p",
                                              userEvent("addUser", add, {{kUid, sent[2]}, {kGid, "100"}, {kGecos, sent[4]},
                                                                          {kHome, sent[5]}, {kShell, sent[6]}})},
                                             pa.env());
                      },
                      [=, this] { return filesAccountIs(add, sent, &pa); }});
      jobs.push_back({"files modifyUser " + mod,
                      [=, this] {
                        return box.startShim({"-n", "files", "-p", userEvent("modifyUser", mod, {{kGecos, "M" + mod}})},
                                             pm.env());
                      },
                      [=, this] { return filesAccountIs(mod, {mod, "x", "", "", "M" + mod}, &pm); }});
      // NIS: the same on the source files and maps.
      const std::string nadd = "na" + r + n, nmod = "nm" + r + n;
      const Fields nsent{nadd, "x", std::to_string(base + 50 + i), "100", "N" + nadd, "/home/" + nadd, "/bin/sh"};
      Password qa = somePassword(rng, nadd), qm = somePassword(rng, nmod);
      auto nisLanded = [this](const std::string& name, const Fields& sent, const Password& p) {
        std::string line = nis.source("passwd", name), shadow = nis.source("shadow", name);
        return accountIs(line, shadow, sent, &p) && nis.value("passwd.byname", name) == line &&
               nis.value("shadow.byname", name) == shadow;
      };
      jobs.push_back({"NIS addUser " + nadd,
                      [=, this] {
                        Argv a = nisArgs;
                        a.insert(a.end(), {"-p", userEvent("addUser", nadd, {{kUid, nsent[2]}, {kGid, "100"},
                                                                              {kGecos, nsent[4]}, {kHome, nsent[5]},
                                                                              {kShell, nsent[6]}})});
                        return box.startShim(a, qa.env());
                      },
                      [=] { return nisLanded(nadd, nsent, qa); }});
      jobs.push_back({"NIS modifyUser " + nmod,
                      [=, this] {
                        Argv a = nisArgs;
                        a.insert(a.end(), {"-p", userEvent("modifyUser", nmod, {{kGecos, "M" + nmod}})});
                        return box.startShim(a, qm.env());
                      },
                      [=] { return nisLanded(nmod, {nmod, "x", "", "", "M" + nmod}, qm); }});
    }
    // The local administrator, on other accounts.
    for (int i = 0; i < 3; ++i) {
      const std::string n = std::to_string(i), adm = "adm" + r + n, pc = "pc" + r + n, grp = "grp" + r + n;
      const std::string uid = std::to_string(base + 60 + i);
      jobs.push_back({"useradd " + adm,
                      [=, this] { return shell("useradd -m -u " + uid + " -g 100 -c Admin -s /bin/sh " + adm); },
                      [=, this] { return filesAccountIs(adm, {adm, "x", uid, "100", "Admin"}, nullptr); }});
      Password clear{"admin-" + pc, ""};
      jobs.push_back({"chpasswd " + pc, [=, this] { return shell("echo '" + pc + ":" + clear.clear + "' | chpasswd"); },
                      [=, this] { return filesAccountIs(pc, {pc}, &clear); }});
      const std::string member = "fm" + r + n;
      jobs.push_back({"gpasswd -a " + member + " " + grp, [=, this] { return shell("gpasswd -a " + member + " " + grp); },
                      [=, this] {
                        Fields g = fieldsOf(box.entry("/etc/group", grp));
                        return g.size() == 4 && g[3] == member;
                      }});
    }

    std::vector<RunResult> results = runTogether(box, jobs, rng);
    events += static_cast<int>(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      // Each writer waits for the others' locks: none of them may give up.
      EXPECT_EQ(0, results[i].status) << jobs[i].what << ": " << results[i].err;
      if (results[i].status == 0) facts.push_back({jobs[i].what, jobs[i].landed});
    }
    lost += countLost(facts);

    std::string findings = newCheckFindings();
    EXPECT_EQ("", findings);
    damaged += findings.empty() ? 0 : 1;
    for (const auto& [passwd, shadow] : std::vector<std::pair<std::string, std::string>>{
             {"/etc/passwd", "/etc/shadow"}, {nis.src + "/passwd", nis.src + "/shadow"}}) {
      bool same = sameNamesOnce(box, passwd, shadow);
      EXPECT_TRUE(same) << passwd << " and " << shadow;
      damaged += same ? 0 : 1;
    }
    bool agree = mapsAgreeWithSources(nis);
    EXPECT_TRUE(agree) << "maps after the last command";
    nis.rebuild();
    agree = mapsAgreeWithSources(nis) && agree;
    EXPECT_TRUE(agree) << "maps after a final make";
    damaged += agree ? 0 : 1;
  }
  summary("subscribers beside an administrator", runs, events, lost, damaged);
}

// A published change: a line that starts with `head` and holds `part`.
struct Expected {
  std::string head, part;
};
int countUnpublished(const std::vector<Expected>& changes, const std::vector<std::string>& published) {
  int lost = 0;
  for (const Expected& c : changes) {
    bool seen = std::any_of(published.begin(), published.end(), [&](const std::string& line) {
      return line.rfind(c.head, 0) == 0 && line.find(c.part) != std::string::npos;
    });
    EXPECT_TRUE(seen) << "never published: " << c.head << "..." << c.part;
    lost += seen ? 0 : 1;
  }
  return lost;
}

// How the polls' scenario meets one backend: its arguments, a local
// administrator's changes of one run as a shell script (a new user, a
// changed comment, a new group, the previous run's user deleted, the
// password of "tok" set to the hash) and whether a subscriber's new user
// is there.
struct PollBackend {
  const char* name;
  Argv args;  // the options before "-p"
  std::function<std::string(const std::string& run, const std::string& previous, const std::string& hash)> localChanges;
  std::function<bool(const std::string& user, const Password& password)> landed;
};

void Concurrency::pollRuns(const PollBackend& backend, int runs) {
  Argv poll = backend.args;
  poll.insert(poll.end(), {"-p", ""});
  ASSERT_EQ(0, box.shim(poll, {}, "y").status);
  int events = 0, lost = 0, damaged = 0;
  for (int run = 0; run < runs; ++run) {
    std::mt19937 rng(2000 + run);
    const std::string r = std::to_string(run), previous = std::to_string(run - 1), secret = "secret" + r;
    mustRun(box, backend.localChanges(r, previous, desCrypt(secret.c_str(), "Tk")));
    std::vector<Expected> changes{{"addUser:locA" + r + ":", ""},
                                  {"modifyUser:keep:", "Changed" + r},
                                  {"addGroup:lg" + r + ":", ""},
                                  {"deleteUser:locA" + previous, ""},
                                  {"modifyUser:tok:", ""}};
    // The subscriber: an account with a password, or a password change
    // that the polls publish.
    const std::string sub = "sub" + r;
    const Password password = somePassword(rng, sub);
    const std::string token = encryptToken(secret);
    Argv subscriber = backend.args;
    subscriber.insert(subscriber.end(),
                      {"-p", run % 2 ? "modifyPassword:tok:," + token
                                     : userEvent("addUser", sub, {{kUid, std::to_string(4300 + run)}, {kGid, "100"},
                                                                  {kHome, "/home/" + sub}, {kShell, "/bin/sh"}})});
    std::vector<Job> jobs{{subscriber.back(), [=, this] { return box.startShim(subscriber, password.env()); },
                           [=] { return run % 2 || backend.landed(sub, password); }}};
    // A poll answered at once, or one that waits for its answer (the end of
    // its input, when it is collected) while the others go on.
    for (int i = 0; i < 2; ++i) {
      std::string answer = rng() % 2 ? "y" : "";
      jobs.push_back({"poll", [=, this] { return box.startShim(poll, {}, answer); }, nullptr});
    }

    std::vector<RunResult> results = runTogether(box, jobs, rng);
    std::vector<std::string> published;
    for (std::size_t i = 1; i < jobs.size(); ++i) {
      // A poll either publishes or, finding another one at work, gives up
      // with nothing committed.
      EXPECT_TRUE(results[i].status == 0 || results[i].code() == -8) << results[i].err;
      if (results[i].status == 0)
        for (const auto& line : splitLines(results[i].out)) published.push_back(line);
    }
    RunResult final = box.shim(poll, {}, "y");
    EXPECT_EQ(0, final.status) << final.err;
    for (const auto& line : splitLines(final.out)) published.push_back(line);
    // The pending-password store is granted to one process at a time: a
    // password change that meets a poll there is refused, and says so.
    if (run % 2 == 0 || results[0].err != "Error: -1\n") {
      EXPECT_EQ(0, results[0].status) << jobs[0].what << ": " << results[0].err;
    }
    if (results[0].status == 0) {
      EXPECT_TRUE(jobs[0].landed()) << jobs[0].what;
      changes.push_back(run % 2 ? Expected{"modifyPassword:tok:", "," + token} : Expected{"addUser:" + sub + ":", ""});
    }
    events += static_cast<int>(changes.size());
    lost += countUnpublished(changes, published);
    // The state the polls share is whole: the next poll finds nothing new.
    RunResult next = box.shim(poll, {}, "y");
    EXPECT_EQ(0, next.status) << next.err;
    EXPECT_EQ("", next.out);
    damaged += next.status == 0 && next.out.empty() ? 0 : 1;
  }
  // The order that once kept a password change back until the user's next
  // change: a poll sees the new hash before modifyPassword accepts it. The
  // next poll publishes it all the same.
  const std::string r = std::to_string(runs), secret = "secret" + r, token = encryptToken(secret);
  mustRun(box, backend.localChanges(r, std::to_string(runs - 1), desCrypt(secret.c_str(), "Tk")));
  EXPECT_EQ(0, box.shim(poll, {}, "y").status);
  Argv change = backend.args;
  change.insert(change.end(), {"-p", "modifyPassword:tok:," + token});
  EXPECT_EQ(0, box.shim(change).status);
  RunResult late = box.shim(poll, {}, "y");
  EXPECT_EQ("modifyPassword:tok:," + token + "\n", late.out) << late.err;
  summary((std::string("two polls and a subscriber, ") + backend.name).c_str(), runs, events, lost, damaged);
}

TEST_F(Concurrency, TwoPollsAndASubscriberInOneWorkingDirectoryLoseNoEvent) {
  mustRun(box, "useradd -m -u 4000 -g 100 -c Keep keep && useradd -m -u 4001 -g 100 -c Tok tok && "
               "useradd -m -u 4002 -g 100 -c Gone locA-1");
  pollRuns({"files", {"-n", "files", "-m"},
            [](const std::string& r, const std::string& previous, const std::string& hash) {
              return "useradd -m -u 41" + r + "0 -g 100 -c Local locA" + r + " && usermod -c Changed" + r +
                     " keep && groupadd -g 42" + r + "0 lg" + r + " && userdel -r locA" + previous + " && usermod -p '" +
                     hash + "' tok";
            },
            [this](const std::string& user, const Password& p) { return filesAccountIs(user, {user}, &p); }},
           4);
  EXPECT_EQ("", newCheckFindings());

  const std::string src = nis.src;
  mustRun(box, "cd " + src + " && for u in keep:4000 tok:4001 locA-1:4002; do echo \"${u%:*}:x:${u#*:}:100::/:/bin/sh\" >> "
               "passwd && echo \"${u%:*}:!:19000:0:99999:7:::\" >> shadow; done");
  nis.rebuild();
  pollRuns({"nis", {"-n", "nis", "-d", nis.maps, "-y", src},
            [&](const std::string& r, const std::string& previous, const std::string& hash) {
              return "cd " + src + " && echo 'locA" + r + ":x:41" + r + "0:100:Local:/:/bin/sh' >> passwd && echo 'locA" +
                     r + ":!:19000:0:99999:7:::' >> shadow && sed -i 's/^keep:x:4000:100:[^:]*:/keep:x:4000:100:Changed" +
                     r + ":/' passwd && echo 'lg" + r + ":x:42" + r + "0:' >> group && sed -i '/^locA" + previous +
                     ":/d' passwd shadow && sed -i 's#^tok:[^:]*:#tok:" + hash + ":#' shadow && cd " + nis.maps +
                     " && make -f /var/yp/Makefile passwd group >/dev/null 2>&1";
            },
            [this](const std::string& user, const Password& p) {
              std::string line = nis.source("passwd", user), shadow = nis.source("shadow", user);
              return accountIs(line, shadow, {user}, &p) && nis.value("passwd.byname", user) == line;
            }},
           4);
}

}  // namespace
