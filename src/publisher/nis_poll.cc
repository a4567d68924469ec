#include "publisher/nis_poll.h"

#include "publisher/handover.h"
#include "publisher/stamp_time.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string.h>
#include <unistd.h>

#include "core/dbm_file.h"
#include "core/process_state.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/shell_quote.h"
#include "core/trace.h"
#include "core/scratch_file.h"
#include "nis/source_files.h"
#include "publisher/change_cache.h"
#include "publisher/change_detection.h"
#include "publisher/event_output.h"
#include "publisher/first_invocation.h"
#include "publisher/map_dump.h"

namespace {

int cloneFrom(const std::string& mapPath, const std::string& clonePath) {
  std::string makedbmDir;
  int result = searchPath("makedbm", &makedbmDir);
  if (result != kOk) return result;
  ScratchFile dump(pidName("tmpmap_"));
  std::string command = makedbmDir + "/makedbm -u " + quoteBareWord(mapPath) + " > " +
                        quoteBareWord(dump.path());
  if (command.size() >= 1024) return kErrArgument;
  debugCommand("NISBackupByClone", command);
  if (qvSystem(command) != kOk) return kErrOther;

  std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(dump.c_str(), "r"), std::fclose);
  // A clone left over under this name must not lend its entries.
  unlink(clonePath.c_str());
  DbmFile clone = DbmFile::open(clonePath);
  if (!in || !clone.isOpen()) return kErrNotFound;

  char* line = nullptr;
  std::size_t capacity = 0;
  ssize_t length;
  result = kOk;
  while (result == kOk && (length = getline(&line, &capacity, in.get())) >= 0) {
    std::string_view key, value;
    if (!parseDumpLine(std::string_view(line, static_cast<std::size_t>(length)), &key, &value)) continue;
    result = clone.store(key, value);
  }
  if (line != nullptr) {
    explicit_bzero(line, capacity);
    std::free(line);
  }
  return result;
}

}  // namespace

int NISBackupByClone(const std::string& mapPath, const std::string& clonePath) {
  int result = cloneFrom(mapPath, clonePath);
  if (result != kOk) traceError("NISBackupByClone");
  return result;
}

int NISBackup(const std::string& mapDir, const std::string& table, BackupMode mode) {
  int result = kOk;
  if (mode == kBackupCopy) {
    std::string command = "cp " + quoteBareWord(mapDir + "/" + table + ".byname") + " " +
                          quoteBareWord(table + ".byname.log.tmp");
    if (command.size() >= 1024 || qvSystem(command) != kOk) result = kErrOther;
  } else {
    std::string fresh = table + ".byname.log.tmp";
    std::string committed = table + ".byname.log";
    if (std::rename(fresh.c_str(), committed.c_str()) != 0) result = kErrOther;
  }
  if (result != kOk) traceError("NISBackup");
  return result;
}

namespace {

constexpr int kNisSelector = 1;
constexpr const char* kStampFile = "qvnisyp.stamp";
constexpr const char* kTables[3] = {"passwd", "shadow", "group"};

// One poll's state: the new snapshots it opened, the maps' times, and
// whether the engine has answered yet.
struct NisPoll {
  DbmFile snapshots[3];     // passwd, shadow, group
  long times[3] = {-2, 0, -2};
  long readAt = 0;  // the clock, read before the maps' times
  bool answered = false;

  GDBM_FILE handle(int table) const { return snapshots[table].get(); }
};

// Hands the events over once: standard output closed, the engine's answer
// awaited.
void awaitEngineAnswer(NisPoll& poll) {
  if (poll.answered) return;
  poll.answered = true;
  handOverEvents();
}

// Copies one map to its new snapshot and opens it. 0, or the copy's -11, or
// -1 for a snapshot that cannot be opened. A missing map is no failure.
int takeSnapshot(const std::string& mapDir, const char* mapPath, int table, NisPoll& poll) {
  poll.times[table] = fileMtime(mapDir + mapPath);
  if (poll.times[table] == -2) return kOk;
  int result = NISBackup(mapDir, kTables[table], kBackupCopy);
  if (result != kOk) return result;
  poll.snapshots[table] = DbmFile::open(std::string(kTables[table]) + ".byname.log.tmp");
  return poll.snapshots[table].isOpen() ? kOk : kErrOpen;
}

int compareAndPublish(EventRecord& record, NisPoll& poll) {
  if (!record.mapDir) return kErrOther;
  const std::string& mapDir = *record.mapDir;
  poll.readAt = static_cast<long>(std::time(nullptr));
  int result = takeSnapshot(mapDir, "/passwd.byname", 0, poll);
  if (result != kOk) return result;
  result = takeSnapshot(mapDir, "/group.byname", 2, poll);
  if (result != kOk) return result;
  if (!record.noShadow) {
    result = takeSnapshot(mapDir, "//shadow.byname", 1, poll);
    if (result != kOk) return result;
  }
  if (!poll.snapshots[0].isOpen() && !poll.snapshots[2].isOpen()) return kErrOpen;

  // Lines of an earlier poll that died before printing must not be
  // published again.
  unlink(publicationFileName(kNisSelector));
  if (access(kStampFile, F_OK) != 0) {
    result = processFirstPublisherInvocation(poll.handle(0), poll.handle(1), poll.handle(2),
                                             kNisSelector);
    if (result != kOk) return result;
  } else {
    std::unique_ptr<FILE, int (*)(FILE*)> stamp(std::fopen(kStampFile, "r"), std::fclose);
    long before[3];
    if (!stamp || std::fscanf(stamp.get(), "%ld %ld %ld", &before[0], &before[1], &before[2]) != 3)
      return kErrOpen;
    bool passwdChanged = before[0] != poll.times[0];
    bool shadowChanged = before[1] != poll.times[1];
    bool groupChanged = before[2] != poll.times[2];
    if (!passwdChanged && !shadowChanged && !groupChanged) return kOk;
    if (groupChanged && poll.snapshots[2].isOpen()) {
      result = processIncrementalGroupChanges(poll.handle(2), kNisSelector);
      if (result != kOk) return result;
    }
    if ((passwdChanged || shadowChanged) && poll.snapshots[0].isOpen()) {
      result = processIncrementalUserChanges(poll.handle(0), poll.handle(1), kNisSelector);
      if (result != kOk) return result;
    }
  }

  result = displayPublisherEvents(publicationFileName(kNisSelector));
  if (result != kOk) return result;
  awaitEngineAnswer(poll);

  // The engine has the events: the new snapshots become the committed ones.
  for (int table : {0, 1, 2}) {
    if (!poll.snapshots[table].isOpen()) continue;
    poll.snapshots[table].close();
    if (NISBackup(mapDir, kTables[table], kBackupCommit) != kOk) return kErrOther;
  }
  purgePasswordCache(kNisSelector);
  std::unique_ptr<FILE, int (*)(FILE*)> stamp(std::fopen(kStampFile, "w"), std::fclose);
  if (!stamp) return kErrOpen;
  // A map rebuilt later in the second its time was read must still be
  // compared by the next poll.
  std::fprintf(stamp.get(), "%ld %ld %ld", trustedTime(poll.times[0], poll.readAt),
               trustedTime(poll.times[1], poll.readAt), trustedTime(poll.times[2], poll.readAt));
  return std::fclose(stamp.release()) == 0 ? kOk : kErrOpen;
}

}  // namespace

int handleNISChange(EventRecord& record) {
  NisPoll poll;
  int result = compareAndPublish(record, poll);
  awaitEngineAnswer(poll);
  for (auto& snapshot : poll.snapshots) snapshot.close();
  for (const char* table : kTables) unlink((std::string(table) + ".byname.log.tmp").c_str());
  if (result != kOk) traceError("handleNISChange");
  return result;
}
