#include "publisher/files_poll.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "core/dbm_file.h"
#include "core/process_state.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/trace.h"
#include "publisher/change_cache.h"
#include "publisher/change_detection.h"
#include "publisher/event_output.h"
#include "publisher/first_invocation.h"
#include "publisher/handover.h"
#include "publisher/stamp_time.h"

namespace {

constexpr const char* kPlatformText = "./platformdbm.tmp";
constexpr const char* kStampFile = "qvnisfiles.stamp";
constexpr const char* kPublication = "files.pub";
constexpr int kOverflowIndexes = 128;
// A poll with many long groups may use the names of the following seconds
// once those of the current one are taken.
constexpr int kOverflowSeconds = 1024;
constexpr std::size_t kCommandCapacity = 1024;

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

int ensureOverflowDirectory() {
  struct stat st;
  if (stat(kOverflowDirectory, &st) == 0 && S_ISDIR(st.st_mode)) return kOk;
  if (mkdir(kOverflowDirectory, 0755) != 0 && errno != EEXIST) {
    errorLog("cD: can't find or create %s", kOverflowDirectory);
    return kErrNotFound;
  }
  chmod(kOverflowDirectory, 0755);
  return kOk;
}

// Writes the value to the first free overflow name; 0 and its path, or -2.
int writeOverflowFile(const std::string& value, std::string* path) {
  if (ensureOverflowDirectory() != kOk) return kErrNotFound;
  long now = static_cast<long>(std::time(nullptr));
  for (int second = 0; second < kOverflowSeconds; ++second) {
    for (int index = 0; index < kOverflowIndexes; ++index) {
      std::string name = std::string(kOverflowDirectory) + std::to_string(now + second) + std::to_string(index);
      int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      if (fd < 0 && errno == EEXIST) continue;
      debugLog("cD: fname:%s:", name.c_str());
      if (fd < 0) {
        errorLog("cD: can't open %s", name.c_str());
        return kErrNotFound;
      }
      std::size_t written = 0;
      while (written < value.size()) {
        ssize_t n = write(fd, value.data() + written, value.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
      }
      bool closed = close(fd) == 0;
      if (written != value.size() || !closed) {
        errorLog("cD: bytesout should be %d, actual %d", static_cast<int>(value.size()), static_cast<int>(written));
        unlink(name.c_str());
        return kErrNotFound;
      }
      *path = name;
      return kOk;
    }
  }
  errorLog("cD: Too many overflow files");
  return kErrNotFound;
}

// The overflow paths a snapshot refers to.
std::vector<std::string> overflowReferences(GDBM_FILE db) {
  std::vector<std::string> paths;
  walkMapKeys(db, [&](const Datum& key) {
    std::optional<std::string> value = fetchValue(db, key.text());
    if (value && isOverflowReference(*value)) paths.push_back(overflowPath(*value));
    return true;
  });
  return paths;
}

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Overflow files that no snapshot refers to any more: left by a poll that
// was stopped, or by an earlier generation. Deleted so that they cannot
// pile up.
void sweepOrphanOverflowFiles() {
  DIR* dir = opendir(kOverflowDirectory);
  if (dir == nullptr) return;
  std::set<std::string> referenced;
  for (const char* snapshot : {"group.log", "group.log.tmp"}) {
    if (access(snapshot, F_OK) != 0) continue;
    DbmFile db = openSnapshot(snapshot);
    if (!db.isOpen()) {
      closedir(dir);  // not sure what is referenced: keep everything
      return;
    }
    for (const auto& path : overflowReferences(db.get())) referenced.insert(baseName(path));
  }
  std::vector<std::string> orphans;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (!referenced.count(name)) orphans.push_back(std::string(kOverflowDirectory) + name);
  }
  closedir(dir);
  for (const auto& path : orphans) {
    debugLog("sOO: ofname:%s:", path.c_str());
    unlink(path.c_str());
  }
}

struct Stamp {
  long passwd = 0, shadow = 0, group = 0;
  bool operator==(const Stamp&) const = default;
};

// Runs one snapshot command line. -11 when it fails, -3 when it would not
// fit its buffer.
int runSnapshotCommand(const char* routine, const std::string& command) {
  if (command.size() >= kCommandCapacity) return kErrArgument;
  debugCommand(routine, command);
  return qvSystem(command) == kOk ? kOk : kErrOther;
}

std::string textCommand(const std::string& awkDir, const char* source) {
  return awkDir + "/awk 'BEGIN { FS=\":\" }{print $1,$0}' " + source + " > " + kPlatformText;
}

// A snapshot is never built on top of one that a stopped poll left behind:
// its accounts would hide deletions.
DbmFile openFreshSnapshot(const char* path) {
  unlink(path);
  return openSnapshot(path);
}

// The text of "./platformdbm.tmp" into a snapshot database; with overflow,
// values longer than 1000 characters go to overflow files.
int buildSnapshot(const char* target, bool overflow) {
  int result = kOk;
  std::ifstream text(kPlatformText, std::ios::binary);
  DbmFile db;
  if (!text) {
    debugLog("cD: fopen %s failed", kPlatformText);
    result = kErrNotFound;
  } else if (!(db = openFreshSnapshot(target)).isOpen()) {
    debugLog("cD: db_open(%s) failed", target);
    result = kErrNotFound;
  }
  std::string line, key, value;
  while (result == kOk && std::getline(text, line)) {
    if (!splitTextLine(line, &key, &value)) {
      debugLog("cD: line without a name skipped");
      continue;
    }
    if (overflow && value.size() > kInlineValueLimit) {
      std::string path;
      if ((result = writeOverflowFile(value, &path)) != kOk) break;
      value = std::string(kOverflowPrefix) + path;
    }
    int stored = db.store(key, value);
    if (stored != 0) {
      debugLog("cD: db_store(%s) failed", key.c_str());
      result = stored;
    }
  }
  if (result == kOk && text.bad()) result = kErrNotFound;
  wipeString(line);
  wipeString(value);
  unlink(kPlatformText);
  text.close();
  db.close();
  return result;
}

}  // namespace

int createDbm(int passwdTable) {
  // Long passwd lines stay inline: they are compared and published whole.
  int result = passwdTable ? buildSnapshot("passwd.log.tmp", false) : buildSnapshot("group.log.tmp", true);
  if (result != kOk) traceError("createDbm");
  return result;
}

int restoreFilesBackup(const char* table) {
  int result = kOk;
  std::string committed = std::string(table) + ".log";
  std::string fresh = committed + ".tmp";
  std::vector<std::string> replaced;
  if (std::strcmp(table, "group") == 0) {
    DbmFile db = openSnapshot(committed);
    if (!db.isOpen()) {
      errorLog("rFB: can't open %s", committed.c_str());
      result = kErrOther;
    } else {
      replaced = overflowReferences(db.get());
    }
  }
  if (result == kOk && std::rename(fresh.c_str(), committed.c_str()) != 0) result = kErrOther;
  // Only once the new generation is in place: until then the committed
  // snapshot still needs its files.
  if (result == kOk) {
    for (const auto& path : replaced) {
      debugLog("rFB: ofname:%s:\n", path.c_str());
      unlink(path.c_str());
    }
  }
  if (result != kOk) traceError("restoreFilesBackup");
  return result;
}

void removeTmpOverflowFiles() {
  DbmFile db = openSnapshot("group.log.tmp");
  if (!db.isOpen()) {
    syslog(LOG_INFO, "rTO: can't open group.log.tmp");
    return;
  }
  for (const auto& path : overflowReferences(db.get())) {
    debugLog("rTO: ofname:%s:\n", path.c_str());
    if (unlink(path.c_str()) != 0) errorLog("rTO: can't unlink %s, reason:%d:", path.c_str(), errno);
  }
}

int handleFilesChange(EventRecord& record) {
  int result = kOk;
  bool handedOver = false;
  DbmFile passwd, shadow, group;
  Stamp now;
  long readAt = 0;

  std::string makedbmDir, awkDir;
  result = searchPath("makedbm", &makedbmDir);
  if (result == kOk) result = searchPath("awk", &awkDir);

  if (result == kOk) {
    readAt = static_cast<long>(std::time(nullptr));
    now.passwd = fileMtime("/etc/passwd");
    now.group = fileMtime("/etc/group");
    now.shadow = record.noShadow ? 0 : fileMtime("/etc/shadow");
    if (now.passwd == -2 && now.group == -2) result = kErrOpen;
  }

  bool firstPoll = access(kStampFile, F_OK) != 0;
  Stamp last{-3, -3, -3};
  if (result == kOk && !firstPoll) {
    std::FILE* in = std::fopen(kStampFile, "r");
    if (in == nullptr) {
      result = kErrOpen;
    } else {
      // An unreadable stamp only means that everything is compared.
      if (std::fscanf(in, "%ld %ld %ld", &last.passwd, &last.shadow, &last.group) != 3) last = {-3, -3, -3};
      std::fclose(in);
    }
  }
  // Nothing changed: no snapshot needed, nothing printed or committed.
  bool unchanged = result == kOk && !firstPoll && last == now;

  if (result == kOk && !unchanged) {
    // A list left by a poll that failed before printing must not reach the
    // engine with this poll's events.
    std::FILE* pub = std::fopen(kPublication, "w");
    if (pub == nullptr || std::fclose(pub) != 0) result = kErrOpen;
  }
  if (result == kOk && !unchanged && now.passwd != -2) {
    result = runSnapshotCommand("handleFilesChange", textCommand(awkDir, "/etc/passwd"));
    if (result == kOk) result = createDbm(1);
    if (result == kOk && !(passwd = openSnapshot("passwd.log.tmp")).isOpen()) result = kErrOpen;
  }
  if (result == kOk && !unchanged && now.group != -2) {
    result = runSnapshotCommand("handleFilesChange2", textCommand(awkDir, "/etc/group"));
    if (result == kOk) result = createDbm(0);
    if (result == kOk && !(group = openSnapshot("group.log.tmp")).isOpen()) result = kErrOpen;
  }
  if (result == kOk && !unchanged && !record.noShadow && now.shadow != -2) {
    result = runSnapshotCommand("handleFilesChange3", awkDir + "/awk 'BEGIN { FS=\":\" }{print $1,$0}' //etc//shadow | " +
                                                          makedbmDir + "/makedbm - shadow.log.tmp");
    if (result != kOk) {
      // The host's makedbm gives up on some large inputs; the snapshot is
      // then built here, as the passwd one is.
      errorLog("handleFilesChange: makedbm failed on the shadow file, building the snapshot directly");
      unlink("shadow.log.tmp");
      result = runSnapshotCommand("handleFilesChange3", textCommand(awkDir, "//etc//shadow"));
      if (result == kOk && (result = buildSnapshot("shadow.log.tmp", false)) != kOk) traceError("createDbm");
    }
    if (result == kOk && !(shadow = openSnapshot("shadow.log.tmp")).isOpen()) result = kErrOpen;
  }

  if (result == kOk && !unchanged) {
    if (firstPoll) {
      result = processFirstPublisherInvocation(passwd.get(), shadow.get(), group.get(), 0);
    } else {
      if (last.group != now.group && group.isOpen()) result = processIncrementalGroupChanges(group.get(), 0);
      if (result == kOk && (last.passwd != now.passwd || last.shadow != now.shadow) && passwd.isOpen())
        result = processIncrementalUserChanges(passwd.get(), shadow.get(), 0);
    }
  }
  if (result == kOk && !unchanged) result = displayPublisherEvents(kPublication);

  if (result == kOk && !unchanged) {
    handOverEvents();
    handedOver = true;
    // Only the snapshots this poll took: a ".tmp" file that a crashed poll
    // left behind never becomes the committed generation.
    bool passwdTaken = passwd.isOpen(), shadowTaken = shadow.isOpen(), groupTaken = group.isOpen();
    passwd.close();
    shadow.close();
    group.close();
    bool tablesCommitted = true;
    if (passwdTaken && (result = restoreFilesBackup("passwd")) != kOk) tablesCommitted = false;
    if (tablesCommitted && shadowTaken && (result = restoreFilesBackup("shadow")) != kOk) tablesCommitted = false;
    if (tablesCommitted && groupTaken && (result = restoreFilesBackup("group")) != kOk) tablesCommitted = false;
    if (tablesCommitted) {
      std::FILE* out = std::fopen(kStampFile, "w");
      if (out == nullptr) {
        result = kErrOpen;
      } else {
        std::fprintf(out, "%ld %ld %ld", trustedTime(now.passwd, readAt), trustedTime(now.shadow, readAt),
                     trustedTime(now.group, readAt));
        if (std::fclose(out) != 0) result = kErrOpen;
      }
      // The engine has the events and the snapshots that produced them are
      // committed: the published passwords may go now.
      purgePasswordCache(0);
      // A committed passwd generation of an earlier version may still refer
      // to overflow files; only once this poll has replaced it are the files
      // that no group snapshot names surely unused.
      if (passwdTaken) sweepOrphanOverflowFiles();
    }
  }

  if (!handedOver) handOverEvents();
  passwd.close();
  shadow.close();
  group.close();
  unlink("passwd.log.tmp");
  unlink("shadow.log.tmp");
  if (access("group.log.tmp", F_OK) == 0) {
    removeTmpOverflowFiles();
    unlink("group.log.tmp");
  }
  unlink(kPublication);
  if (result != kOk) traceError("handleFilesChange");
  return result;
}
