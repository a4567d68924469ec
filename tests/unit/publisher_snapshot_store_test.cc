// Walking snapshot databases.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <unistd.h>

#include "core/event_record.h"
#include "publisher/snapshot_store.h"
#include "support/dbm_read.h"
#include "support/temp_dir.h"

namespace {

std::set<std::string> keysOf(GDBM_FILE db) {
  std::set<std::string> keys;
  walkMapKeys(db, [&](const Datum& k) { return keys.insert(k.text()), true; });
  return keys;
}

TEST(SnapshotWalk, PassesOverMapBookkeepingKeysAlsoInAMapTheHostsMakedbmBuilt) {
  TempDir temp;
  const std::string base = temp.path();
  DbmFile db = openSnapshot(base + "/map");
  for (const char* k : {"YP_INPUT_NAME", "YP_OUTPUT_NAME", "YP_MASTER_NAME", "YP_LAST_MODIFIED", "YP_SECURE",
                        "YP_INTERDOMAIN"})
    db.store(k, "x");
  EXPECT_TRUE(keysOf(db.get()).empty());
  for (const char* k : {"jo", "YP_SECURITY", "yp_secure"}) db.store(k, "v");
  EXPECT_EQ((std::set<std::string>{"jo", "YP_SECURITY", "yp_secure"}), keysOf(db.get()));
  Datum none;
  EXPECT_EQ(0, nextMapKey(nullptr, Datum(), &none));
  EXPECT_TRUE(none.empty());

  std::string cmd = "cd '" + base + "' && printf 'jo jo:x:1:1::/:/bin/sh\\nann ann:x:2:2::/:/bin/sh\\n' | " +
                    "/usr/lib/yp/makedbm - made 2>/dev/null";
  ASSERT_EQ(0, std::system(cmd.c_str()));
  DbmFile made = openSnapshot(base + "/made");
  EXPECT_EQ((std::set<std::string>{"jo", "ann"}), keysOf(made.get()));
  EXPECT_EQ("jo:x:1:1::/:/bin/sh", valueOf(made, "jo").value_or(""));
}

TEST(SnapshotNames, EachTableByNameAndItsGenerationsPerBackend) {
  const char* files[] = {"passwd.log", "shadow.log", "group.log"};
  for (int t = 0; t < kSnapshotTables; ++t) {
    auto table = static_cast<SnapshotTable>(t);
    EXPECT_EQ(table, snapshotTableNamed(snapshotTableName(table)));
    EXPECT_EQ(files[t], committedSnapshotName(kFiles, table));
    EXPECT_EQ(std::string(snapshotTableName(table)) + ".byname.log.tmp", newSnapshotName(kNis, table));
  }
  EXPECT_FALSE(snapshotTableNamed("passwd.log"));
}

}  // namespace
