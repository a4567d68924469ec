// The modify-field convention in both directions: what a poll sends for a
// changed account, and how a modify event is applied to the stored record.
#include <gtest/gtest.h>

#include "core/event_record.h"
#include "publisher/change_detection.h"
#include "core/field_merge.h"

namespace {

TEST(FieldConvention, DiffSendsChangesAndStarsAndMergeUndoesIt) {
  struct Case { std::string fresh, old, sent; };
  for (const Case& c : {Case{"/bin/sh", "/bin/sh", ""}, Case{"/bin/zsh", "/bin/sh", "/bin/zsh"},
                        Case{"/bin/zsh", "", "/bin/zsh"}, Case{"", "Jo Smith", "*"}, Case{"", "", ""}}) {
    std::string sent = c.fresh;
    diffField(sent, c.old);
    EXPECT_EQ(c.sent, sent) << c.fresh << "/" << c.old;
    mergeField(sent, c.old);
    EXPECT_EQ(c.fresh, sent) << c.fresh << "/" << c.old;
  }
}

TEST(FieldConvention, MergeRecordsTouchUserFieldsAfterTheNameAndThreeGroupFields) {
  EventRecord event, current, groupEvent, groupCurrent;
  ASSERT_EQ(0, parseEventData(&event, "jo::::*::/bin/zsh::::::::", kModifyUser));
  ASSERT_EQ(0, parseEventData(&current, "jo:x:1000:100:Jo:/home/jo:/bin/sh:HASH:19000:0:99999:7:::", kAddUser));
  mergeUserRecord(event, current);
  for (auto [i, want] : {std::pair{kPasswd, "x"}, {kGecos, ""}, {kShell, "/bin/zsh"}, {kShadowPasswd, "HASH"},
                         {kMaxDays, "99999"}})
    EXPECT_EQ(want, event.field(i)) << i;
  ASSERT_EQ(0, parseEventData(&groupEvent, "staff:::*", kModifyGroup));
  ASSERT_EQ(0, parseEventData(&groupCurrent, "staff:x:50:a,b", kAddGroup));
  mergeGroupRecord(groupEvent, groupCurrent);
  EXPECT_EQ("x", groupEvent.field(kPasswd));
  EXPECT_EQ("50", groupEvent.field(kGid));
  EXPECT_EQ("", groupEvent.field(kMembers));
}

TEST(RecordDiff, UserDiffHasFifteenFieldsAndGroupDiffAnyLength) {
  const std::string old = "jo:x:1000:100:Jo Smith:/home/jo:/bin/sh:HASH:19000:0:99999:7::20000:";
  EXPECT_EQ("modifyUser:jo::::::/bin/zsh::::::::",
            diffUserRecords("jo:x:1000:100:Jo Smith:/home/jo:/bin/zsh:HASH:19000:0:99999:7::20000:", old));
  EXPECT_EQ("modifyUser:jo::::*::::::::::",
            diffUserRecords("jo:x:1000:100::/home/jo:/bin/sh:HASH:19000:0:99999:7::20000:", old));
  // Fields past the fifteenth are not compared.
  EXPECT_EQ("modifyUser:jo:::::::NEW:19500:::::*:1",
            diffUserRecords("jo:x:1000:100:Jo Smith:/home/jo:/bin/sh:NEW:19500:0:99999:7:::1", old + "::junk"));

  EXPECT_EQ("modifyGroup:staff:::a,b,c", diffGroupRecords("staff:x:50:a,b,c", "staff:x:50:a,b"));
  EXPECT_EQ("modifyGroup:staff:::*", diffGroupRecords("staff:x:50:", "staff:x:50:a,b"));
  EXPECT_EQ("modifyGroup:staff:!:60:", diffGroupRecords("staff:!:60:a", "staff:x:50:a"));
  std::string members;
  while (members.size() < 50000) members += "member" + std::to_string(members.size()) + ",";
  EXPECT_TRUE(diffGroupRecords("big:x:7:" + members, "big:x:7:a") == "modifyGroup:big:::" + members);
}

TEST(RecordDiff, UserRecordsTakeShadowDataWhenKnownAndAlwaysHaveFifteenFields) {
  UserRecord withShadow = makeUserRecord("jo:x:1:1:g:/h:/s", std::string("jo:H:1:0:9:7:::"));
  EXPECT_EQ("jo:x:1:1:g:/h:/s:H:1:0:9:7:::", withShadow.text);
  EXPECT_EQ(2, withShadow.passwordField);
  UserRecord without = makeUserRecord("jo:H:1:1:g:/h:/s", std::nullopt);
  EXPECT_EQ("jo:H:1:1:g:/h:/s::::::::", without.text);
  EXPECT_EQ(8, without.passwordField);
  // Short lines are padded, so no field slides into another's place.
  EXPECT_EQ("jo:x:1::::::::::::", makeUserRecord("jo:x:1", std::nullopt).text);
  EXPECT_EQ("jo:x:1:1:g:/h:/s:H:::::::", makeUserRecord("jo:x:1:1:g:/h:/s", std::string("jo:H")).text);
}

}  // namespace
