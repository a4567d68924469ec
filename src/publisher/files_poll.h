// The publisher poll of the files backend: snapshots of /etc/passwd,
// /etc/shadow and /etc/group, compared with the committed ones when the
// files' modification times say something may have changed, printed, and
// committed only once the engine has answered.
#pragma once

#include "core/event_record.h"

int handleFilesChange(EventRecord& record);

// Turns "./platformdbm.tmp" (lines "<name> <line>") into "passwd.log.tmp"
// (passwdTable non-zero) or "group.log.tmp", made afresh; group lines longer
// than 1000 characters go to overflow files in "./d.overflow/", and a line
// that begins like an overflow reference is stored marked as a line. Deletes
// the text. 0, gdbm_store's failing status, -2, or -1 when the snapshot
// cannot be made afresh.
int createDbm(int passwdTable);

// Commits one table ("passwd", "shadow" or "group"): "<table>.log.tmp"
// becomes "<table>.log", and the overflow files only the replaced
// generation referred to are deleted. 0 or -11.
int restoreFilesBackup(const char* table);

// Deletes the overflow files "group.log.tmp" refers to.
void removeTmpOverflowFiles();
