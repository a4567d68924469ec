// Home directories of accounts kept outside the local files (NIS, NIS+):
// made on add, removed on delete. Problems are warnings on standard error;
// they never change a command's result.
#pragma once

#include <sys/types.h>

// Makes path (mode 0777 less the file-creation mask) and gives it to
// uid:gid.
void createHomeDir(const char* path, uid_t uid, gid_t gid);

// Removes path and everything below it, only when uid owns it and it is
// not the root directory. gid is not consulted.
void removeHomeDirectory(const char* path, uid_t uid, gid_t gid);

// The id text as the home routines take it: text that is not a number
// gives 0.
unsigned long homeId(const char* text);
