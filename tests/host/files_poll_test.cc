// The publisher side against real files in the sandbox: the pending-password
// operations and a NIS-selector comparison in-process, then whole polls of
// the real binary after changes made with the host's own account tools.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/event_record.h"
#include "core/result.h"
#include "core/trace.h"
#include "must_run.h"
#include "password/pending_password_store.h"
#include "publisher/overflow_files.h"
#include "publisher/snapshot_store.h"
#include "publisher/change_detection.h"
#include "publisher/first_invocation.h"
#include "sandbox.h"
#include "support/dbm_read.h"

namespace {

using Lines = std::vector<std::string>;

// In-process code runs in the sandbox's working directory.
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
  ASSERT_EQ(0, openPassCache(backend).store(name, value));
}
std::string pendingValue(int backend, const std::string& name) {
  return valueOf(openPassCache(backend), name).value_or("(none)");
}

DbmFile snapshot(const std::string& file, const Lines& lines) {
  unlink(file.c_str());
  DbmFile db = openSnapshot(file);
  for (const auto& l : lines) db.store(l.substr(0, l.find(':')), l);
  return db;
}

bool followedBy(const Lines& lines, const std::string& first, const std::string& next) {
  auto at = std::find(lines.begin(), lines.end(), first);
  return at != lines.end() && at + 1 != lines.end() && at[1] == next;
}

Lines sorted(Lines l) {
  std::sort(l.begin(), l.end());
  return l;
}

TEST(PassCache, InsertConsumeAndPurgeFollowTheEntryStates) {
  Sandbox box;
  InWorkdir here(box);
  pending(0, "u", "O:N:1");
  pending(0, "w", ":M:1");
  std::string rec = "u:x:1:1:g:/h:/s:H:1:0:9:7:::";
  EXPECT_EQ(kOk, insertCachedPassword(0, rec, 2));
  EXPECT_EQ("u:N:1:1:g:/h:/s:H:1:0:9:7:::", rec);
  rec = "u:H:1:1:g:/h:/s::::::::";
  EXPECT_EQ(kOk, insertCachedPassword(0, rec, 8));
  EXPECT_EQ("u:H:1:1:g:/h:/s:N:::::::", rec);
  rec = "u:x::::::::::::::";
  EXPECT_EQ(kOk, insertCachedPassword(1, rec, 2));  // another backend's store
  EXPECT_EQ("u:x::::::::::::::", rec);
  pending(0, "bad", "damaged");
  rec = "bad:x::::::::::::::";
  EXPECT_EQ(kOk, insertCachedPassword(0, rec, 2));
  EXPECT_EQ("bad:x::::::::::::::", rec);

  std::string data = "untouched";
  EXPECT_EQ(kErrNoSuchAccount, consumeCachedPassword(0, "nobody", &data));
  EXPECT_EQ("untouched", data);
  for (int twice = 0; twice < 2; ++twice) {
    EXPECT_EQ(kOk, consumeCachedPassword(0, "u", &data));
    EXPECT_EQ("u:O,N", data);
    EXPECT_EQ("O:N:0", pendingValue(0, "u"));
  }
  EXPECT_EQ(kOk, purgePasswordCache(0));
  EXPECT_EQ("(none)", pendingValue(0, "u"));
  EXPECT_EQ(":M:1", pendingValue(0, "w"));

  for (int i = 0; i < 300; ++i) pending(2, "user" + std::to_string(i), "O:N:0");
  EXPECT_EQ(kOk, purgePasswordCache(2));
  EXPECT_TRUE(Datum(gdbm_firstkey(openPassCache(2).get())).empty());
}

TEST(Comparison, NisSelectorUsesItsOwnFilesAndLeavesThePurgeToThePoll) {
  Sandbox box;
  InWorkdir here(box);
  snapshot("passwd.byname.log", {"gone:x:5:5::/:/bin/sh", "same:x:6:6:S:/s:/bin/sh", "jo:x:7:7:Jo:/j:/bin/sh",
                                 "noshadow:x:8:8::/n:/bin/sh"});
  snapshot("shadow.byname.log", {"same:H1:1:0:9:7:::", "jo:H2:1:0:9:7:::"});
  DbmFile pw = snapshot("passwd.byname.log.tmp", {"same:x:6:6:S:/s:/bin/sh", "jo:x:7:7::/j:/bin/zsh",
                                                  "new:x:9:9::/n:/bin/sh", "noshadow:x:8:8::/n:/bin/sh"});
  DbmFile sh = snapshot("shadow.byname.log.tmp", {"same:H1:1:0:9:7:::", "jo:H3:2:0:9:7:::", "new:H4:1:0:9:7:::",
                                                  "noshadow:H5:1:0:9:7:::"});
  pending(1, "new", "O:N:1");
  pending(1, "jo", ":M:1");
  pending(1, "same", "A:B:1");
  ASSERT_EQ(kOk, processIncrementalUserChanges(pw.get(), sh.get(), 1)) << errorTraceText();
  Lines lines = box.lines(box.work("nis.pub"));
  EXPECT_EQ(6u, lines.size());
  EXPECT_TRUE(std::count(lines.begin(), lines.end(), "deleteUser:gone"));
  EXPECT_TRUE(followedBy(lines, "addUser:new:N:9:9::/n:/bin/sh:H4:1:0:9:7:::", "modifyPassword:new:O,N"));
  EXPECT_TRUE(followedBy(lines, "modifyUser:jo:M:::*::/bin/zsh:H3:2::::::", "modifyPassword:jo:,M"));
  // No committed shadow entry: compared with eight empty fields.
  EXPECT_TRUE(std::count(lines.begin(), lines.end(), "modifyUser:noshadow:::::::H5:1:0:9:7:::"));
  EXPECT_EQ("O:N:0", pendingValue(1, "new"));
  EXPECT_EQ("A:B:1", pendingValue(1, "same"));

  // First invocation: groups before users, bookkeeping keys passed over. A
  // map holds account lines as they are: one that begins like an overflow
  // reference is published as itself, and the file it names is never read.
  unlink("nis.pub");
  std::string big = "big:x:7:" + std::string(49990, 'm');
  box.write(box.work("big-one"), big);
  DbmFile grp = snapshot("group.byname.log.tmp", {"crew:x:50:jo", big});
  grp.store("file", "file://./big-one");
  grp.store("YP_LAST_MODIFIED", "1700000000");
  ASSERT_EQ(kOk, processFirstPublisherInvocation(pw.get(), nullptr, grp.get(), 1));
  lines = box.lines(box.work("nis.pub"));
  ASSERT_EQ(10u, lines.size());  // three users with a pending password
  EXPECT_EQ((Lines{"addGroup:" + big, "addGroup:crew:x:50:jo", "addGroup:file://./big-one"}),
            sorted(Lines(lines.begin(), lines.begin() + 3)));
  EXPECT_TRUE(followedBy(lines, "addUser:new:x:9:9::/n:/bin/sh:N:::::::", "modifyPassword:new:O,N"));

  unlink("big-one");
  EXPECT_EQ(kOk, processIncrementalGroupChanges(grp.get(), 1));
}

// One poll as the engine runs it: the events are read until the shim closes
// standard output; check() sees the state before the answer; closing
// standard input is the answer.
struct Poll {
  std::string out;
  RunResult end;
};

template <typename Check>
Poll pollFiles(Sandbox& box, Check check, const Argv& extra = {}) {
  Argv args{"-n", "files", "-p", ""};
  args.insert(args.end(), extra.begin(), extra.end());
  pid_t pid = box.startShim(args);
  Poll p{box.readUntilStdoutClosed(pid), {}};
  check();
  p.end = box.finish(pid);
  return p;
}
Poll pollFiles(Sandbox& box, const Argv& extra = {}) { return pollFiles(box, [] {}, extra); }

std::string userRecord(Sandbox& box, const std::string& name) {
  std::string shadow = box.entry("/etc/shadow", name);
  return box.entry("/etc/passwd", name) + shadow.substr(shadow.find(':'));
}

long mtime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_mtime) : -2;
}

Poll stopWhileWaiting(Sandbox& box) {
  pid_t pid = box.startShim({"-n", "files", "-p", ""});
  Poll p{box.readUntilStdoutClosed(pid), {}};
  kill(pid, SIGTERM);
  p.end = box.finish(pid);
  return p;
}

TEST(FilesPoll, FirstPollPublishesEveryAccountReorderedAndCommitsAfterTheAnswerThenNothing) {
  Sandbox box;
  age(box);
  Poll p = pollFiles(box, [&] { EXPECT_FALSE(box.exists(box.work("qvnisfiles.stamp"))); });
  ASSERT_EQ(0, p.end.status) << p.end.err;
  Lines out = splitLines(p.out), groups = box.lines("/etc/group"), users = box.lines("/etc/passwd");
  ASSERT_EQ(2 * groups.size() + users.size(), out.size());
  Lines adds, members, userLines;
  for (const auto& g : groups) {
    auto f = splitFields(g, ':');
    adds.push_back("addGroup:" + f[0] + ":" + f[1] + ":" + f[2] + ":");
    members.push_back("modifyGroup:" + f[0] + ":::" + f[3]);
  }
  for (const auto& u : users) userLines.push_back("addUser:" + userRecord(box, u.substr(0, u.find(':'))));
  auto section = [&](std::size_t from, std::size_t n) { return sorted(Lines(&out[from], &out[from] + n)); };
  EXPECT_EQ(sorted(adds), section(0, groups.size()));
  EXPECT_EQ(sorted(userLines), section(groups.size(), users.size()));
  EXPECT_EQ(sorted(members), section(groups.size() + users.size(), groups.size()));
  std::string stamp = std::to_string(mtime("/etc/passwd")) + " " + std::to_string(mtime("/etc/shadow")) + " " +
                      std::to_string(mtime("/etc/group"));
  EXPECT_EQ(stamp, box.read(box.work("qvnisfiles.stamp")));
  EXPECT_EQ("group.log\npasswd.log\nqvnisfiles.stamp\nshadow.log\n", box.sh("ls").out);

  struct stat before, after;
  stat(box.work("passwd.log").c_str(), &before);
  // The text of a poll whose removal of it failed: the next poll takes it
  // away, though nothing changed for it to make its own.
  mustRun(box, "head -1 /etc/shadow > platformdbm.tmp");
  Poll again = pollFiles(box);
  stat(box.work("passwd.log").c_str(), &after);
  EXPECT_EQ(0, again.end.status);
  EXPECT_EQ("", again.out);
  EXPECT_EQ("group.log\npasswd.log\nqvnisfiles.stamp\nshadow.log\n", box.sh("ls").out);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(stamp, box.read(box.work("qvnisfiles.stamp")));
}

TEST(FilesPoll, ChangesMadeWithTheHostsToolsArePublishedExactly) {
  Sandbox box;
  mustRun(box, "useradd -s /bin/sh olduser && useradd -s /bin/sh keeper");
  age(box);
  ASSERT_EQ(0, pollFiles(box).end.status);

  mustRun(box, "useradd -c 'Jo Smith' -s /bin/sh jo && groupadd -g 4321 crew && gpasswd -a jo crew >/dev/null");
  age(box);
  Poll added = pollFiles(box);
  ASSERT_EQ(0, added.end.status) << added.end.err;
  auto jo = splitFields(box.entry("/etc/group", "jo"), ':');
  Lines l = splitLines(added.out);
  ASSERT_EQ(5u, l.size()) << added.out;
  EXPECT_EQ(sorted({"addGroup:crew:x:4321:", "addGroup:jo:x:" + jo[2] + ":"}), sorted({l[0], l[1]}));
  EXPECT_EQ("addUser:" + userRecord(box, "jo"), l[2]);
  EXPECT_EQ(sorted({"modifyGroup:crew:::jo", "modifyGroup:jo:::"}), sorted({l[3], l[4]}));

  mustRun(box, "usermod -s /bin/bash jo && chage -M 77 keeper && userdel olduser && groupdel crew");
  age(box);
  Poll changed = pollFiles(box);
  ASSERT_EQ(0, changed.end.status) << changed.end.err;
  EXPECT_EQ((Lines{"deleteGroup:crew", "deleteGroup:olduser", "deleteUser:olduser",
                   "modifyUser:jo::::::/bin/bash::::::::", "modifyUser:keeper::::::::::77::::"}),
            sorted(splitLines(changed.out)));
}

TEST(FilesPoll, WithoutShadowNoShadowSnapshotAndShadowChangesAreNotReported) {
  Sandbox box;
  mustRun(box, "useradd -s /bin/sh jo");
  age(box);
  Poll first = pollFiles(box, {"-s"});
  ASSERT_EQ(0, first.end.status) << first.end.err;
  EXPECT_NE(std::string::npos, first.out.find("\naddUser:" + box.entry("/etc/passwd", "jo") + "::::::::\n"));
  EXPECT_EQ(std::to_string(mtime("/etc/passwd")) + " 0 " + std::to_string(mtime("/etc/group")),
            box.read(box.work("qvnisfiles.stamp")));
  EXPECT_FALSE(box.exists(box.work("shadow.log")));
  mustRun(box, "chage -M 77 jo");
  age(box);
  EXPECT_EQ("", pollFiles(box, {"-s"}).out);
}

TEST(FilesPoll, PendingPasswordIsPublishedWithItsUserAndPurgedOnlyAfterTheAnswer) {
  Sandbox box;
  mustRun(box, "useradd -s /bin/sh jo");
  age(box);
  ASSERT_EQ(0, pollFiles(box).end.status);
  pending(0, "jo", "OLD:NEW:1");
  pending(0, "other", "A:B:1");
  mustRun(box, "usermod -s /bin/bash jo");
  age(box);
  Poll p = pollFiles(box, [&] { EXPECT_EQ("OLD:NEW:0", pendingValue(0, "jo")); });
  ASSERT_EQ(0, p.end.status) << p.end.err;
  EXPECT_EQ("modifyUser:jo:NEW:::::/bin/bash::::::::\nmodifyPassword:jo:OLD,NEW\n", p.out);
  EXPECT_EQ("(none)", pendingValue(0, "jo"));
  EXPECT_EQ("A:B:1", pendingValue(0, "other"));
}

TEST(FilesPoll, StoppedWhileWaitingForTheAnswerCommitsNothingAndTheNextPollRepublishes) {
  Sandbox box;
  age(box);
  ASSERT_EQ(0, pollFiles(box).end.status);
  std::string stamp = box.read(box.work("qvnisfiles.stamp"));
  mustRun(box, "useradd -s /bin/sh jo");
  age(box);
  pending(0, "jo", "OLD:NEW:1");
  Poll stopped = stopWhileWaiting(box);
  EXPECT_EQ(0, stopped.end.status);
  EXPECT_NE(std::string::npos, stopped.out.find("\nmodifyPassword:jo:OLD,NEW\n")) << stopped.out;
  EXPECT_EQ(stamp, box.read(box.work("qvnisfiles.stamp")));
  EXPECT_EQ("group.log\npasswd.log\nqvnisfiles.stamp\nshadow.log\n", box.sh("ls").out);

  Poll again = pollFiles(box);
  EXPECT_EQ(0, again.end.status);
  EXPECT_EQ(stopped.out, again.out);
  EXPECT_EQ("(none)", pendingValue(0, "jo"));
  EXPECT_NE(stamp, box.read(box.work("qvnisfiles.stamp")));
}

TEST(FilesPoll, AChangeInTheSecondTheTimeWasReadIsPublishedByTheNextPoll) {
  Sandbox box;
  age(box);
  ASSERT_EQ(0, pollFiles(box).end.status);
  // The group file changes in the very second the poll reads its time...
  mustRun(box, "touch -d @$(date +%s) /etc/group");
  long second = mtime("/etc/group");
  ASSERT_EQ(0, pollFiles(box).end.status);
  // ...and once more later in that second: the time stays the same.
  mustRun(box, "groupadd -g 4444 late && touch -d @" + std::to_string(second) + " /etc/group");
  EXPECT_EQ("addGroup:late:x:4444:\nmodifyGroup:late:::\n", pollFiles(box).out);
}

TEST(FilesPoll, LongRecordsTravelWholeAndOverflowFilesDoNotPileUp) {
  Sandbox box;
  std::string members;
  for (int i = 0; members.size() < 49900; ++i) members += "member" + std::to_string(i) + ",";
  members.pop_back();
  std::string comment(1200, 'c');
  mustRun(box, "echo 'big:x:5555:" + members + "' >> /etc/group && useradd -s /bin/sh -c " + comment + " jo");
  age(box);
  Poll first = pollFiles(box);
  ASSERT_EQ(0, first.end.status) << first.end.err;
  EXPECT_NE(std::string::npos, first.out.find("\naddGroup:big:x:5555:\n"));
  EXPECT_NE(std::string::npos, first.out.find("\nmodifyGroup:big:::" + members + "\n"));
  EXPECT_NE(std::string::npos, first.out.find("\naddUser:" + userRecord(box, "jo") + "\n"));
  auto overflow = [&] { return splitLines(box.sh("ls d.overflow").out); };
  ASSERT_EQ(1u, overflow().size());  // the group's; the passwd line stays inline
  std::string firstFile = overflow()[0];

  mustRun(box, "sed -i 's/^big:x:5555:/big:x:5555:zed,/' /etc/group && usermod -c " + comment + "d jo");
  age(box);
  Poll changed = pollFiles(box);
  EXPECT_TRUE(changed.out == "modifyGroup:big:::\nmodifyUser:jo::::" + comment + "d::::::::::\n" +
                                 "modifyGroup:big:::zed," + members + "\n")
      << changed.out.substr(0, 300);
  ASSERT_EQ(1u, overflow().size());
  EXPECT_NE(firstFile, overflow()[0]);

  // A poll stopped before the answer leaves its overflow file behind; the
  // next committed poll removes it.
  mustRun(box, "sed -i 's/^big:x:5555:zed,/big:x:5555:/' /etc/group");
  age(box);
  stopWhileWaiting(box);
  EXPECT_EQ(2u, overflow().size());
  ASSERT_EQ(0, pollFiles(box).end.status);
  EXPECT_EQ(1u, overflow().size());
}

TEST(FilesPoll, OnlyTheTablesThisPollTookAreCommittedAndOldReferencesSurviveUntilReplaced) {
  Sandbox box;
  age(box);
  ASSERT_EQ(0, pollFiles(box).end.status);
  // A committed passwd generation that keeps a long line in an overflow
  // file, and a new passwd snapshot that a crashed poll left behind.
  std::string root = box.entry("/etc/passwd", "root");
  box.sh("mkdir -p d.overflow");
  box.write(box.work("d.overflow/legacy"), root);
  openSnapshot(box.work("passwd.log")).store("root", "file://./d.overflow/legacy");
  snapshot(box.work("passwd.log.tmp"), {"ghost:x:9:9::/:/bin/sh"});
  mustRun(box, "mv /etc/passwd /etc/passwd.away && echo crew:x:4321: >> /etc/group && "
               "touch -d @$(( $(date +%s) - 5000 )) /etc/group");
  Poll groupsOnly = pollFiles(box);
  ASSERT_EQ(0, groupsOnly.end.status) << groupsOnly.end.err;
  EXPECT_EQ("addGroup:crew:x:4321:\nmodifyGroup:crew:::\n", groupsOnly.out);
  EXPECT_FALSE(valueOf(openSnapshot(box.work("passwd.log")), "ghost"));
  EXPECT_TRUE(box.exists(box.work("d.overflow/legacy")));

  mustRun(box, "mv /etc/passwd.away /etc/passwd");
  age(box);
  Poll back = pollFiles(box);
  ASSERT_EQ(0, back.end.status) << back.end.err;
  EXPECT_EQ("", back.out);
  EXPECT_EQ(root, valueOf(openSnapshot(box.work("passwd.log")), "root").value_or(""));
  EXPECT_FALSE(box.exists(box.work("d.overflow/legacy")));
}

TEST(FilesPoll, FailuresCommitNothingAndStillWaitForTheAnswer) {
  Sandbox box;
  mustRun(box, "echo 'big:x:5555:" + std::string(2000, 'm') + "' >> /etc/group");
  box.write(box.work("d.overflow"), "in the way");
  age(box);
  pid_t pid = box.startShim({"-n", "files", "-p", ""});
  EXPECT_EQ("", box.readUntilStdoutClosed(pid));
  usleep(200000);
  EXPECT_EQ(0, waitpid(pid, nullptr, WNOHANG)) << "ended without waiting for the answer";
  RunResult r = box.finish(pid);
  EXPECT_EQ(-2, r.code());
  EXPECT_EQ("Error_createDbm_handleFilesChange: -2\n", r.err);
  EXPECT_EQ("d.overflow\n", box.sh("ls").out);

  unlink(box.work("d.overflow").c_str());
  box.privateCopy("/usr/lib/yp");
  mustRun(box, "rm /usr/lib/yp/makedbm");
  // The files poll needs no makedbm.
  Poll noTool = pollFiles(box);
  EXPECT_EQ(0, noTool.end.status) << noTool.end.err;
  EXPECT_NE(std::string::npos, noTool.out.find("addGroup:big:x:5555:\n")) << noTool.out;
}

TEST(FilesPoll, ShadowSnapshotIsBuiltDirectlyWhenTheHostsMakedbmGivesUp) {
  Sandbox box;
  box.privateCopy("/usr/lib/yp");
  box.install("/usr/lib/yp/makedbm", "#!/bin/sh\ncat >/dev/null; echo x > \"$2\"; kill -ABRT $$\n");
  mustRun(box, "useradd -s /bin/sh jo");
  age(box);
  Poll p = pollFiles(box);
  ASSERT_EQ(0, p.end.status) << p.end.err;
  EXPECT_NE(std::string::npos, p.out.find("\naddUser:" + userRecord(box, "jo") + "\n"));
  mustRun(box, "chage -M 77 jo");
  age(box);
  EXPECT_EQ("modifyUser:jo::::::::::77::::\n", pollFiles(box).out);
}

}  // namespace
