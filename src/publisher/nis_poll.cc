#include "publisher/nis_poll.h"


#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
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
#include "publisher/poll_run.h"
#include "publisher/snapshot_poll.h"
#include "publisher/snapshot_store.h"
#include "core/map_dump.h"

namespace {

// Copying a map and committing its copy both fail as "NISBackup", the
// routine that once did either: the one place that names it in the trace.
int backupFailure(int result) { return failAt("NISBackup", result); }

// "cp <map dir>/<table>.byname <table>.byname.log.tmp". 0 or -11.
int copyNisMap(const std::string& mapDir, const std::string& table) {
  std::string command =
      "cp " + quoteBareWord(mapDir + "/" + table + ".byname") + " " + quoteBareWord(table + ".byname.log.tmp");
  if (command.size() >= kCommandCapacity || qvSystem(command) != kOk) return backupFailure(kErrOther);
  return kOk;
}

// The new copy replaces the committed "<table>.byname.log". 0 or -11.
int commitNisCopy(const std::string& table) {
  std::string fresh = table + ".byname.log.tmp";
  std::string committed = table + ".byname.log";
  if (std::rename(fresh.c_str(), committed.c_str()) != 0) return backupFailure(kErrOther);
  return kOk;
}

int takeNisSnapshot(const std::string& mapDir, SnapshotTable table, ScratchFile& fresh, DbmFile& db) {
  // The time was read with the map there: one gone since is being rebuilt.
  awaitMap(mapDir + "/" + snapshotTableName(table) + ".byname");
  // cp writes into the file made afresh for it.
  int result = copyNisMap(mapDir, snapshotTableName(table));
  if (result == kOk && !(db = openSnapshotCopy(fresh.path())).isOpen()) result = kErrOpen;
  return result;
}

const CommitRules kNisCommit{"qvnisyp.stamp", "qvnisyp.commit", kNis, commitNisCopy, nullptr};

}  // namespace

int handleNISChange(EventRecord& record) {
  std::string mapDir = record.mapDir.value_or("");
  SnapshotBackend backend{
      "handleNISChange",
      kNis,
      kNisCommit,
      {mapDir + "/passwd.byname", record.noShadow ? "" : mapDir + "//shadow.byname", mapDir + "/group.byname"},
      [&] { return record.mapDir ? kOk : kErrOther; },
      [&](SnapshotTable table, ScratchFile& fresh, DbmFile& db) { return takeNisSnapshot(mapDir, table, fresh, db); },
      nullptr,
  };
  return runSnapshotPoll(backend);
}
