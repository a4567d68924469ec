// The publisher poll of the files backend: snapshots of /etc/passwd,
// /etc/shadow and /etc/group, compared with the committed ones when the
// files' modification times say something may have changed, printed, and
// committed only once the engine has answered.
#pragma once

#include <string>

#include "core/event_record.h"

int handleFilesChange(EventRecord& record);

// One table's snapshot: awk (in awkDir) writes source as lines
// "<name> <line>" into "./platformdbm.tmp", run and logged under routine,
// and the text is built into target, an empty snapshot the caller made. With
// overflow, lines longer than 1000 characters go to overflow files in
// "./d.overflow/"; with mark, a line that begins like an overflow reference
// is stored marked as a line. The text goes with the step. 0, -1 when the
// text cannot be made afresh, awk's failure, or -2 or gdbm_store's failing
// status when the snapshot cannot be built.
int createDbm(const std::string& awkDir, const char* source, const char* routine, const std::string& target,
              bool overflow, bool mark);

// Commits one table ("passwd", "shadow" or "group"): "<table>.log.tmp"
// becomes "<table>.log", and the overflow files only the replaced
// generation referred to are deleted. 0 or -11.
int restoreFilesBackup(const char* table);

// Deletes the overflow files "group.log.tmp" refers to.
void removeTmpOverflowFiles();
