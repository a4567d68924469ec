// The poll of a store kept as snapshots of its account tables, shared by the
// files and NIS polls. The tables' modification times, against the stamp,
// decide which tables need a new snapshot. Users (passwd with shadow) and
// groups are compared as units: a unit that may have changed gets new
// snapshots of all its tables, every one of them is compared, and only those
// are committed, after the engine's answer. A table whose source moved while
// its snapshot was taken is stamped as untrusted, so that the next poll
// compares it again: whatever changed at any moment is published by this
// poll or by the next.
#pragma once

#include <array>
#include <functional>
#include <string>

#include "core/dbm_file.h"
#include "core/scratch_file.h"
#include "publisher/poll_run.h"
#include "publisher/snapshot_store.h"

struct SnapshotBackend {
  const char* routine;  // the name the poll appears under in the trace
  int backend;          // kFiles or kNis
  CommitRules commit;
  // The file whose modification time stands for each table ("" for a table
  // not used, as shadow without shadow data).
  std::array<std::string, 3> sources;
  // Finds the tools and checks the arguments, first thing under the poll
  // lock. 0 or a code.
  std::function<int()> prepare;
  // Takes the new snapshot of a table into fresh (made afresh and
  // registered, empty) and opens it into db. 0 or a code.
  std::function<int(SnapshotTable table, ScratchFile& fresh, DbmFile& db)> take;
  // Called for a new snapshot that is not committed, before it is removed,
  // e.g. to remove its overflow files. May be null.
  void (*discard)(SnapshotTable table);
};

// The whole poll; 0 or the first failure's code, traced under the backend's
// routine name.
int runSnapshotPoll(const SnapshotBackend& backend);
