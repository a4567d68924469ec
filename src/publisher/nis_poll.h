// The publisher poll of the NIS backend, and the copies of NIS maps it and
// the NIS queries work on.
#pragma once

#include <string>

#include "core/event_record.h"

int handleNISChange(EventRecord& record);

// Copy mode: "cp <map dir>/<table>.byname <table>.byname.log.tmp".
// Commit mode: the new snapshot replaces "<table>.byname.log". 0 or -11.
enum BackupMode { kBackupCopy = 0, kBackupCommit = 1 };
int NISBackup(const std::string& mapDir, const std::string& table, BackupMode mode);

// Makes clonePath a fresh gdbm database with the accounts of the map at
// mapPath (read through "makedbm -u"); the map's bookkeeping entries are
// left out. 0, -11 (the dump failed), -2 (dump or clone cannot be opened),
// the failing store's status, or the code of searchPath.
int NISBackupByClone(const std::string& mapPath, const std::string& clonePath);
