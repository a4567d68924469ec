#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <utility>
#include <string>
#include <unistd.h>

#include "core/event_record.h"
#include "files/queries.h"
#include "core/generic_query.h"
#include "support/temp_dir.h"

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
  explicit TempFile(const std::string& content) { std::ofstream(path_) << content; }
  const std::string& path() const { return path_; }

 private:
  TempDir dir_;
  const std::string path_ = dir_ / "file";
};

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

// What a generic query prints over a table, and its result.
std::pair<int, std::string> answerOver(bool users, const EventRecord& query, const std::string& table) {
  testing::internal::CaptureStdout();
  int result = users ? genericUserQuery(query, table) : genericGroupQuery(query, table);
  return {result, testing::internal::GetCapturedStdout()};
}

TEST(GenericQuery, FieldsMatchAnchoredAndPatternsNeverReachAShell) {
  TempFile table(
      "abc:x:1:1::/home/abc:/bin/sh::::::::\n"
      "xabc:x:2:1::/home/xabc:/bin/sh::::::::\n"
      "a.b:x:3:1::/h:/bin/sh::::::::\n"
      "q\"uote:x:4:1::/h:/bin/sh::::::::\n"
      "short:x\n"
      "\n"
      "last:x:5:1::/h:/bin/sh");
  const std::string abc = "instanceUser:abc:x:1:1::/home/abc:/bin/sh::::::::\n";
  const std::pair<EventRecord, std::string> cases[] = {
      {userQuery({{kName, "ab.*"}}), abc},
      {userQuery({{kName, "a\\.b"}}), "instanceUser:a.b:x:3:1::/h:/bin/sh::::::::\n"},
      {userQuery({{kName, "q\"uote"}}), "instanceUser:q\"uote:x:4:1::/h:/bin/sh::::::::\n"},
      // "^" and "$" bind to the alternatives at the ends, as they did.
      {userQuery({{kName, "x|abc"}}), abc + "instanceUser:xabc:x:2:1::/home/xabc:/bin/sh::::::::\n"},
      {userQuery({{kName, "x.{3}"}}), "instanceUser:xabc:x:2:1::/home/xabc:/bin/sh::::::::\n"},
      {userQuery({{kUid, "[15]"}}), abc + "instanceUser:last:x:5:1::/h:/bin/sh\n"},
      // A field past a record's end is empty: it fails a pattern unless
      // the pattern matches the empty text.
      {userQuery({{kName, "short"}, {kGid, ""}}), "instanceUser:short:x\n"},
      {userQuery({{kName, "short"}, {kGid, "1"}}), ""},
      {userQuery({{kName, "(short)?"}, {kUid, "x?"}}), "instanceUser:short:x\ninstanceUser:\n"},
  };
  for (const auto& [query, expected] : cases) {
    auto [result, out] = answerOver(true, query, table.path());
    EXPECT_EQ(0, result) << userQueryPattern(query);
    EXPECT_EQ(expected, out) << userQueryPattern(query);
  }
  unlink("/tmp/kdl2nis-canary");
  for (const char* hostile : {"\"); system(\"touch /tmp/kdl2nis-canary\"); (\"", "'; touch /tmp/kdl2nis-canary; '",
                              "$(touch /tmp/kdl2nis-canary)", "\\", "a\nb", "(", "a{2,1}"}) {
    auto [result, out] = answerOver(true, userQuery({{kName, hostile}}), table.path());
    EXPECT_EQ("", out) << hostile;
    EXPECT_TRUE(result == 0 || result == -3) << hostile;
  }
  EXPECT_NE(0, access("/tmp/kdl2nis-canary", F_OK));
  EXPECT_EQ(-3, answerOver(true, userQuery({{kName, "("}}), table.path()).first);
  EXPECT_EQ(-3, answerOver(false, groupQuery("a", "", "", "[b"), table.path()).first);
  EXPECT_EQ(-3, answerOver(false, groupQuery("a.*", "", "", ""), "/nonexistent/kdl2nis").first);
  EXPECT_EQ(std::make_pair(0, std::string("instanceGroup:a.b:x:3:1::/h:/bin/sh::::::::\n")),
            answerOver(false, groupQuery("a.*", "", "3", "1"), table.path()));
}

TEST(FilesNameQuery, ExactColumnMatchInFileOrder) {
  const std::string longLine = "big:x:9:" + std::string(60000, 'z');
  TempFile file("root:x:0:0\n\nbob:x:7:0\n" + longLine + "\njo:x:70:0\n\nbo:x:7:1\nlast:x:7:0");
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, filesColumnQuery("7", file.path().c_str(), 2, "User"));
  EXPECT_EQ("instanceUser:bob:x:7:0\ninstanceUser:bo:x:7:1\n", testing::internal::GetCapturedStdout());

  testing::internal::CaptureStdout();
  EXPECT_EQ(0, filesColumnQuery("9", file.path().c_str(), 2, "Group"));  // a long line is read whole
  EXPECT_TRUE(testing::internal::GetCapturedStdout() == "instanceGroup:" + longLine + "\n");

  testing::internal::CaptureStdout();
  EXPECT_EQ(-6, filesColumnQuery("b", file.path().c_str(), 0, "User"));     // no prefix match
  EXPECT_EQ(-6, filesColumnQuery("last", file.path().c_str(), 0, "User"));  // last line has no newline
  EXPECT_EQ(-6, filesColumnQuery("", file.path().c_str(), 0, "User"));      // empty lines never match
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_EQ(-1, filesColumnQuery("x", "/nonexistent/kdl2nis", 0, "User"));
}

}  // namespace
