#include "publisher/files_poll.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "core/dbm_file.h"
#include "core/directory_entries.h"
#include "core/line_reader.h"
#include "core/system_log.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/trace.h"
#include "core/unique_fd.h"
#include "publisher/overflow_files.h"
#include "publisher/poll_run.h"
#include "publisher/snapshot_poll.h"
#include "publisher/snapshot_store.h"

namespace {

constexpr const char* kPlatformText = "./platformdbm.tmp";
constexpr const char* kStampFile = "qvnisfiles.stamp";

// awk wrote "$1 $0": the name, a blank and the whole line, which itself
// begins with the name. Splitting where the two copies meet keeps names
// that hold blanks whole. False for a line without a name.
bool splitTextLine(const std::string& line, std::string* key, std::string* value) {
  auto colon = line.find(':');
  std::size_t span = colon == std::string::npos ? line.size() : colon;
  if (span % 2 == 1) {
    std::size_t k = span / 2;
    if (line[k] == ' ' && line.compare(0, k, line, k + 1, k) == 0) {
      *key = line.substr(0, k);
      *value = line.substr(k + 1);
      return !key->empty();
    }
  }
  auto blank = line.find(' ');
  if (blank == std::string::npos || blank == 0) return false;
  *key = line.substr(0, blank);
  *value = line.substr(blank + 1);
  return true;
}

// Runs one snapshot command line. -11 when it fails, -3 when it would not
// fit its buffer.
int runSnapshotCommand(const char* routine, const std::string& command) {
  return runLoggedOrOther(routine, command);
}

std::string textCommand(const std::string& awkDir, const char* source) {
  return awkDir + "/awk 'BEGIN { FS=\":\" }{print $1,$0}' " + source + " > " + kPlatformText;
}

// The text of "./platformdbm.tmp" into the (new, empty) snapshot database
// at target. With overflow, values longer than 1000 characters go to
// overflow files; with mark, an inline value that begins like a reference is
// marked as inline (see kInlineMark).
int buildSnapshot(const std::string& target, bool overflow, bool mark) {
  int result = kOk;
  UniqueFd text(open(kPlatformText, O_RDONLY | O_CLOEXEC));
  LineReader lines(text.get());
  DbmFile db;
  OverflowDirectory directory;
  if (!text.valid()) {
    debugLog("cD: fopen %s failed", kPlatformText);
    result = kErrNotFound;
  } else if (!(db = openSnapshot(target, kBuildCacheBuckets)).isOpen()) {
    debugLog("cD: db_open(%s) failed", target.c_str());
    result = kErrNotFound;
  }
  std::string line, key, value;
  bool ended;
  while (result == kOk && lines.next(&line, &ended)) {
    if (!splitTextLine(line, &key, &value)) {
      debugLog("cD: line without a name skipped");
      continue;
    }
    if (overflow && value.size() > kInlineValueLimit) {
      if (!directory.isOpen() && directory.open(true) != kOk) {
        errorLog("cD: can't find or create %s", kOverflowDirectory);
        result = kErrNotFound;
        break;
      }
      std::string name;
      if ((result = writeOverflowFile(directory, value, &name)) != kOk) break;
      value = overflowReference(name);
    } else if (mark) {
      value = markedInlineValue(std::move(value));
    }
    if (db.store(key, value) != kOk) {
      debugLog("cD: db_store(%s) failed", key.c_str());
      result = kErrOpen;
    }
  }
  if (result == kOk && lines.failed()) result = kErrNotFound;
  wipeString(line);
  wipeString(value);
  text.reset();
  // The last buckets reach the file only here.
  int closed = db.close();
  return result == kOk ? closed : result;
}

// Every table's snapshot is built here from awk's text, so that it holds
// each line as the file holds it, however long.
int takeFilesSnapshot(const std::string& awkDir, SnapshotTable table, ScratchFile& fresh, DbmFile& db) {
  int result;
  if (table == kPasswdTable)
    result = createDbm(awkDir, "/etc/passwd", "handleFilesChange", fresh.path(), false, true);
  else if (table == kGroupTable)
    result = createDbm(awkDir, "/etc/group", "handleFilesChange2", fresh.path(), true, true);
  else
    result = createDbm(awkDir, "//etc//shadow", "handleFilesChange3", fresh.path(), false, false);
  if (result == kOk && !(db = openSnapshot(fresh.path())).isOpen()) result = kErrOpen;
  return result;
}

void discardFilesSnapshot(SnapshotTable table) {
  if (table == kGroupTable) removeTmpOverflowFiles();
}

int commitFilesTable(const std::string& table) { return restoreFilesBackup(table.c_str()); }

// A committed passwd generation of an earlier version may still refer to
// overflow files; only once a commit has replaced it are the files that no
// group snapshot names surely unused.
void sweepAfterCommit(const CommitPlan& plan) {
  for (const auto& table : plan.tables)
    if (table == "passwd") sweepOrphanOverflowFiles();
}

const CommitRules kFilesCommit{kStampFile, "qvnisfiles.commit", kFiles, commitFilesTable, sweepAfterCommit, kPlatformText};

}  // namespace

int createDbm(const std::string& awkDir, const char* source, const char* routine, const std::string& target,
              bool overflow, bool mark) {
  ScratchFile text(kPlatformText);
  if (makeScratch(text) != kOk) return kErrOpen;
  int result = runSnapshotCommand(routine, textCommand(awkDir, source));
  if (result != kOk) return result;
  if ((result = buildSnapshot(target, overflow, mark)) != kOk) return failAt("createDbm", result);
  return kOk;
}

int restoreFilesBackup(const char* table) {
  int result = kOk;
  std::string committed = std::string(table) + ".log";
  std::string fresh = committed + ".tmp";
  std::set<std::string> replaced;
  struct stat st;
  // A first commit has no generation to replace, and must not make an empty
  // one by opening it.
  if (std::strcmp(table, "group") == 0 && lstat(committed.c_str(), &st) == 0) {
    DbmFile db = openCommittedSnapshot(committed);
    if (!db.isOpen() || overflowNames(db.get(), &replaced) != kOk) {
      errorLog("rFB: can't read %s", committed.c_str());
      result = kErrOther;
    }
  }
  if (result == kOk && std::rename(fresh.c_str(), committed.c_str()) != 0) result = kErrOther;
  // Only once the new generation is in place: until then the committed
  // snapshot still needs its files.
  OverflowDirectory directory;
  if (result == kOk && !replaced.empty() && directory.open(false) == kOk) {
    for (const auto& name : replaced) {
      debugLog("rFB: ofname:%s%s:\n", kOverflowDirectory, name.c_str());
      directory.remove(name);
    }
  }
  if (result != kOk) return failAt("restoreFilesBackup", result);
  return kOk;
}

void removeTmpOverflowFiles() {
  struct stat st;
  DbmFile db;
  if (lstat("group.log.tmp", &st) != 0 || !(db = openCommittedSnapshot("group.log.tmp")).isOpen()) {
    syslog(LOG_INFO, "rTO: can't open group.log.tmp");
    return;
  }
  std::set<std::string> names;
  OverflowDirectory directory;
  // A list cut short by a read error may still be right, but is not sure.
  if (overflowNames(db.get(), &names) != kOk || names.empty() || directory.open(false) != kOk) return;
  for (const auto& name : names) {
    debugLog("rTO: ofname:%s%s:\n", kOverflowDirectory, name.c_str());
    if (!directory.remove(name)) errorLog("rTO: can't unlink %s%s, reason:%d:", kOverflowDirectory, name.c_str(), errno);
  }
}

int handleFilesChange(EventRecord& record) {
  std::string awkDir;
  SnapshotBackend backend{
      "handleFilesChange",
      kFiles,
      kFilesCommit,
      {"/etc/passwd", record.noShadow ? "" : "/etc/shadow", "/etc/group"},
      [&] { return searchPath("awk", &awkDir); },
      [&](SnapshotTable table, ScratchFile& fresh, DbmFile& db) { return takeFilesSnapshot(awkDir, table, fresh, db); },
      discardFilesSnapshot,
  };
  return runSnapshotPoll(backend);
}
