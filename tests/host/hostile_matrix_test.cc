// Every subscriber command of every backend, with hostile values put into
// each of its text fields in turn: nothing may run, crash or damage a store,
// a refusal must be a clean negative code with one trace line, and an
// accepted add must store the value as given.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "account_checks.h"
#include "core/event_record.h"
#include "nis_sandbox.h"
#include "nisplus_box.h"
#include "sandbox.h"
#include "support/token_encryptor.h"

namespace {

// Each of the first ones creates CANARY in the current directory if a
// shell ever runs it; the rest probe quoting, option, format and length
// handling.
std::vector<std::string> hostileValues() {
  return {
      "$(touch CANARY)",
      "`touch CANARY`",
      "\"'; touch CANARY; echo '\"",
      "'",
      "\\\\x\\\\\\",
      "a;touch CANARY|b&c*d?e]f,g h\tj",
      "%s%n%s%n%x",
      "-rf",
      "\xe9t\xe9\xff\x80",
      std::string(1000, 'k'),
      std::string(60000, 'w'),
  };
}

// Pseudo-fields for the passwords that come from the environment, and the
// token parts of modifyPassword.
constexpr int kCleartext = 100, kEncrypted = 101, kOldToken = 102, kNewToken = 103;

struct CommandSlots {
  std::string command;
  std::vector<int> fields;
};

const std::vector<CommandSlots>& commands() {
  static const std::vector<CommandSlots> all = {
      {"addUser", {kName, kPasswd, kUid, kGid, kGecos, kHome, kShell, kShadowPasswd, kLastChange, kMinDays,
                   kMaxDays, kWarnDays, kInactive, kExpire, kFlag, kCleartext, kEncrypted}},
      {"modifyUser", {kName, kPasswd, kUid, kGid, kGecos, kHome, kShell, kShadowPasswd, kLastChange,
                      kMinDays, kMaxDays, kWarnDays, kInactive, kExpire, kFlag, kCleartext, kEncrypted}},
      {"deleteUser", {kName}},
      {"renameUser", {kName, kNewName}},
      {"queryUser", {kName, kUid}},
      {"addGroup", {kName, kPasswd, kGid, kMembers}},
      {"modifyGroup", {kName, kPasswd, kGid, kMembers}},
      {"deleteGroup", {kName}},
      {"renameGroup", {kName, kNewName}},
      {"queryGroup", {kName, kGid}},
      {"modifyPassword", {kName, kOldToken, kNewToken}},
  };
  return all;
}

// The sound event of a command (fresh names for adds, the fixture's "jo"
// and "team" otherwise), with one field set to the hostile value.
struct Case {
  std::string event;
  Env env;
  std::string added;  // the account an add would create
};

Case makeCase(const std::string& command, int field, const std::string& value, int n) {
  std::map<int, std::string> f;
  Env env;
  const std::string fresh = (command == "addGroup" ? "g" : "m") + std::to_string(n);
  if (command == "addUser") {
    f = {{kName, fresh}, {kUid, std::to_string(3000 + n)}, {kGid, "100"}, {kGecos, "G"},
         {kHome, "/home/" + fresh}, {kShell, "/bin/sh"}, {kShadowPasswd, "x"}};
    env = {{"encrypted", "x"}};
  } else if (command == "addGroup") {
    f = {{kName, fresh}, {kPasswd, "x"}, {kGid, std::to_string(4000 + n)}, {kMembers, "jo"}};
  } else if (command == "renameUser" || command == "modifyPassword") {
    f = {{kName, "jo"}, {kNewName, "kim"}, {kOldToken, ""}, {kNewToken, encryptToken("Newpass1")}};
  } else if (command == "renameGroup") {
    f = {{kName, "team"}, {kNewName, "crew"}};
  } else {
    f = {{kName, command.find("Group") != std::string::npos ? "team" : "jo"}};
  }
  if (field == kCleartext) {
    env = {{"cleartext", value}};
  } else if (field == kEncrypted) {
    env = {{"encrypted", value}};
  } else {
    f[field] = value;
    if (field == kShadowPasswd) env = {{"encrypted", value}};
  }
  std::string text = command + ":" + f[kName];
  if (command == "renameUser" || command == "renameGroup") {
    text += "," + f[kNewName];
  } else if (command == "modifyPassword") {
    text += ":" + f[kOldToken] + "," + f[kNewToken];
  } else if (command.find("Group") != std::string::npos && command != "deleteGroup") {
    text += ":" + f[kPasswd] + ":" + f[kGid] + ":" + f[kMembers];
  } else if (command != "deleteUser" && command != "deleteGroup") {
    for (int i = kPasswd; i <= kFlag; ++i) text += ":" + f[i];
  }
  return {text, env, command.rfind("add", 0) == 0 ? fresh : ""};
}

// What one backend needs from the loop.
struct Backend {
  std::string name;
  std::function<RunResult(const std::string&, const Env&)> run;
  // The passwd-file columns of a stored account ("" when absent).
  std::function<std::string(const std::string&)> userLine;
  std::vector<std::string> canaryDirs;
};

struct Tally {
  int cases = 0, canaries = 0, signals = 0;
};

std::string shown(const std::string& text) {
  return text.size() > 80 ? text.substr(0, 80) + "...(" + std::to_string(text.size()) + ")" : text;
}

int errorLines(const std::string& err) {
  int n = 0;
  for (const auto& line : splitLines(err))
    if (line.rfind("Error", 0) == 0) ++n;
  return n;
}

// Runs one case and checks what every case must satisfy; true when the
// shim accepted it.
bool runCase(Backend& b, const Case& c, int field, const std::string& value, Tally& t) {
  ++t.cases;
  RunResult r = b.run(c.event, c.env);
  for (const auto& dir : b.canaryDirs) {
    const std::string canary = dir + "/CANARY";
    if (std::remove(canary.c_str()) == 0) {
      ++t.canaries;
      ADD_FAILURE() << b.name << ": a shell ran " << shown(c.event) << " (canary in " << dir << ")";
    }
  }
  if (r.signal != 0 || (r.status > 128 && r.status <= 128 + 64)) {
    ++t.signals;
    ADD_FAILURE() << b.name << ": died (signal " << r.signal << ", status " << r.status
                  << ") on " << shown(c.event);
    return false;
  }
  if (r.status != 0) {
    EXPECT_LT(r.code(), 0) << b.name << ": " << shown(c.event) << ": " << r.err;
    EXPECT_EQ(1, errorLines(r.err)) << b.name << ": " << shown(c.event) << ": " << r.err;
    return false;
  }
  // An accepted add holds the value as given.
  static const std::map<int, int> column = {{kGecos, 4}, {kHome, 5}, {kShell, 6}, {kEncrypted, 1}};
  auto col = column.find(field);
  if (!c.added.empty() && c.event.rfind("addUser", 0) == 0 && col != column.end()) {
    auto fields = splitFields(b.userLine(c.added), ':');
    EXPECT_GT(fields.size(), std::size_t(col->second)) << b.name << ": " << c.added << " missing";
    if (fields.size() > std::size_t(col->second)) {
      EXPECT_EQ(value, fields[col->second]) << b.name << ": " << shown(c.event);
    }
  }
  return true;
}

// Every command meets every one of its fields and every value at least
// once; the pairing shifts per backend so that the three loops together see
// more combinations.
Tally runMatrix(Backend& b, int shift) {
  const auto values = hostileValues();
  Tally t;
  int n = 0;
  for (const auto& [command, fields] : commands()) {
    const std::size_t rounds = std::max(fields.size(), values.size());
    for (std::size_t i = 0; i < rounds; ++i) {
      const int field = fields[i % fields.size()];
      const std::string& value = values[(i + shift) % values.size()];
      Case c = makeCase(command, field, value, n++);
      // An accepted rename is undone so that later cases find the fixture.
      if (runCase(b, c, field, value, t) && command.rfind("rename", 0) == 0 && field == kNewName) {
        // The new name ends at a further comma, as the rename layout reads it.
        const std::string back = command + ":" + value.substr(0, value.find(',')) + "," +
                                 (command == "renameUser" ? "jo" : "team");
        RunResult r = b.run(back, {});
        EXPECT_EQ(0, r.status) << b.name << ": " << shown(back) << ": " << r.err;
      }
    }
  }
  std::printf("hostile matrix: %s: %d cases, %d canaries, %d signals\n", b.name.c_str(), t.cases,
              t.canaries, t.signals);
  return t;
}

// A passwd line with the password of the shadow line in its second field,
// as the backends store a user split over the two.
std::string withShadowPassword(const std::string& passwdLine, const std::string& shadowLine) {
  auto pw = splitFields(passwdLine, ':');
  auto sh = splitFields(shadowLine, ':');
  if (pw.size() > 1 && sh.size() > 1) pw[1] = sh[1];
  std::string line;
  for (std::size_t i = 0; i < pw.size(); ++i) line += (i ? ":" : "") + pw[i];
  return line;
}

TEST(HostileMatrix, Files) {
  Sandbox box;
  box.privateCopy("/var/log");
  box.privateCopy("/var/mail");
  ASSERT_EQ(0, box.shim({"-n", "files", "-m", "-p", "addUser:jo::2001:100:Jo:/home/jo:/bin/sh::::::::"},
                        {{"encrypted", "x"}}).status);
  ASSERT_EQ(0, box.shim({"-n", "files", "-p", "addGroup:team:x:2001:jo"}).status);
  const std::string before = checkReport(box);
  Backend b{"files",
            [&](const std::string& event, const Env& env) {
              return box.shim({"-n", "files", "-m", "-p", event}, env);
            },
            [&](const std::string& name) {
              return withShadowPassword(box.entry("/etc/passwd", name), box.entry("/etc/shadow", name));
            },
            {box.workdir(), "/", "/root", "/tmp"}};
  Tally t = runMatrix(b, 0);
  EXPECT_EQ(0, t.canaries);
  EXPECT_EQ("", newCheckFindings(box, before));
}

TEST(HostileMatrix, Nis) {
  NisSandbox nis;
  nis.addSource("passwd", "jo:x:2001:100:Jo:/home/jo:/bin/sh\n");
  nis.addSource("shadow", "jo:x:19000:0:99999:7:::\n");
  nis.addSource("group", "team:x:2001:jo\n");
  nis.rebuild();
  Backend b{"nis",
            [&](const std::string& event, const Env& env) { return nis.run(event, {}, env); },
            [&](const std::string& name) {
              return withShadowPassword(nis.source("passwd", name), nis.source("shadow", name));
            },
            {nis.box.workdir(), "/", "/root", "/tmp", nis.maps, nis.src, "/var/yp"}};
  Tally t = runMatrix(b, 4);
  EXPECT_EQ(0, t.canaries);
  // The maps hold exactly the source entries the Makefile exports: those
  // with a numeric id from 1000 on. (Keys may hold blanks, so whole values
  // are compared.)
  for (const auto& [file, map] : {std::pair<std::string, std::string>{"passwd", "passwd.byname"},
                                  {"group", "group.byname"}}) {
    std::multiset<std::string> fromSource, inMap;
    for (const auto& line : nis.sourceLines(file)) {
      auto f = splitFields(line, ':');
      if (f.size() > 2 && !f[2].empty() && f[2].find_first_not_of("0123456789") == std::string::npos &&
          std::stoul(f[2].substr(0, 9)) >= 1000)
        fromSource.insert(line);
    }
    RunResult dumped = nis.box.sh("/usr/lib/yp/makedbm -u " + nis.maps + "/" + map);
    for (const auto& line : splitLines(dumped.out))
      if (line.rfind("YP_", 0) != 0) inMap.insert(line.substr(line.find('\t') + 1));
    EXPECT_EQ(fromSource, inMap) << map;
  }
}

TEST(HostileMatrix, Nisplus) {
  NisplusBox nis;
  ASSERT_EQ(0, nis.run({"-p", "addUser:jo::2001:100:Jo:/home/jo:/bin/sh:x:::::::"}, {{"encrypted", "x"}}).status);
  ASSERT_EQ(0, nis.run({"-p", "addGroup:team:x:2001:jo"}).status);
  Backend b{"nisplus",
            [&](const std::string& event, const Env& env) { return nis.run({"-p", event}, env); },
            [&](const std::string& name) {
              auto lines = splitLines(nis.entry("passwd.org_dir", name));
              return lines.empty() ? std::string() : lines[0];
            },
            {nis.box.workdir(), "/", "/root", "/tmp", nis.box.root() + "/nisplus"}};
  Tally t = runMatrix(b, 8);
  EXPECT_EQ(0, t.canaries);
}

}  // namespace
