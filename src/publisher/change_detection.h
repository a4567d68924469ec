// Comparison of the new snapshots with the committed ones, account by
// account, writing one event line per difference into the publication file.
// A modify line carries only the changed fields: "" unchanged, "*" cleared.
#pragma once

#include <cstdio>
#include <functional>
#include <gdbm.h>
#include <optional>
#include <string>
#include <vector>

#include "password/pending_password_store.h"
#include "publisher/overflow_files.h"
#include "publisher/snapshot_store.h"

// A user as the engine sees it: 15 colon-separated fields, the passwd line
// (7) followed by the shadow line without its name (8).
struct UserRecord {
  std::string text;
  // The field that carries the password the engine is told about: 2 when
  // shadow data backs the record, 8 otherwise.
  int passwordField = 8;
};

// Builds the record from a passwd value and, when known, the user's shadow
// value. Missing trailing fields are added empty so the record has 15.
UserRecord makeUserRecord(const std::string& passwdValue, const std::optional<std::string>& shadowValue);

// "modifyUser:" and the 15 fields of the difference (the name always).
std::string diffUserRecords(const std::string& newRecord, const std::string& oldRecord);
// "modifyGroup:name:password:gid:members" of the difference, any length.
std::string diffGroupRecords(const std::string& newRecord, const std::string& oldRecord);

// Group changes: empties the publication file, then writes deleteGroup,
// addGroup and modifyGroup lines. Call it before the user routine.
// 0, -1 (file or database not opened), -11 (a value not fetched), -2 (an
// overflow file not read).
int processIncrementalGroupChanges(GDBM_FILE newGroup, int backend);

// User changes, appended to the publication file (a poll empties the file
// before its comparisons, so that lines of a poll that failed earlier never
// reach the engine): deleteUser, addUser,
// modifyUser, each add or modify followed by the user's modifyPassword line
// when a password change waits. newShadow may be null (no shadow data).
// Pending passwords are marked published but not purged: that is the
// poll's business once the engine has answered (purgePasswordCache).
// 0, -1, -11, or -2 (an overflow file not read).
int processIncrementalUserChanges(GDBM_FILE newPasswd, GDBM_FILE newShadow, int backend);

// After the user comparison: a modifyPassword line for every user of the new
// snapshot whose accepted password change still waits; their names go to
// answered, for the commit to mark them published once the engine has
// answered. The comparison publishes a change only with the user's own line,
// so one accepted after the poll that saw the new password would otherwise
// wait for the user's next change. 0, or -1 (publication file not written).
int publishWaitingPasswords(GDBM_FILE newPasswd, int backend, std::vector<std::string>* answered);

// Writes one event line: the command, ":" and the data. false when it
// could not be written.
using EventLineWriter = std::function<bool(const char* command, const std::string& data)>;

// Writes "addUser:" or "modifyUser:" + data, with the user's pending
// password in field passwordField, then the modifyPassword line of a
// waiting password change. pending, when given, spares the store's opening
// for the users without one. Unless strict, a store that cannot be read
// lets the line go out without the password; strict, it fails the line,
// and the events, before anything is written. false when writing fails.
bool writeUserLine(const EventLineWriter& write, const char* command, std::string& data, int passwordField,
                   int backend, const PendingPasswordNames* pending, bool strict);
// The same into the publication file, not strict.
bool writeUserLine(std::FILE* out, const char* command, std::string& data, int passwordField, int backend,
                   const PendingPasswordNames& pending);
