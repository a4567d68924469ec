#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "core/event_record.h"
#include "core/runner.h"
#include "files/queries.h"
#include "publisher/generic_query.h"

namespace {

EventRecord userQuery(std::initializer_list<std::pair<int, const char*>> fields) {
  EventRecord r;
  for (int i = 0; i <= kFlag; ++i) r.fields[i] = std::string();
  for (auto [i, v] : fields) r.fields[i] = v;
  return r;
}

EventRecord groupQuery(const char* name, const char* passwd, const char* gid, const char* members) {
  EventRecord r;
  r.fields[kName] = name;
  r.fields[kPasswd] = passwd;
  r.fields[kGid] = gid;
  r.fields[kMembers] = members;
  return r;
}

class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    char name[] = "/tmp/kdl2nis-query-XXXXXX";
    int fd = mkstemp(name);
    path_ = name;
    close(fd);
    std::ofstream(path_) << content;
  }
  ~TempFile() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string shellOutput(const std::string& command) {
  FILE* p = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

TEST(QueryClassify, UserQueries) {
  auto kind = classifyUserQuery(userQuery({{kName, "jo"}}));
  EXPECT_TRUE(kind.byName);
  EXPECT_FALSE(kind.byId);
  kind = classifyUserQuery(userQuery({{kUid, "1001"}}));
  EXPECT_FALSE(kind.byName);
  EXPECT_TRUE(kind.byId);
  for (auto r : {userQuery({{kName, "jo"}, {kUid, "1001"}}), userQuery({{kName, "jo"}, {kFlag, "0"}}),
                 userQuery({{kUid, "1"}, {kShadowPasswd, "x"}}), userQuery({})}) {
    kind = classifyUserQuery(r);
    EXPECT_FALSE(kind.byName || kind.byId);
  }
}

TEST(QueryClassify, GroupQueriesLookOnlyAtTheirFourFields) {
  EventRecord byName = groupQuery("staff", "", "", "");
  byName.fields[kUid] = "5";  // not a group field
  EXPECT_TRUE(classifyGroupQuery(byName).byName);
  EXPECT_TRUE(classifyGroupQuery(groupQuery("", "", "50", "")).byId);
  for (auto r : {groupQuery("staff", "", "50", ""), groupQuery("", "", "50", "jo"), groupQuery("staff", "x", "", "")}) {
    auto kind = classifyGroupQuery(r);
    EXPECT_FALSE(kind.byName || kind.byId);
  }
}

TEST(QueryCommand, ExactTextForOrdinaryValues) {
  std::string command;
  ASSERT_EQ(0, buildGroupQueryCommand("/usr/bin/", groupQuery("st.*", "", "", "jo"), "/etc/group", &command));
  EXPECT_EQ(
      "/usr/bin//awk\t -F: 'BEGIN {count =0; split(\"st.*:::jo\", arr);} {if((arr[1]==\"\" || ($1 ~ "
      "\"^\"arr[1]\"$\")) && (arr[2]==\"\" || ($2 ~ \"^\"arr[2]\"$\")) && (arr[3]==\"\" || ($3 ~ "
      "\"^\"arr[3]\"$\")) && (arr[4]==\"\" || ($4 ~ \"^\"arr[4]\"$\"))) {print \"instanceGroup:\"$0; "
      "count++}} END{if(count==0) exit 1}' /etc/group",
      command);
  ASSERT_EQ(0, buildUserQueryCommand("/usr/bin/", userQuery({{kName, "jo"}, {kShell, "/bin/sh"}}), "quser.files",
                                     &command));
  EXPECT_EQ(0u, command.find("/usr/bin//awk\t -F: 'BEGIN {count = 0; split(\"jo::::::/bin/sh::::::::\", arr);} "
                             "{if((arr[1]==\"\" || ($1 ~ \"^\"arr[1]\"$\")) && "));
  EXPECT_NE(std::string::npos, command.find("(arr[15]==\"\" || ($15 ~ \"^\"arr[15]\"$\"))) {print \"instanceUser:\"$0; "
                                            "count++}} END{if(count==0) exit 1}' quser.files"));
}

TEST(QueryCommand, PatternsMatchAnchoredAndHostileOnesStayInsideTheString) {
  TempFile table(
      "abc:x:1:1::/home/abc:/bin/sh::::::::\n"
      "xabc:x:2:1::/home/xabc:/bin/sh::::::::\n"
      "a.b:x:3:1::/h:/bin/sh::::::::\n"
      "q\"uote:x:4:1::/h:/bin/sh::::::::\n");
  auto run = [&](const char* name) {
    std::string command;
    EXPECT_EQ(0, buildUserQueryCommand("/usr/bin/", userQuery({{kName, name}}), table.path(), &command));
    return shellOutput(command + " 2>/dev/null");
  };
  EXPECT_EQ("instanceUser:abc:x:1:1::/home/abc:/bin/sh::::::::\n", run("ab.*"));
  EXPECT_EQ("instanceUser:a.b:x:3:1::/h:/bin/sh::::::::\n", run("a\\.b"));  // a regex keeps its meaning
  EXPECT_EQ("instanceUser:q\"uote:x:4:1::/h:/bin/sh::::::::\n", run("q\"uote"));
  unlink("/tmp/kdl2nis-canary");
  for (const char* hostile : {"\"); system(\"touch /tmp/kdl2nis-canary\"); (\"", "'; touch /tmp/kdl2nis-canary; '",
                              "$(touch /tmp/kdl2nis-canary)", "\\", "a\nb"}) {
    EXPECT_EQ("", run(hostile)) << hostile;
  }
  EXPECT_NE(0, access("/tmp/kdl2nis-canary", F_OK));
}

// The candidate pass keeps exactly the lines that the whole program answers
// when the pattern names passwd fields only, hostile patterns included.
TEST(QueryCommand, CandidatePassKeepsWhatTheProgramAnswers) {
  TempFile table(
      "abc:x:1:1::/home/abc:/bin/sh::::::::\n"
      "+abc:x:1:1::/home/abc:/bin/sh::::::::\n"
      "a.b:x:3:1:Dot:/h:/bin/sh::::::::\n"
      "q\"uote:x:4:1::/h:/bin/sh::::::::\n"
      "back\\slash:x:5:1::/h:/bin/sh::::::::\n");
  TempFile candidates("");
  const UserTableSource source{table.path().c_str(), false, candidates.path(), nullptr};
  for (const char* name : {"ab.*", ".*abc", "a\\.b", "q\"uote", "back\\\\slash", "'; x; '", "\"); (\"", "a\nb", ""}) {
    for (int uidGiven = 0; uidGiven < 2; ++uidGiven) {
      EventRecord query = userQuery({{kName, name}, {kUid, uidGiven ? "[13]" : ""}});
      std::string command;
      ASSERT_EQ(0, buildUserQueryCommand("/usr/bin/", query, table.path(), &command));
      std::string expected = shellOutput(command + " 2>/dev/null");
      for (std::size_t at; (at = expected.find("instanceUser:")) != std::string::npos;) expected.erase(at, 13);
      AwkRun run = userCandidateRun("/usr/bin/", query, source);
      std::ofstream(candidates.path()).close();
      qvSystem(run.program, run.argv, run.environment);
      std::ifstream in(candidates.path());
      std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_EQ(expected, got) << name << " " << uidGiven;
    }
  }
}

TEST(QueryCommand, TooLongPatternIsRefused) {
  std::string command;
  std::string longName(400, 'a');
  EXPECT_EQ(-3, buildUserQueryCommand("/usr/bin/", userQuery({{kName, longName.c_str()}, {kGecos, longName.c_str()}}),
                                      "quser.files", &command));
}

TEST(FilesNameQuery, ExactColumnMatchInFileOrder) {
  const std::string longLine = "big:x:9:" + std::string(60000, 'z');
  TempFile file("root:x:0:0\n\nbob:x:7:0\n" + longLine + "\njo:x:70:0\n\nbo:x:7:1\nlast:x:7:0");
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, filesNameQuery("7", file.path().c_str(), 2, "User"));
  EXPECT_EQ("instanceUser:bob:x:7:0\ninstanceUser:bo:x:7:1\n", testing::internal::GetCapturedStdout());

  testing::internal::CaptureStdout();
  EXPECT_EQ(0, filesNameQuery("9", file.path().c_str(), 2, "Group"));  // a long line is read whole
  EXPECT_TRUE(testing::internal::GetCapturedStdout() == "instanceGroup:" + longLine + "\n");

  testing::internal::CaptureStdout();
  EXPECT_EQ(-6, filesNameQuery("b", file.path().c_str(), 0, "User"));     // no prefix match
  EXPECT_EQ(-6, filesNameQuery("last", file.path().c_str(), 0, "User"));  // last line has no newline
  EXPECT_EQ(-6, filesNameQuery("", file.path().c_str(), 0, "User"));      // empty lines never match
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_EQ(-1, filesNameQuery("x", "/nonexistent/kdl2nis", 0, "User"));
}

}  // namespace
