// The value of a pending-password entry: "<old>:<new>:<state>", read and
// written only by the store.
#include <gtest/gtest.h>

#include <unistd.h>

#include "password/pending_password_store.h"
#include "support/dbm_read.h"
#include "support/temp_dir.h"

namespace {

TEST(PendingPasswordStore, RecordsAndLoadsTheValueAndReadsDamagedOnesWithoutInventingTokens) {
  TempDir temp;
  const std::string base = temp.path();
  DbmFile store = DbmFile::open(base + "/store");
  ASSERT_EQ(0, recordPendingPassword(store, "jo", {"OLD", "NEW", "1"}));
  EXPECT_EQ("OLD:NEW:1", valueOf(store, "jo").value_or(""));
  std::optional<PendingPassword> entry;
  ASSERT_EQ(0, loadPendingPassword(store, "jo", &entry));
  ASSERT_TRUE(entry);
  EXPECT_EQ("OLD", entry->oldToken);
  EXPECT_EQ("NEW", entry->newToken);
  EXPECT_TRUE(entry->waiting());
  ASSERT_EQ(0, loadPendingPassword(store, "nobody", &entry));
  EXPECT_FALSE(entry);

  // {value, old, new, state}: the state after the last colon, the tokens
  // before it split at their first.
  const char* cases[][4] = {{":NEW:1", "", "NEW", "1"}, {"OLD:NEW:0", "OLD", "NEW", "0"},
                            {"OLD:2", "OLD", "", "2"},   {"a:b:c:d", "a", "b:c", "d"},
                            {"nocolon", "", "", ""},     {"", "", "", ""}};
  for (const auto& c : cases) {
    PendingPassword parsed = parsePendingPassword(c[0]);
    EXPECT_EQ(c[1], parsed.oldToken) << c[0];
    EXPECT_EQ(c[2], parsed.newToken) << c[0];
    EXPECT_EQ(c[3], parsed.state) << c[0];
  }
  EXPECT_FALSE(parsePendingPassword("O:N:0").waiting());
  EXPECT_TRUE(parsePendingPassword("O:N:2").waiting());
  store.close();
}

}  // namespace
