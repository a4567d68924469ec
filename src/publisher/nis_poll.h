// The publisher poll of the NIS backend, and the copies of NIS maps it
// works on.
#pragma once

#include <string>

#include "core/event_record.h"

int handleNISChange(EventRecord& record);

// Copy mode: "cp <map dir>/<table>.byname <table>.byname.log.tmp".
// Commit mode: the new snapshot replaces "<table>.byname.log". 0 or -11.
enum BackupMode { kBackupCopy = 0, kBackupCommit = 1 };
int NISBackup(const std::string& mapDir, const std::string& table, BackupMode mode);
