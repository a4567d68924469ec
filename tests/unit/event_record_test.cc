#include <gtest/gtest.h>

#include <cstring>

#include "core/event_record.h"
#include "core/result.h"
#include "core/trace.h"

namespace {

EventRecord parse(const char* data, int command) {
  EventRecord r;
  EXPECT_EQ(kOk, parseEventData(&r, data, command));
  return r;
}

TEST(NextToken, KeepsEmptyFieldsAndThenReturnsEmptyForEver) {
  char text[] = "a::b";
  EXPECT_STREQ("a", nextToken(text, ":"));
  EXPECT_STREQ("", nextToken(nullptr, ":"));
  EXPECT_STREQ("b", nextToken(nullptr, ":"));
  EXPECT_STREQ("", nextToken(nullptr, ":"));
  EXPECT_STREQ("", nextToken(nullptr, ":"));
}

TEST(NextToken, LeadingSeparatorGivesEmptyFirstToken) {
  char text[] = ":x";
  EXPECT_STREQ("", nextToken(text, ":"));
  EXPECT_STREQ("x", nextToken(nullptr, ":"));
}

TEST(SplitFields, MatchesTheTokenizer) {
  EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), splitFields("a::b", ':'));
  EXPECT_EQ((std::vector<std::string>{""}), splitFields("", ':'));
  EXPECT_EQ((std::vector<std::string>{"", ""}), splitFields(":", ':'));
}

TEST(ParseEventData, UserLayoutFillsFifteenFieldsWithEmptyDefaults) {
  EventRecord r = parse("jdoe", kAddUser);
  EXPECT_EQ("jdoe", r.field(kName));
  for (int i = 1; i <= kFlag; ++i) {
    EXPECT_TRUE(r.has(i)) << i;
    EXPECT_EQ("", r.field(i)) << i;
  }
  EXPECT_FALSE(r.has(kMembers));
  EXPECT_FALSE(r.has(kNewName));

  EventRecord s = parse("jdoe::500::Joe:/home/jdoe", kModifyUser);
  EXPECT_EQ("", s.field(kPasswd));
  EXPECT_EQ("500", s.field(kUid));
  EXPECT_EQ("", s.field(kGid));
  EXPECT_EQ("Joe", s.field(kGecos));
  EXPECT_EQ("/home/jdoe", s.field(kHome));
  EXPECT_EQ("", s.field(kShell));

  EventRecord full = parse("u:p:1:2:g:/h:/s:H:3:4:5:6:7:8:9:extra:tokens:left", kQueryUser);
  EXPECT_EQ("H", full.field(kShadowPasswd));
  EXPECT_EQ("9", full.field(kFlag));
  // The parser's scan is over: continuing it yields nothing of the event.
  EXPECT_STREQ("", nextToken(nullptr, ":"));
}

TEST(ParseEventData, ModifyPasswordKeepsTokensTogetherAndEmptiesTheRest) {
  EventRecord r = parse("jo:T0ld,TNew", kModifyPassword);
  EXPECT_EQ("jo", r.field(kName));
  EXPECT_EQ("T0ld,TNew", r.field(kPasswd));
  for (int i = 2; i <= kFlag; ++i) EXPECT_TRUE(r.has(i));
  EXPECT_FALSE(r.has(kMembers));
}

TEST(ParseEventData, DeleteTakesTheWholeTextAndRenameSplitsAtComma) {
  EXPECT_EQ("a:b", parse("a:b", kDeleteUser).field(kName));
  EXPECT_EQ("g,h", parse("g,h", kDeleteGroup).field(kName));
  EventRecord r = parse("old,new", kRenameUser);
  EXPECT_EQ("old", r.field(kName));
  EXPECT_EQ("new", r.field(kNewName));
  EXPECT_FALSE(r.has(kPasswd));
  EventRecord lone = parse("old", kRenameGroup);
  EXPECT_TRUE(lone.has(kNewName));
  EXPECT_EQ("", lone.field(kNewName));
  EXPECT_EQ("a:b", parse("a:b,c", kRenameUser).field(kName));
}

TEST(ParseEventData, GroupLayoutUsesNamePasswordGidMembers) {
  EventRecord r = parse("staff:x:50:alice,bob:ignored", kAddGroup);
  EXPECT_EQ("staff", r.field(kName));
  EXPECT_EQ("x", r.field(kPasswd));
  EXPECT_EQ("50", r.field(kGid));
  EXPECT_EQ("alice,bob", r.field(kMembers));
  EXPECT_FALSE(r.has(kUid));
  EXPECT_FALSE(r.has(kGecos));
}

TEST(ParseEventData, RejectsMissingTextAndThePollRow) {
  resetErrorTrace();
  EventRecord r;
  EXPECT_EQ(kErrArgument, parseEventData(&r, "x", kPoll));
  EXPECT_STREQ("Error_parseEventData", errorTraceText());
  EXPECT_EQ(kErrArgument, parseEventData(&r, nullptr, kAddUser));
  EXPECT_EQ(kErrArgument, parseEventData(nullptr, "x", kAddUser));
  resetErrorTrace();
}

TEST(ReleaseRecord, ZeroesPasswordBytesAndDropsEveryField) {
  std::string secret = "a-password-long-enough-to-live-on-the-heap";
  const char* bytes = secret.data();
  std::size_t n = secret.size();
  wipeString(secret);  // clear() keeps the buffer, so its bytes can be read
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ('\0', bytes[i]) << i;

  EventRecord r = parse("u:secret:1:1:g:/h:/s:hash", kAddUser);
  releaseRecord(r);
  for (int i = 0; i < kFieldCount; ++i) EXPECT_FALSE(r.has(i));
}

TEST(Trace, AppendsNamesAndStopsAtTheCap) {
  resetErrorTrace();
  traceError("qvSystem");
  traceError("handleUserAdd");
  EXPECT_STREQ("Error_qvSystem_handleUserAdd", errorTraceText());

  resetErrorTrace();
  std::string chunk(100, 'x');
  for (int i = 0; i < 20; ++i) traceError(chunk.c_str());
  std::size_t len = std::strlen(errorTraceText());
  EXPECT_LE(len, kTraceCapacity + 1);
  EXPECT_GT(len, kTraceCapacity - 102);
  std::string before = errorTraceText();
  traceError("main");
  traceError(chunk.c_str());
  // Once full, a short name may still fit but nothing past the cap does.
  EXPECT_LE(std::strlen(errorTraceText()), kTraceCapacity + 5);
  EXPECT_EQ(0u, std::string(errorTraceText()).find(before));
  resetErrorTrace();
}

}  // namespace
