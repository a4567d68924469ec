// The publisher side against real files in the sandbox: the pending-password
// operations and the comparisons in-process, then whole polls of the real
// binary after changes made with the host's own account tools.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/dbm_file.h"
#include "core/result.h"
#include "core/trace.h"
#include "password/pass_cache.h"
#include "publisher/change_cache.h"
#include "publisher/change_detection.h"
#include "publisher/first_invocation.h"
#include "sandbox.h"

namespace {

// Runs in-process code inside the sandbox's working directory.
struct InWorkdir {
  std::string saved;
  explicit InWorkdir(const Sandbox& box) {
    char buf[4096];
    saved = getcwd(buf, sizeof buf);
    if (chdir(box.workdir().c_str()) != 0) throw std::runtime_error("chdir");
  }
  ~InWorkdir() {
    if (chdir(saved.c_str()) != 0) std::abort();
    resetErrorTrace();
  }
};

void pending(int backend, const std::string& name, const std::string& value) {
  DbmFile cache = openPassCache(backend);
  ASSERT_TRUE(cache.isOpen());
  ASSERT_EQ(0, cache.store(name, value));
}

std::optional<std::string> pendingValue(int backend, const std::string& name) {
  return openPassCache(backend).fetch(name);
}

// A snapshot database filled with name -> line for each line.
DbmFile snapshot(const std::string& file, const std::vector<std::string>& lines) {
  unlink(file.c_str());
  DbmFile db = DbmFile::open(file);
  for (const auto& l : lines) db.store(l.substr(0, l.find(':')), l);
  return db;
}

TEST(PassCache, InsertPutsTheNewTokenInPlaceAndKeepsFifteenFields) {
  Sandbox box;
  InWorkdir here(box);
  pending(0, "u", "O:N:1");
  std::string rec = "u:x:1:1:g:/h:/s:H:1:0:9:7:::";
  EXPECT_EQ(kOk, insertCachedPassword(0, rec, 2));
  EXPECT_EQ("u:N:1:1:g:/h:/s:H:1:0:9:7:::", rec);
  rec = "u:H:1:1:g:/h:/s::::::::";
  EXPECT_EQ(kOk, insertCachedPassword(0, rec, 8));
  EXPECT_EQ("u:H:1:1:g:/h:/s:N:::::::", rec);
  // Another user, another backend's store: unchanged, still 0.
  rec = "v:x:1:1:g:/h:/s::::::::";
  EXPECT_EQ(kOk, insertCachedPassword(0, rec, 2));
  EXPECT_EQ("v:x:1:1:g:/h:/s::::::::", rec);
  rec = "u:x:1:1:g:/h:/s::::::::";
  EXPECT_EQ(kOk, insertCachedPassword(1, rec, 2));
  EXPECT_EQ("u:x:1:1:g:/h:/s::::::::", rec);
}

TEST(PassCache, ConsumeMarksPublishedAndPurgeKeepsWaitingEntries) {
  Sandbox box;
  InWorkdir here(box);
  pending(1, "u", "O:N:1");
  pending(1, "w", ":M:1");
  std::string data;
  EXPECT_EQ(kOk, consumeCachedPassword(1, "u", &data));
  EXPECT_EQ("u:O,N", data);
  EXPECT_EQ("O:N:0", pendingValue(1, "u").value_or(""));
  // Until a purge it can be published again, the same data.
  EXPECT_EQ(kOk, consumeCachedPassword(1, "u", &data));
  EXPECT_EQ("u:O,N", data);
  data = "untouched";
  EXPECT_EQ(kErrNoSuchAccount, consumeCachedPassword(1, "nobody", &data));
  EXPECT_EQ("untouched", data);

  EXPECT_EQ(kOk, purgePasswordCache(1));
  EXPECT_FALSE(pendingValue(1, "u"));
  EXPECT_EQ(":M:1", pendingValue(1, "w").value_or(""));
}

TEST(PassCache, PurgeEmptiesAStoreOfPublishedEntriesWhateverTheOrder) {
  Sandbox box;
  InWorkdir here(box);
  for (int i = 0; i < 300; ++i) pending(2, "user" + std::to_string(i), "O:N:0");
  EXPECT_EQ(kOk, purgePasswordCache(2));
  DbmFile cache = openPassCache(2);
  EXPECT_TRUE(Datum(gdbm_firstkey(cache.get())).empty());
}

TEST(PassCache, AStoreHeldByAnotherWriterIsMinusOne) {
  Sandbox box;
  InWorkdir here(box);
  pending(0, "u", "O:N:1");
  pid_t holder = fork();
  if (holder == 0) {
    DbmFile held = openPassCache(0);
    pause();
    _exit(0);
  }
  usleep(200000);
  std::string rec = "u:x::::::::::::::", data;
  EXPECT_EQ(kErrOpen, insertCachedPassword(0, rec, 2));
  EXPECT_EQ(kErrOpen, consumeCachedPassword(0, "u", &data));
  EXPECT_EQ(kErrOpen, purgePasswordCache(0));
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
}


bool followedBy(const std::vector<std::string>& lines, const std::string& first, const std::string& next) {
  auto at = std::find(lines.begin(), lines.end(), first);
  return at != lines.end() && at + 1 != lines.end() && at[1] == next;
}

bool has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(Comparison, UserLinesWithPendingPasswordsWhichStayUntilThePollPurges) {
  Sandbox box;
  InWorkdir here(box);
  for (int backend : {0, 1}) {
    std::string pub = publicationFileName(backend);
    snapshot(committedSnapshotName(backend, SnapshotTable::kPasswd),
             {"gone:x:5:5::/:/bin/sh", "same:x:6:6:S:/s:/bin/sh", "jo:x:7:7:Jo:/j:/bin/sh",
              "noshadow:x:8:8::/n:/bin/sh"});
    snapshot(committedSnapshotName(backend, SnapshotTable::kShadow),
             {"same:H1:1:0:9:7:::", "jo:H2:1:0:9:7:::"});
    DbmFile pw = snapshot(newSnapshotName(backend, SnapshotTable::kPasswd),
                          {"same:x:6:6:S:/s:/bin/sh", "jo:x:7:7::/j:/bin/zsh", "new:x:9:9::/n:/bin/sh",
                           "noshadow:x:8:8::/n:/bin/sh"});
    DbmFile sh = snapshot(newSnapshotName(backend, SnapshotTable::kShadow),
                          {"same:H1:1:0:9:7:::", "jo:H3:2:0:9:7:::", "new:H4:1:0:9:7:::",
                           "noshadow:H5:1:0:9:7:::"});
    pending(backend, "new", "O:N:1");
    pending(backend, "jo", ":M:1");
    pending(backend, "same", "A:B:1");

    ASSERT_EQ(kOk, processIncrementalUserChanges(pw.get(), sh.get(), backend)) << errorTraceText();
    auto lines = box.lines(box.work(pub));
    EXPECT_EQ(6u, lines.size()) << box.read(box.work(pub));
    EXPECT_TRUE(has(lines, "deleteUser:gone"));
    EXPECT_TRUE(followedBy(lines, "addUser:new:N:9:9::/n:/bin/sh:H4:1:0:9:7:::", "modifyPassword:new:O,N"));
    // The difference carries the token where the committed record held its
    // password: field 2, as the committed shadow snapshot knows the user.
    EXPECT_TRUE(followedBy(lines, "modifyUser:jo:M:::*::/bin/zsh:H3:2::::::", "modifyPassword:jo:,M"));
    // Shadow data only in the new generation: compared, and the token goes
    // into field 8.
    EXPECT_TRUE(has(lines, "modifyUser:noshadow:::::::H5:1:0:9:7:::")) << box.read(box.work(pub));
    // Published but kept until the poll has its answer; unchanged users'
    // entries wait in state 1.
    EXPECT_EQ("O:N:0", pendingValue(backend, "new").value_or(""));
    EXPECT_EQ(":M:0", pendingValue(backend, "jo").value_or(""));
    EXPECT_EQ("A:B:1", pendingValue(backend, "same").value_or(""));
  }
}

TEST(Comparison, WithoutShadowDataAShadowChangeAloneIsNoChange) {
  Sandbox box;
  InWorkdir here(box);
  snapshot("passwd.log", {"jo:x:7:7::/j:/bin/sh"});
  snapshot("shadow.log", {"jo:H:1:0:9:7:::"});
  DbmFile pw = snapshot("passwd.log.tmp", {"jo:x:7:7::/j:/bin/sh", "an:x:8:8::/a:/bin/sh"});
  ASSERT_EQ(kOk, processIncrementalUserChanges(pw.get(), nullptr, 0));
  EXPECT_EQ("addUser:an:x:8:8::/a:/bin/sh::::::::\n", box.read(box.work("files.pub")));
}

TEST(Comparison, GroupsEmptyThePublicationAndResolveOverflowInBothGenerations) {
  Sandbox box;
  InWorkdir here(box);
  std::string bigOld = "big:x:7:" + std::string(1500, 'a');
  std::string bigNew = "big:x:7:" + std::string(1500, 'a') + ",zed";
  box.write(box.work("old-big"), bigOld);
  box.write(box.work("new-big"), bigNew);
  box.write(box.work("files.pub"), "addUser:stale::::::::::::::\n");
  snapshot("group.log", {"gone:x:1:", "staff:x:50:a,b", "keep:x:3:k"});
  DbmFile db = DbmFile::open("group.log");
  db.store("big", "file://./old-big");
  db.close();
  DbmFile fresh = snapshot("group.log.tmp", {"staff:x:50:a,b,c", "keep:x:3:k", "new:x:9:"});
  fresh.store("big", "file://./new-big");

  ASSERT_EQ(kOk, processIncrementalGroupChanges(fresh.get(), 0));
  auto lines = box.lines(box.work("files.pub"));
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ((std::vector<std::string>{"addGroup:new:x:9:", "deleteGroup:gone", "modifyGroup:big:::" +
                                          bigNew.substr(8),
                                      "modifyGroup:staff:::a,b,c"}),
            lines);

  unlink("new-big");
  EXPECT_EQ(kErrNotFound, processIncrementalGroupChanges(fresh.get(), 0));
  EXPECT_STREQ("Error_processIncrementalGroupChanges", errorTraceText());
}

TEST(Comparison, FirstInvocationReportsGroupsThenUsersResolvedAndPending) {
  Sandbox box;
  InWorkdir here(box);
  std::string big = "big:x:7:" + std::string(49990, 'm');
  box.write(box.work("big-one"), big);
  DbmFile grp = snapshot("group.byname.log.tmp", {"staff:x:50:jo"});
  grp.store("big", "file://./big-one");
  grp.store("YP_LAST_MODIFIED", "1700000000");
  DbmFile pw = snapshot("passwd.byname.log.tmp", {"jo:x:7:7::/j:/bin/sh", "an:x:8:8::/a:/bin/sh"});
  pending(1, "an", "O:N:1");

  ASSERT_EQ(kOk, processFirstPublisherInvocation(pw.get(), nullptr, grp.get(), 1));
  auto lines = box.lines(box.work("nis.pub"));
  ASSERT_EQ(5u, lines.size());
  EXPECT_TRUE(lines[0].starts_with("addGroup:") && lines[1].starts_with("addGroup:"));
  EXPECT_TRUE(has(lines, "addGroup:" + big));
  EXPECT_TRUE(has(lines, "addUser:jo:x:7:7::/j:/bin/sh::::::::"));
  EXPECT_TRUE(followedBy(lines, "addUser:an:x:8:8::/a:/bin/sh:N:::::::", "modifyPassword:an:O,N"));
  EXPECT_EQ("O:N:0", pendingValue(1, "an").value_or(""));

  // Empty snapshots: nothing, and success.
  unlink("nis.pub");
  DbmFile none = snapshot("empty.tmp", {});
  EXPECT_EQ(kOk, processFirstPublisherInvocation(none.get(), nullptr, none.get(), 1));
  EXPECT_EQ("", box.read(box.work("nis.pub")));
}

}  // namespace
