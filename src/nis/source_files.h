// The toolkit under the NIS user and group commands: the lock that keeps
// writers of the source files apart, reading and editing source records,
// looking keys up in the maps and rebuilding the maps.
#pragma once

#include <string>
#include <string_view>

#include "core/file_lock.h"

// The source-file lock: an fcntl write lock on "<source dir>/.pwd.lock",
// held as long as the guard lives. The lock file itself is never removed:
// another command may be waiting on it.
using SourceLock = FileLock;

// How long a command waits for the lock before it gives up, in milliseconds.
extern int sourceLockWaitMs;

// 0 with the lock held, or -8 when it could not be had in time (or the lock
// file cannot be opened). Nothing is changed on failure.
int lockSourceFiles(const std::string& sourceDir, SourceLock& lock);

// The lines of the source file ("passwd", "shadow" or "group") whose first
// field is exactly name, newline-separated, at most 1023 bytes; *found is
// true with them. 0, -3 for another file name, a name too long for the awk
// read this once was, or a file that cannot be read (traced as that read's
// runner), -1 when the run's scratch file cannot be made, or the code of
// searchPath.
int getRecordFromFile(const std::string& name, const std::string& sourceDir,
                      const std::string& fileName, std::string* record, bool* found);

// Edits one source file record by record. operation: "useradd", "usermod",
// "userdel", "userrename" and the same four with "group". The record text
// (add, modify) reaches the tools through the environment, never through a
// command line; newName is used by the renames. 0, -3, or the code of
// searchPath or of the runner.
int modifyRecordInFile(const std::string& name, const std::string& sourceDir,
                       const std::string& record, const std::string& fileName,
                       const std::string& operation, const std::string& newName);

// 0 when the edit copy of a source file ("<fileName>.tmp" in this run's
// directory) can be made; -1 when it cannot. The copy is removed again at
// once.
int checkEditCopy(const std::string& fileName);

// Appends (operations "useradd" and "groupadd") end the file's last line
// first when it has no newline.

// Appends a new user's passwd line and, when shadow is not null, its shadow
// line, in one child that a SIGTERM to the shim lets finish and that
// outlives a SIGKILL of it: the account never lands in one file alone.
int appendUserRecords(const std::string& sourceDir, const std::string& passwd, const std::string* shadow);

// 0 when key is a key of "<mapDir>/<base>.by{name,uid,gid}" (selector
// "BYNAME", "BYUID", "BYGID", the ids compared as numbers); -6 when it is
// not; -11 when the map cannot be opened or read through (traced as the
// runner's, as the makedbm dump that once read it); -1 when its scratch
// files cannot be made (the test was not done); or the code of searchPath.
int isKeyInMap(const std::string& key, const std::string& mapDir, const std::string& selector,
               const std::string& base);

// The same test as the commands use it: 1 present, 0 absent, or the
// failure of the test. A map missing for a rebuild is waited for; one that
// stays missing or cannot be read fails the test (-11): it is never a map
// without keys.
int keyPresence(const std::string& key, const std::string& mapDir, const std::string& selector,
                const std::string& base);

// 1 when the source file has a line whose first field is name, 0 when not,
// or the failure of the read. Catches what an add killed before the map
// rebuild left in the source files.
int nameInSource(const std::string& name, const std::string& sourceDir,
                 const std::string& fileName);

// The lines of name in a source file: 1 with them in text, 0 when it has
// none (or the file is not made yet), or the failure of the read.
int sourceLines(const std::string& name, const std::string& sourceDir, const char* fileName,
                std::string* text);

// A line to be written into a source file must come out of the map
// rebuild whole: a map value holds at most 1023 characters here (a longer
// line would vanish from the maps), and makedbm reads a line that ends in a
// backslash as continued on the next, swallowing that account. For
// "passwd" and "group" the ids must also be numbers: the Makefile leaves any
// other line out of the maps. 0, or -3.
int checkSourceLine(const std::string& line, std::string_view file = "");

// The whole value of the map's first entry whose value begins with
// "<name>:". 0, -11 when there is none or the map cannot be read (one missing
// for a rebuild is waited for first), or the code of searchPath.
int getRecordFromMap(const std::string& mapPath, const std::string& name, std::string* value);

// "cd <map dir> && <make dir>/make -f /var/yp/Makefile passwd group": 0, -2
// when it fails, or the code of searchPath.
int rebuildNisMaps(const std::string& mapDir);
