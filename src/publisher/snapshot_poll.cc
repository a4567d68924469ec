#include "publisher/snapshot_poll.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "core/event_record.h"
#include "core/file_io.h"
#include "core/result.h"
#include "core/trace.h"
#include "core/unique_fd.h"
#include "nis/live_map.h"
#include "publisher/change_detection.h"
#include "publisher/event_output.h"
#include "publisher/first_invocation.h"
#include "password/pending_password_store.h"
#include "publisher/stamp_time.h"

namespace {

constexpr std::size_t kStampMax = 128;

// What stat says of a table's source; any difference between two readings
// means the source was written or replaced in between.
struct SourceState {
  bool exists = false;
  long mtime = -2, mtimeNanos = 0, ctime = 0, ctimeNanos = 0;
  ino_t inode = 0;
  off_t size = 0;
  bool operator==(const SourceState&) const = default;
};

SourceState examine(const std::string& path) {
  SourceState state;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return state;
  state.exists = true;
  state.mtime = static_cast<long>(st.st_mtim.tv_sec);
  state.mtimeNanos = st.st_mtim.tv_nsec;
  state.ctime = static_cast<long>(st.st_ctim.tv_sec);
  state.ctimeNanos = st.st_ctim.tv_nsec;
  state.inode = st.st_ino;
  state.size = st.st_size;
  return state;
}

int makeFresh(std::optional<ScratchFile>& slot, const std::string& path) {
  slot.emplace(path);
  return makeScratch(*slot);
}

struct Table {
  bool used = false;
  SourceState before;
  long time = 0;        // seconds; -2 missing, 0 not used
  bool needed = false;  // its unit may have changed since the stamp
  bool moved = false;   // its source changed while the snapshot was taken
  std::optional<ScratchFile> fresh;
  DbmFile db;  // declared after fresh: closed before the file goes

  bool taken() const { return fresh && fresh->created(); }
};

struct SnapshotPoll {
  const SnapshotBackend& backend;
  PollRun run;
  Table tables[3];
  long readAt = 0;
  bool first = false;
  std::optional<ScratchFile> publication;
  std::vector<std::string> passwords;  // standalone modifyPassword lines

  explicit SnapshotPoll(const SnapshotBackend& b) : backend(b), run(b.commit) {}
  Table& at(SnapshotTable t) { return tables[t]; }
  bool anyNeeded() const {
    return tables[kPasswdTable].needed || tables[kShadowTable].needed || tables[kGroupTable].needed;
  }
};

// Times: the clock first, so that a stalled process cannot make a fresh time
// look old (see trustedTime).
int readTimes(SnapshotPoll& poll) {
  poll.readAt = static_cast<long>(std::time(nullptr));
  for (int t = 0; t < 3; ++t) {
    Table& table = poll.tables[t];
    table.used = !poll.backend.sources[t].empty();
    if (!table.used) continue;
    table.before = examine(poll.backend.sources[t]);
    // A NIS map is missing for a moment during every rebuild; only one that
    // stays missing is a map that does not exist.
    if (!table.before.exists && poll.backend.backend == kNis && awaitMap(poll.backend.sources[t]))
      table.before = examine(poll.backend.sources[t]);
    table.time = table.before.exists ? table.before.mtime : -2;
  }
  return poll.at(kPasswdTable).time == -2 && poll.at(kGroupTable).time == -2 ? kErrOpen : kOk;
}

// Decision: no stamp is a first poll; a stamp that cannot be parsed (left
// by whatever) means that everything is compared.
int decide(SnapshotPoll& poll) {
  long last[3] = {-3, -3, -3};
  UniqueFd fd(open(poll.backend.commit.stampFile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid() && errno != ENOENT) return kErrOpen;
  poll.first = !fd.valid();
  if (fd.valid()) {
    // Unreadable reads as empty: unparsable, so everything is compared.
    std::string text;
    readFromStart(fd.get(), &text, kStampMax);
    if (std::sscanf(text.c_str(), "%ld %ld %ld", &last[0], &last[1], &last[2]) != 3)
      last[0] = last[1] = last[2] = -3;
  }
  auto differs = [&](SnapshotTable t) { return poll.first || last[t] == -3 || last[t] != poll.at(t).time; };
  bool users = differs(kPasswdTable) || differs(kShadowTable) || hasWaitingPassword(poll.backend.backend);
  poll.at(kPasswdTable).needed = poll.at(kShadowTable).needed = users;
  poll.at(kGroupTable).needed = differs(kGroupTable);
  return kOk;
}

// Snapshots of every table of a unit that may have changed, as far as its
// source exists; users only with their passwd table.
int takeSnapshots(SnapshotPoll& poll) {
  bool passwdThere = poll.at(kPasswdTable).time != -2;
  for (SnapshotTable t : {kPasswdTable, kGroupTable, kShadowTable}) {
    Table& table = poll.at(t);
    if (!table.used || !table.needed || table.time == -2) continue;
    if (t == kShadowTable && !passwdThere) continue;
    if (makeFresh(table.fresh, newSnapshotName(poll.backend.backend, t)) != kOk)
      return kErrOpen;
    int result = poll.backend.take(t, *table.fresh, table.db);
    if (result != kOk) return result;
  }
  for (int t = 0; t < 3; ++t)
    if (poll.tables[t].taken() && !(examine(poll.backend.sources[t]) == poll.tables[t].before))
      poll.tables[t].moved = true;
  return kOk;
}

// Every snapshot taken is compared: a committed snapshot holds nothing that
// was not.
int compare(SnapshotPoll& poll) {
  // Made afresh: lines of a poll that failed before printing never reach the
  // engine, and a link in its place is never written through.
  if (makeFresh(poll.publication, publicationFileName(poll.backend.backend)) != kOk) return kErrOpen;
  Table &passwd = poll.at(kPasswdTable), &shadow = poll.at(kShadowTable), &group = poll.at(kGroupTable);
  int backend = poll.backend.backend;
  if (poll.first) return processFirstPublisherInvocation(passwd.db.get(), shadow.db.get(), group.db.get(), backend);
  int result = kOk;
  if (group.taken()) result = processIncrementalGroupChanges(group.db.get(), backend);
  if (result == kOk && passwd.taken())
    result = processIncrementalUserChanges(passwd.db.get(), shadow.db.get(), backend);
  if (result == kOk && passwd.taken())
    result = publishWaitingPasswords(passwd.db.get(), backend, &poll.passwords);
  return result;
}

long stampedTime(const SnapshotPoll& poll, const Table& table) {
  if (!table.used) return 0;
  return table.moved ? -1 : trustedTime(table.time, poll.readAt);
}

int commitAfterAnswer(SnapshotPoll& poll) {
  CommitPlan plan;
  std::vector<ScratchFile*> fresh;
  for (int t = 0; t < 3; ++t) {
    Table& table = poll.tables[t];
    table.db.close();
    if (!table.taken()) continue;
    plan.tables.push_back(snapshotTableName(static_cast<SnapshotTable>(t)));
    fresh.push_back(&*table.fresh);
  }
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "%ld %ld %ld", stampedTime(poll, poll.tables[kPasswdTable]),
                stampedTime(poll, poll.tables[kShadowTable]), stampedTime(poll, poll.tables[kGroupTable]));
  plan.stamp = stamp;
  plan.passwords = poll.passwords;
  const char* events = publicationFileName(poll.backend.backend);
  return poll.run.handOverAndCommit(plan, fresh, [events] { return displayPublisherEvents(events); });
}

// Clean-up, on every path: the events handed over, and whatever new
// snapshot did not become the committed one removed.
int endPoll(SnapshotPoll& poll, int result) {
  poll.run.handOver();
  for (int t = 0; t < 3; ++t) {
    Table& table = poll.tables[t];
    table.db.close();
    if (!table.taken()) continue;
    if (poll.backend.discard != nullptr) poll.backend.discard(static_cast<SnapshotTable>(t));
    table.fresh->remove();
  }
  if (result != kOk) return failAt(poll.backend.routine, result);
  return kOk;
}

}  // namespace

int runSnapshotPoll(const SnapshotBackend& backend) {
  SnapshotPoll poll(backend);
  int result = poll.run.begin();
  if (result == kOk) result = backend.prepare();
  if (result == kOk) result = readTimes(poll);
  if (result == kOk) result = decide(poll);
  if (result == kOk && poll.anyNeeded()) {
    result = takeSnapshots(poll);
    if (result == kOk) result = compare(poll);
    if (result == kOk) result = commitAfterAnswer(poll);
  }
  return endPoll(poll, result);
}
