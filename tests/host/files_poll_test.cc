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
#include "core/event_record.h"
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

// One poll as the engine runs it: the events are read until the shim closes
// standard output; check() then looks at the state before the engine
// answers; closing standard input is the answer.
struct Poll {
  std::string out;
  RunResult end;
};

template <typename Check>
Poll pollFiles(Sandbox& box, Check check, const Argv& extra = {}) {
  Argv args{"-n", "files", "-p", ""};
  args.insert(args.end(), extra.begin(), extra.end());
  pid_t pid = box.startShim(args);
  Poll p;
  p.out = box.readUntilStdoutClosed(pid);
  check();
  p.end = box.finish(pid);
  p.end.out = p.out;
  return p;
}

Poll pollFiles(Sandbox& box, const Argv& extra = {}) {
  return pollFiles(box, [] {}, extra);
}

std::string shadowTail(Sandbox& box, const std::string& name) {
  std::string line = box.entry("/etc/shadow", name);
  return line.substr(line.find(':'));
}

std::string userRecord(Sandbox& box, const std::string& name) {
  return box.entry("/etc/passwd", name) + shadowTail(box, name);
}

void mustRun(Sandbox& box, const std::string& command) {
  RunResult r = box.sh(command);
  ASSERT_EQ(0, r.status) << command << ": " << r.err;
}

long mtime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_mtime) : -2;
}

// Moves a file's modification time back, so that the poll trusts it (a
// time of the current second is compared again by the next poll). Every
// call gives a new time, as a real change would.
void age(Sandbox& box, const std::string& path) {
  static int step = 0;
  mustRun(box, "touch -d @$(( $(date +%s) - 10000 + " + std::to_string(++step) + " )) " + path);
}

void ageAll(Sandbox& box) {
  for (const char* f : {"/etc/passwd", "/etc/shadow", "/etc/group"}) age(box, f);
}

TEST(FilesPoll, FirstPollPublishesEveryAccountReorderedAndCommitsOnlyAfterTheAnswer) {
  Sandbox box;
  ageAll(box);
  Poll p = pollFiles(box, [&] {
    EXPECT_FALSE(box.exists(box.work("qvnisfiles.stamp")));
    EXPECT_FALSE(box.exists(box.work("passwd.log")));
    EXPECT_TRUE(box.exists(box.work("group.log.tmp")));
  });
  ASSERT_EQ(0, p.end.status) << p.end.err;
  auto out = splitLines(p.out);
  auto groups = box.lines("/etc/group");
  auto users = box.lines("/etc/passwd");
  ASSERT_EQ(2 * groups.size() + users.size(), out.size()) << p.out;
  std::vector<std::string> expectedAdds, expectedUsers, expectedMembers;
  for (const auto& g : groups) {
    auto f = splitFields(g, ':');
    expectedAdds.push_back("addGroup:" + f[0] + ":" + f[1] + ":" + f[2] + ":");
    expectedMembers.push_back("modifyGroup:" + f[0] + ":::" + f[3]);
  }
  for (const auto& u : users) {
    std::string name = u.substr(0, u.find(':'));
    expectedUsers.push_back("addUser:" + userRecord(box, name));
  }
  auto section = [&](std::size_t from, std::size_t count) {
    std::vector<std::string> part(out.begin() + from, out.begin() + from + count);
    std::sort(part.begin(), part.end());
    return part;
  };
  std::sort(expectedAdds.begin(), expectedAdds.end());
  std::sort(expectedUsers.begin(), expectedUsers.end());
  std::sort(expectedMembers.begin(), expectedMembers.end());
  EXPECT_EQ(expectedAdds, section(0, groups.size()));
  EXPECT_EQ(expectedUsers, section(groups.size(), users.size()));
  EXPECT_EQ(expectedMembers, section(groups.size() + users.size(), groups.size()));

  EXPECT_EQ(std::to_string(mtime("/etc/passwd")) + " " + std::to_string(mtime("/etc/shadow")) + " " +
                std::to_string(mtime("/etc/group")),
            box.read(box.work("qvnisfiles.stamp")));
  for (const char* f : {"passwd.log", "shadow.log", "group.log"}) EXPECT_TRUE(box.exists(box.work(f))) << f;
  for (const char* f : {"passwd.log.tmp", "shadow.log.tmp", "group.log.tmp", "files.pub", "platformdbm.tmp"})
    EXPECT_FALSE(box.exists(box.work(f))) << f;

  // Unchanged: nothing printed, nothing committed.
  std::string stamp = box.read(box.work("qvnisfiles.stamp"));
  struct stat before, after;
  stat(box.work("passwd.log").c_str(), &before);
  Poll again = pollFiles(box);
  EXPECT_EQ(0, again.end.status);
  EXPECT_EQ("", again.out);
  stat(box.work("passwd.log").c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(stamp, box.read(box.work("qvnisfiles.stamp")));
}

TEST(FilesPoll, ChangesMadeWithTheHostsToolsArePublishedExactly) {
  Sandbox box;
  mustRun(box, "useradd -c 'Old Name' -s /bin/sh olduser && useradd -s /bin/sh keeper");
  ageAll(box);
  ASSERT_EQ(0, pollFiles(box).end.status);

  mustRun(box, "useradd -c 'Jo Smith' -s /bin/sh jo && groupadd -g 4321 crew && gpasswd -a jo crew >/dev/null");
  ageAll(box);
  Poll added = pollFiles(box);
  ASSERT_EQ(0, added.end.status) << added.end.err;
  std::string joGroup = box.entry("/etc/group", "jo");
  auto jg = splitFields(joGroup, ':');
  std::vector<std::string> expected{"addGroup:crew:x:4321:", "addGroup:" + jg[0] + ":" + jg[1] + ":" + jg[2] + ":",
                                   "addUser:" + userRecord(box, "jo"), "modifyGroup:crew:::jo",
                                   "modifyGroup:jo:::"};
  EXPECT_EQ(expected,
            [&] {
              auto l = splitLines(added.out);
              // the two groups come in walk order
              if (l.size() == 5 && l[0] > l[1]) std::swap(l[0], l[1]);
              if (l.size() == 5 && l[3] > l[4]) std::swap(l[3], l[4]);
              return l;
            }());

  mustRun(box, "usermod -s /bin/bash jo && chage -M 77 keeper && userdel olduser && groupdel crew");
  ageAll(box);
  Poll changed = pollFiles(box);
  ASSERT_EQ(0, changed.end.status) << changed.end.err;
  auto lines = splitLines(changed.out);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(std::vector<std::string>({"deleteGroup:crew", "deleteGroup:olduser", "deleteUser:olduser",
                                      "modifyUser:jo::::::/bin/bash::::::::",
                                      "modifyUser:keeper::::::::::77::::"}),
            lines);
}

TEST(FilesPoll, WithoutShadowNoShadowSnapshotAndShadowChangesAreNotReported) {
  Sandbox box;
  mustRun(box, "useradd -s /bin/sh jo");
  ageAll(box);
  Poll first = pollFiles(box, {"-s"});
  ASSERT_EQ(0, first.end.status) << first.end.err;
  EXPECT_NE(std::string::npos, first.out.find("addUser:" + box.entry("/etc/passwd", "jo") + "::::::::\n"));
  EXPECT_EQ(std::to_string(mtime("/etc/passwd")) + " 0 " + std::to_string(mtime("/etc/group")),
            box.read(box.work("qvnisfiles.stamp")));
  EXPECT_FALSE(box.exists(box.work("shadow.log")));

  mustRun(box, "chage -M 77 jo");
  age(box, "/etc/shadow");
  Poll second = pollFiles(box, {"-s"});
  EXPECT_EQ(0, second.end.status);
  EXPECT_EQ("", second.out);
}

TEST(FilesPoll, PendingPasswordFollowsItsUserAndIsPurgedOnlyAfterTheAnswer) {
  Sandbox box;
  mustRun(box, "useradd -s /bin/sh jo");
  ageAll(box);
  ASSERT_EQ(0, pollFiles(box).end.status);
  pending(0, "jo", "OLD:NEW:1");
  pending(0, "other", "A:B:1");

  mustRun(box, "usermod -s /bin/bash jo");
  ageAll(box);
  Poll p = pollFiles(box, [&] { EXPECT_EQ("OLD:NEW:0", pendingValue(0, "jo").value_or("")); });
  ASSERT_EQ(0, p.end.status) << p.end.err;
  EXPECT_EQ("modifyUser:jo:NEW:::::/bin/bash::::::::\nmodifyPassword:jo:OLD,NEW\n", p.out);
  EXPECT_FALSE(pendingValue(0, "jo"));
  EXPECT_EQ("A:B:1", pendingValue(0, "other").value_or(""));
}

TEST(FilesPoll, StoppedWhileWaitingForTheAnswerCommitsNothingAndTheNextPollRepublishes) {
  Sandbox box;
  ageAll(box);
  ASSERT_EQ(0, pollFiles(box).end.status);
  std::string stamp = box.read(box.work("qvnisfiles.stamp"));
  mustRun(box, "useradd -s /bin/sh jo");
  ageAll(box);
  pending(0, "jo", "OLD:NEW:1");

  pid_t pid = box.startShim({"-n", "files", "-p", ""});
  std::string out = box.readUntilStdoutClosed(pid);
  kill(pid, SIGTERM);
  RunResult stopped = box.finish(pid);
  EXPECT_EQ(0, stopped.status);
  EXPECT_NE(std::string::npos, out.find("\nmodifyPassword:jo:OLD,NEW\n")) << out;
  EXPECT_EQ(stamp, box.read(box.work("qvnisfiles.stamp")));
  for (const char* f : {"passwd.log.tmp", "shadow.log.tmp", "group.log.tmp"}) EXPECT_FALSE(box.exists(box.work(f)));
  EXPECT_EQ("OLD:NEW:0", pendingValue(0, "jo").value_or(""));

  Poll again = pollFiles(box);
  EXPECT_EQ(0, again.end.status);
  EXPECT_EQ(out, again.out);
  EXPECT_FALSE(pendingValue(0, "jo"));
  EXPECT_NE(stamp, box.read(box.work("qvnisfiles.stamp")));
}

TEST(FilesPoll, AChangeInTheSecondTheTimeWasReadIsPublishedByTheNextPoll) {
  Sandbox box;
  ageAll(box);
  ASSERT_EQ(0, pollFiles(box).end.status);
  // The group file changes in the very second the poll reads its time...
  mustRun(box, "touch -d @$(date +%s) /etc/group");
  long readSecond = mtime("/etc/group");
  Poll p = pollFiles(box);
  ASSERT_EQ(0, p.end.status);
  // ...and once more, later in that second (the time stays the same).
  mustRun(box, "groupadd -g 4444 late && touch -d @" + std::to_string(readSecond) + " /etc/group");
  ASSERT_EQ(readSecond, mtime("/etc/group"));
  Poll next = pollFiles(box);
  ASSERT_EQ(0, next.end.status);
  EXPECT_EQ("addGroup:late:x:4444:\nmodifyGroup:late:::\n", next.out);
}

TEST(FilesPoll, LongGroupsTravelWholeThroughOverflowFilesThatDoNotPileUp) {
  Sandbox box;
  std::string members;
  for (int i = 0; members.size() < 49000; ++i) members += "member" + std::to_string(i) + ",";
  members.pop_back();
  mustRun(box, "echo 'big:x:5555:" + members + "' >> /etc/group");
  ageAll(box);
  Poll first = pollFiles(box);
  ASSERT_EQ(0, first.end.status) << first.end.err;
  EXPECT_NE(std::string::npos, first.out.find("\naddGroup:big:x:5555:\n"));
  EXPECT_NE(std::string::npos, first.out.find("\nmodifyGroup:big:::" + members + "\n"));
  auto overflow = [&] { return splitLines(box.sh("ls d.overflow").out); };
  ASSERT_EQ(1u, overflow().size());
  std::string firstFile = overflow()[0];

  mustRun(box, "sed -i 's/^big:x:5555:/big:x:5555:zed,/' /etc/group");
  ageAll(box);
  Poll changed = pollFiles(box);
  ASSERT_EQ(0, changed.end.status) << changed.end.err;
  EXPECT_TRUE(changed.out == "modifyGroup:big:::\nmodifyGroup:big:::zed," + members + "\n")
      << changed.out.substr(0, 200);
  ASSERT_EQ(1u, overflow().size());
  EXPECT_NE(firstFile, overflow()[0]);

  // A poll stopped before the answer leaves its overflow file behind; the
  // next committed poll removes it.
  mustRun(box, "sed -i 's/^big:x:5555:zed,/big:x:5555:/' /etc/group");
  ageAll(box);
  pid_t pid = box.startShim({"-n", "files", "-p", ""});
  box.readUntilStdoutClosed(pid);
  kill(pid, SIGTERM);
  box.finish(pid);
  EXPECT_EQ(2u, overflow().size());
  ASSERT_EQ(0, pollFiles(box).end.status);
  EXPECT_EQ(1u, overflow().size());
}

TEST(FilesPoll, LongPasswdLinesArePublishedWholeWithoutOverflowFiles) {
  Sandbox box;
  std::string comment(1200, 'c');
  mustRun(box, "useradd -s /bin/sh -c " + comment + " jo");
  ageAll(box);
  Poll first = pollFiles(box);
  ASSERT_EQ(0, first.end.status) << first.end.err;
  EXPECT_NE(std::string::npos, first.out.find("\naddUser:" + userRecord(box, "jo") + "\n"));
  mustRun(box, "usermod -c " + comment + "d jo");
  ageAll(box);
  Poll second = pollFiles(box);
  EXPECT_TRUE(second.out == "modifyUser:jo::::" + comment + "d::::::::::\n") << second.out.substr(0, 200);
  EXPECT_FALSE(box.exists(box.work("d.overflow")) && !splitLines(box.sh("ls d.overflow").out).empty());
}

TEST(FilesPoll, FailuresCommitNothingAndStillWaitForTheAnswer) {
  Sandbox box;
  std::string members;
  for (int i = 0; members.size() < 2000; ++i) members += "member" + std::to_string(i) + ",";
  mustRun(box, "echo 'big:x:5555:" + members + "' >> /etc/group");
  box.write(box.work("d.overflow"), "in the way");
  ageAll(box);
  pid_t pid = box.startShim({"-n", "files", "-p", ""});
  EXPECT_EQ("", box.readUntilStdoutClosed(pid));
  usleep(200000);
  EXPECT_EQ(0, waitpid(pid, nullptr, WNOHANG)) << "ended without waiting for the answer";
  RunResult r = box.finish(pid);
  EXPECT_EQ(-2, r.code());
  EXPECT_EQ("Error_createDbm_handleFilesChange: -2\n", r.err);
  for (const char* f : {"qvnisfiles.stamp", "passwd.log", "group.log", "passwd.log.tmp", "group.log.tmp",
                        "platformdbm.tmp", "files.pub"})
    EXPECT_FALSE(box.exists(box.work(f))) << f;

  // No makedbm on the tool path: nothing is taken either.
  unlink(box.work("d.overflow").c_str());
  box.privateCopy("/usr/lib/yp");
  mustRun(box, "rm /usr/lib/yp/makedbm");
  Poll noTool = pollFiles(box);
  EXPECT_EQ(-2, noTool.end.code());
  EXPECT_EQ("Error_searchPath_handleFilesChange: -2\n", noTool.end.err);
  EXPECT_FALSE(box.exists(box.work("passwd.log.tmp")));
  EXPECT_FALSE(box.exists(box.work("qvnisfiles.stamp")));
}

TEST(FilesPoll, ShadowSnapshotIsBuiltDirectlyWhenTheHostsMakedbmGivesUp) {
  Sandbox box;
  box.privateCopy("/usr/lib/yp");
  box.install("/usr/lib/yp/makedbm", "#!/bin/sh\ncat >/dev/null; echo 'x' > \"$2\"; kill -ABRT $$\n");
  mustRun(box, "useradd -s /bin/sh jo");
  ageAll(box);
  Poll p = pollFiles(box);
  ASSERT_EQ(0, p.end.status) << p.end.err;
  EXPECT_NE(std::string::npos, p.out.find("\naddUser:" + userRecord(box, "jo") + "\n"));
  EXPECT_TRUE(box.exists(box.work("shadow.log")));
  mustRun(box, "chage -M 77 jo");
  ageAll(box);
  EXPECT_EQ("modifyUser:jo::::::::::77::::\n", pollFiles(box).out);
}

}  // namespace
