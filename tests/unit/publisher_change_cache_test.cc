// Walking snapshot databases and reading overflow files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <unistd.h>

#include "core/dbm_file.h"
#include "publisher/change_cache.h"

namespace {

struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/kdl2nis-cache-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string at(const std::string& name) const { return path + "/" + name; }
};

std::vector<std::string> keysOf(GDBM_FILE db) {
  std::vector<std::string> keys;
  walkMapKeys(db, [&](const Datum& k) {
    keys.push_back(k.text());
    return true;
  });
  return keys;
}

TEST(NextMapKey, PassesOverEveryBookkeepingKeyOfAMap) {
  TempDir dir;
  DbmFile db = DbmFile::open(dir.at("map"));
  ASSERT_TRUE(db.isOpen());
  for (const char* k : {"YP_INPUT_NAME", "YP_OUTPUT_NAME", "YP_MASTER_NAME", "YP_LAST_MODIFIED", "YP_SECURE",
                        "YP_INTERDOMAIN"})
    db.store(k, "x");
  EXPECT_TRUE(keysOf(db.get()).empty());

  for (const char* k : {"jo", "ann", "YP_SECURITY", "yp_secure"}) db.store(k, "v");
  auto keys = keysOf(db.get());
  EXPECT_EQ((std::set<std::string>{"jo", "ann", "YP_SECURITY", "yp_secure"}),
            std::set<std::string>(keys.begin(), keys.end()));
  EXPECT_EQ(4u, keys.size());
  EXPECT_TRUE(nextMapKey(nullptr, Datum()).empty());
}

TEST(NextMapKey, WalksAMapThatTheHostsMakedbmBuilt) {
  TempDir dir;
  std::string cmd = "cd '" + dir.path + "' && printf 'jo jo:x:1:1::/:/bin/sh\\nann ann:x:2:2::/:/bin/sh\\n' | " +
                    "/usr/lib/yp/makedbm - map 2>/dev/null";
  if (access("/usr/lib/yp/makedbm", X_OK) != 0) GTEST_SKIP() << "no makedbm on this host";
  ASSERT_EQ(0, std::system(cmd.c_str()));
  DbmFile db = DbmFile::open(dir.at("map"));
  ASSERT_TRUE(db.isOpen());
  auto keys = keysOf(db.get());
  EXPECT_EQ((std::set<std::string>{"jo", "ann"}), std::set<std::string>(keys.begin(), keys.end()));
  EXPECT_EQ("jo:x:1:1::/:/bin/sh", fetchValue(db.get(), "jo").value_or(""));
}

TEST(OverflowFile, WholeRecordTrailingBreakDroppedEmptyOrMissingRefused) {
  TempDir dir;
  std::string record;
  std::ofstream(dir.at("a")) << "g:x:1:" << std::string(60000, 'm');
  ASSERT_EQ(OverflowRead::kOk, readOverflowFile(dir.at("a"), &record));
  EXPECT_EQ(60006u, record.size());
  std::ofstream(dir.at("b")) << "g:x:1:a b\n";
  ASSERT_EQ(OverflowRead::kOk, readOverflowFile(dir.at("b"), &record));
  EXPECT_EQ("g:x:1:a b", record);
  std::ofstream(dir.at("c")) << "";
  EXPECT_EQ(OverflowRead::kCannotRead, readOverflowFile(dir.at("c"), &record));
  EXPECT_EQ(OverflowRead::kCannotOpen, readOverflowFile(dir.at("none"), &record));
  EXPECT_TRUE(isOverflowReference("file://./d.overflow/17000000000"));
  EXPECT_EQ("./d.overflow/17000000000", overflowPath("file://./d.overflow/17000000000"));
  EXPECT_FALSE(isOverflowReference("files:x:1:"));
}

TEST(SnapshotNames, NisSelectorUsesMapNamesAnyOtherTheFilesNames) {
  EXPECT_EQ("passwd.byname.log", committedSnapshotName(1, SnapshotTable::kPasswd));
  EXPECT_EQ("shadow.byname.log.tmp", newSnapshotName(1, SnapshotTable::kShadow));
  EXPECT_EQ("group.log", committedSnapshotName(0, SnapshotTable::kGroup));
  EXPECT_EQ("passwd.log.tmp", newSnapshotName(0, SnapshotTable::kPasswd));
  EXPECT_STREQ("nis.pub", publicationFileName(1));
  EXPECT_STREQ("files.pub", publicationFileName(0));
}

}  // namespace
