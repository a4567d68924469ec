#include "publisher/nis_poll.h"


#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string.h>
#include <unistd.h>

#include "core/dbm_file.h"
#include "core/system_log.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/shell_quote.h"
#include "core/trace.h"
#include "core/run_directory.h"
#include "core/scratch_file.h"
#include "nis/live_map.h"
#include "publisher/change_cache.h"
#include "publisher/poll_run.h"
#include "publisher/snapshot_poll.h"
#include "publisher/map_dump.h"

namespace {

int cloneFrom(const std::string& mapPath, const std::string& clonePath) {
  std::string makedbmDir;
  int result = searchPath("makedbm", &makedbmDir);
  if (result != kOk) return result;
  // Made here, so that the shell's redirection writes into a file of this
  // process and never through a link planted under the name.
  RunScratchFile dump(pidName("tmpmap_"));
  if (makeScratch(dump) != kOk) return kErrNotFound;
  std::string command = makedbmDir + "/makedbm -u " + quoteBareWord(mapPath) + " > " +
                        quoteBareWord(dump.path());
  if (command.size() >= kCommandCapacity) return kErrArgument;
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
  if (result != kOk) return failAt("NISBackupByClone", result);
  return kOk;
}

int NISBackup(const std::string& mapDir, const std::string& table, BackupMode mode) {
  int result = kOk;
  if (mode == kBackupCopy) {
    std::string command = "cp " + quoteBareWord(mapDir + "/" + table + ".byname") + " " +
                          quoteBareWord(table + ".byname.log.tmp");
    if (command.size() >= kCommandCapacity || qvSystem(command) != kOk) result = kErrOther;
  } else {
    std::string fresh = table + ".byname.log.tmp";
    std::string committed = table + ".byname.log";
    if (std::rename(fresh.c_str(), committed.c_str()) != 0) result = kErrOther;
  }
  if (result != kOk) return failAt("NISBackup", result);
  return kOk;
}

namespace {

int takeNisSnapshot(const std::string& mapDir, PollTable table, ScratchFile& fresh, DbmFile& db) {
  static constexpr const char* kTables[3] = {"passwd", "shadow", "group"};
  // The time was read with the map there: one gone since is being rebuilt.
  awaitMap(mapDir + "/" + kTables[table] + ".byname");
  // cp writes into the file made afresh for it.
  int result = NISBackup(mapDir, kTables[table], kBackupCopy);
  if (result == kOk && !(db = openSnapshotCopy(fresh.path())).isOpen()) result = kErrOpen;
  return result;
}

int commitNisTable(const std::string& table) { return NISBackup("", table, kBackupCommit); }

const CommitRules kNisCommit{"qvnisyp.stamp", "qvnisyp.commit", kNis, commitNisTable, nullptr};

}  // namespace

int handleNISChange(EventRecord& record) {
  std::string mapDir = record.mapDir.value_or("");
  SnapshotBackend backend{
      "handleNISChange",
      kNis,
      kNisCommit,
      {mapDir + "/passwd.byname", record.noShadow ? "" : mapDir + "//shadow.byname", mapDir + "/group.byname"},
      [&] { return record.mapDir ? kOk : kErrOther; },
      [&](PollTable table, ScratchFile& fresh, DbmFile& db) { return takeNisSnapshot(mapDir, table, fresh, db); },
      nullptr,
  };
  return runSnapshotPoll(backend);
}
