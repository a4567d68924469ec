// The modify-field convention in both directions: what a poll sends for a
// changed account and how a modify event is applied to the stored record.
#include <gtest/gtest.h>

#include "core/event_record.h"
#include "publisher/change_detection.h"
#include "publisher/field_merge.h"

namespace {

std::string diffed(std::string fresh, const std::string& old) {
  diffField(fresh, old);
  return fresh;
}

std::string merged(std::string event, const std::string& current) {
  mergeField(event, current);
  return event;
}

TEST(DiffField, SendsOnlyChangesAndMarksClearedFieldsWithStar) {
  EXPECT_EQ("", diffed("/bin/sh", "/bin/sh"));
  EXPECT_EQ("/bin/zsh", diffed("/bin/zsh", "/bin/sh"));
  EXPECT_EQ("/bin/zsh", diffed("/bin/zsh", ""));
  EXPECT_EQ("*", diffed("", "Jo Smith"));
  EXPECT_EQ("", diffed("", ""));
}

TEST(MergeField, ReversesTheConvention) {
  EXPECT_EQ("/bin/sh", merged("", "/bin/sh"));
  EXPECT_EQ("", merged("*", "/bin/sh"));
  EXPECT_EQ("/bin/zsh", merged("/bin/zsh", "/bin/sh"));
  // Whatever diffField sends, merging it onto the old value gives the new one.
  for (auto [fresh, old] : {std::pair<std::string, std::string>{"a", "a"}, {"a", "b"}, {"", "b"}, {"", ""}, {"a", ""}})
    EXPECT_EQ(fresh, merged(diffed(fresh, old), old)) << fresh << "/" << old;
}

TEST(MergeRecords, UserFieldsAfterTheNameAndTheThreeGroupFields) {
  EventRecord event, current;
  ASSERT_EQ(0, parseEventData(&event, "jo::::*::/bin/zsh::::::::", kModifyUser));
  ASSERT_EQ(0, parseEventData(&current, "jo:x:1000:100:Jo:/home/jo:/bin/sh:HASH:19000:0:99999:7:::", kAddUser));
  mergeUserRecord(event, current);
  EXPECT_EQ("jo", event.field(kName));
  EXPECT_EQ("x", event.field(kPasswd));
  EXPECT_EQ("1000", event.field(kUid));
  EXPECT_EQ("", event.field(kGecos));
  EXPECT_EQ("/bin/zsh", event.field(kShell));
  EXPECT_EQ("HASH", event.field(kShadowPasswd));
  EXPECT_EQ("99999", event.field(kMaxDays));

  EventRecord groupEvent, groupCurrent;
  ASSERT_EQ(0, parseEventData(&groupEvent, "staff:::*", kModifyGroup));
  ASSERT_EQ(0, parseEventData(&groupCurrent, "staff:x:50:a,b", kAddGroup));
  mergeGroupRecord(groupEvent, groupCurrent);
  EXPECT_EQ("x", groupEvent.field(kPasswd));
  EXPECT_EQ("50", groupEvent.field(kGid));
  EXPECT_EQ("", groupEvent.field(kMembers));
}

TEST(DiffUserRecords, CarriesTheNameAndOnlyChangedFieldsInFifteen) {
  const std::string old = "jo:x:1000:100:Jo Smith:/home/jo:/bin/sh:HASH:19000:0:99999:7:::";
  EXPECT_EQ("modifyUser:jo::::::/bin/zsh::::::::",
            diffUserRecords("jo:x:1000:100:Jo Smith:/home/jo:/bin/zsh:HASH:19000:0:99999:7:::", old));
  EXPECT_EQ("modifyUser:jo::::*::::::::::",
            diffUserRecords("jo:x:1000:100::/home/jo:/bin/sh:HASH:19000:0:99999:7:::", old));
  // A shadow-only change; fields past the fifteenth are not compared.
  EXPECT_EQ("modifyUser:jo:::::::NEW:19500:::::*:1",
            diffUserRecords("jo:x:1000:100:Jo Smith:/home/jo:/bin/sh:NEW:19500:0:99999:7:::1",
                            "jo:x:1000:100:Jo Smith:/home/jo:/bin/sh:HASH:19000:0:99999:7::20000:::junk"));
}

TEST(DiffGroupRecords, MemberListsTravelWholeAndLongLinesAreNotCut) {
  EXPECT_EQ("modifyGroup:staff:::a,b,c", diffGroupRecords("staff:x:50:a,b,c", "staff:x:50:a,b"));
  EXPECT_EQ("modifyGroup:staff:::*", diffGroupRecords("staff:x:50:", "staff:x:50:a,b"));
  EXPECT_EQ("modifyGroup:staff:!:60:", diffGroupRecords("staff:!:60:a", "staff:x:50:a"));

  std::string members;
  while (members.size() < 50000) members += "member" + std::to_string(members.size()) + ",";
  members.pop_back();
  std::string line = diffGroupRecords("big:x:7:" + members, "big:x:7:a");
  EXPECT_EQ("modifyGroup:big:::" + members, line);
  EXPECT_GT(line.size(), 50000u);
}

TEST(MakeUserRecord, ShadowDataDecidesThePasswordFieldAndFifteenFieldsAlways) {
  UserRecord withShadow = makeUserRecord("jo:x:1:1:g:/h:/s", std::string("jo:H:1:0:9:7:::"));
  EXPECT_EQ("jo:x:1:1:g:/h:/s:H:1:0:9:7:::", withShadow.text);
  EXPECT_EQ(2, withShadow.passwordField);

  UserRecord without = makeUserRecord("jo:H:1:1:g:/h:/s", std::nullopt);
  EXPECT_EQ("jo:H:1:1:g:/h:/s::::::::", without.text);
  EXPECT_EQ(8, without.passwordField);

  // Short or truncated lines still give 15 fields, so no field slides into
  // another's place at the engine.
  EXPECT_EQ("jo:x:1::::::::::::", makeUserRecord("jo:x:1", std::nullopt).text);
  EXPECT_EQ("jo:x:1:1:g:/h:/s:H:::::::", makeUserRecord("jo:x:1:1:g:/h:/s", std::string("jo:H")).text);
}

}  // namespace
