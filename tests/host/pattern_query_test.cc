// Pattern queries of every backend give the same answers on every host:
// POSIX extended regular expressions (intervals too), whichever awk the
// host has.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "nis_sandbox.h"
#include "nisplus_box.h"
#include "sandbox.h"

namespace {

struct User {
  const char* name;
  int uid;
};
const User kUsers[] = {{"alice", 2001}, {"bob", 2002}, {"bo", 2003}, {"bobby", 2004}, {"b0b", 2005}};
struct Group {
  const char* name;
  int gid;
  const char* members;
};
const Group kGroups[] = {{"g1", 3001, "alice"}, {"g12", 3002, ""}, {"staff", 3003, "bob,bo"}};

using Names = std::set<std::string>;
struct Case {
  const char* event;
  Names names;  // the accounts answered, when the query is accepted
  int code = 0;
};
const Case kCases[] = {
    {"queryUser:b.{2}", {"bob", "b0b"}},
    // "^" and "$" bind to the first and the last alternative.
    {"queryUser:alice|b.{2}", {"alice", "bob", "b0b", "bobby"}},
    {"queryUser:bo$", {"bo"}},
    {"queryUser:^b[0-9]b", {"b0b"}},
    {"queryUser:b[a-z]{1,3}", {"bo", "bob"}},
    {"queryUser:::200[12]", {"alice", "bob"}},
    {"queryUser:b.*::200[45]", {"bobby", "b0b"}},
    {"queryUser:zz.*", {}},
    {"queryUser:b(", {}, -3},
    {"queryGroup:g[0-9]{1}", {"g1"}},
    {"queryGroup:g[0-9]{2}|st.*", {"g12", "staff"}},
    {"queryGroup:::300[12]", {"g1", "g12"}},
    {"queryGroup::::.*bo.*", {"staff"}},
    {"queryGroup:q.*", {}},
    {"queryGroup:g[", {}, -3},
};

std::string nameOf(const std::string& line) {
  const std::size_t first = line.find(':') + 1;
  return line.substr(first, line.find(':', first) - first);
}

// Every case under the host's awk and under gawk put in its place: the
// answers are the expected accounts, and the same lines under both.
void expectPatternAnswers(Sandbox& box, const std::function<RunResult(const std::string&)>& run) {
  std::vector<std::set<std::string>> answers[2];
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) {
      ASSERT_EQ(0, box.sh("ln -sfn /usr/bin/gawk /etc/alternatives/awk").status);
    }
    for (const Case& c : kCases) {
      RunResult r = run(c.event);
      EXPECT_EQ(c.code, r.code()) << c.event << ": " << r.err;
      EXPECT_EQ(c.code == 0 ? 0u : 1u, splitLines(r.err).size()) << c.event << ": " << r.err;
      const std::string tag = std::string(c.event).rfind("queryUser", 0) == 0 ? "instanceUser:" : "instanceGroup:";
      std::set<std::string> lines;
      Names names;
      for (const std::string& line : splitLines(r.out)) {
        EXPECT_EQ(0u, line.rfind(tag, 0)) << c.event << ": " << line;
        lines.insert(line);
        names.insert(nameOf(line));
      }
      EXPECT_EQ(c.names, names) << c.event << " (pass " << pass << ")";
      answers[pass].push_back(lines);
    }
  }
  EXPECT_EQ(answers[0], answers[1]);
}

TEST(PatternQuery, FilesAnswersAreExtendedRegularExpressions) {
  Sandbox box;
  std::string passwd = "root:x:0:0:root:/root:/bin/bash\n", shadow = "root:*:19000:0:99999:7:::\n",
              group = "root:x:0:\n";
  for (const User& u : kUsers) {
    const std::string id = std::to_string(u.uid);
    passwd += std::string(u.name) + ":x:" + id + ":100::/home/" + u.name + ":/bin/sh\n";
    shadow += std::string(u.name) + ":!:19000:0:99999:7:::\n";
  }
  for (const Group& g : kGroups) group += std::string(g.name) + ":x:" + std::to_string(g.gid) + ":" + g.members + "\n";
  box.write("/etc/passwd", passwd);
  box.write("/etc/shadow", shadow, 0640);
  box.write("/etc/group", group);
  expectPatternAnswers(box, [&](const std::string& e) { return box.shim({"-n", "files", "-p", e}); });
}

TEST(PatternQuery, NisAnswersAreExtendedRegularExpressions) {
  NisSandbox nis;
  std::string passwd, shadow, group;
  for (const User& u : kUsers) {
    passwd += std::string(u.name) + ":x:" + std::to_string(u.uid) + ":100::/home/" + u.name + ":/bin/sh\n";
    shadow += std::string(u.name) + ":!:19000:0:99999:7:::\n";
  }
  for (const Group& g : kGroups) group += std::string(g.name) + ":x:" + std::to_string(g.gid) + ":" + g.members + "\n";
  nis.box.write(nis.src + "/passwd", passwd);
  nis.box.write(nis.src + "/shadow", shadow, 0600);
  nis.box.write(nis.src + "/group", group);
  nis.rebuild();
  expectPatternAnswers(nis.box, [&](const std::string& e) { return nis.run(e); });
}

TEST(PatternQuery, NisplusAnswersAreExtendedRegularExpressions) {
  NisplusBox nis;
  for (const User& u : kUsers)
    ASSERT_EQ(0, nis.sh("/usr/local/bin/nistbladm -a passwd=x uid=" + std::to_string(u.uid) +
                        " gid=100 gcos= home=/h shell=/bin/sh shadow=19000:0:99999:7::: name=" + u.name +
                        " passwd.org_dir").status);
  for (const Group& g : kGroups)
    ASSERT_EQ(0, nis.sh("/usr/local/bin/nistbladm -a passwd=x gid=" + std::to_string(g.gid) + " members=" +
                        g.members + " name=" + g.name + " group.org_dir").status);
  expectPatternAnswers(nis.box, [&](const std::string& e) { return nis.run({"-p", e}); });
}

}  // namespace
