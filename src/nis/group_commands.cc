#include "nis/group_commands.h"

#include "core/result.h"
#include "core/trace.h"
#include "nis/source_files.h"
#include "core/map_keys.h"
#include "core/field_merge.h"

namespace {

// 1 present, 0 absent, or the failure of the test itself.
int presence(const std::string& key, const std::string& mapDir, const char* selector) {
  return keyPresence(key, mapDir, selector, "group");
}

// A new name is taken when the map has it, when the source file has it (an
// add killed before the map rebuild), and always when the map's own
// bookkeeping uses it (such a group would overwrite that entry).
int taken(const std::string& name, const EventRecord& r) {
  if (isMapBookkeepingKey(name)) return 1;
  int state = presence(name, *r.mapDir, "BYNAME");
  if (state != 0) return state;
  return nameInSource(name, *r.sourceDir, "group");
}

// The routine's result for a presence test: kOk to go on, or the failure.
int require(const char* routine, int state, bool wanted, int otherwise) {
  if (state < 0) return failAt(routine, state);
  if ((state == 1) != wanted) return failAt(routine, otherwise);
  return kOk;
}

std::string groupLine(const EventRecord& r) {
  return r.field(kName) + ":" + r.field(kPasswd) + ":" + r.field(kGid) + ":" + r.field(kMembers);
}

// Group commands share the user commands' lock: both kinds rewrite files
// of the same directory through the same scratch names and rebuild the
// same maps.
int lockFor(const EventRecord& r, SourceLock& lock, const char* routine) {
  if (!r.mapDir || !r.sourceDir) {
    logCause(routine, "no %s given", r.mapDir ? "source directory (-y)" : "map directory (-d)");
    return failAt(routine, kErrOther);
  }
  int result = lockSourceFiles(*r.sourceDir, lock);
  return result == kOk ? kOk : failAt(routine, result);
}

int rebuild(const EventRecord& r, const char* routine) {
  int result = rebuildNisMaps(*r.mapDir);
  return result == kOk ? kOk : failAt(routine, result);
}

void keepFirstLine(std::string& text) {
  auto newline = text.find('\n');
  if (newline != std::string::npos) text.resize(newline);
}

// An add whose map rebuild failed (or was killed) leaves its line in the
// source and none in the map; the engine then retries the same add. 1 when
// the source holds exactly the line this add writes, so that only the
// rebuild is left to do; 0 when it holds nothing of the name; otherwise the
// name is in use by another group.
int unfinishedAdd(const EventRecord& r) {
  std::string current;
  int state = sourceLines(r.field(kName), *r.sourceDir, "group", &current);
  if (state <= 0) return state;
  return current == groupLine(r) ? 1 : kErrNameInUse;
}

}  // namespace

int nisGroupAdd(EventRecord& r) {
  SourceLock lock;
  // makedbm keys an entry by the line's first word: a blank or a tab would
  // file the group under part of its name.
  if (r.field(kName).empty() || r.field(kName).find_first_of(" \t") != std::string::npos)
    return failAt("nisGroupAdd", kErrArgument);
  int result = lockFor(r, lock, "nisGroupAdd");
  if (result != kOk) return result;
  const std::string& name = r.field(kName);
  result = require("nisGroupAdd", isMapBookkeepingKey(name) ? 1 : presence(name, *r.mapDir, "BYNAME"), false,
                   kErrNameInUse);
  if (result != kOk) return result;
  if (!r.nonUniqueId) {
    result =
        require("nisGroupAdd", presence(r.field(kGid), *r.mapDir, "BYGID"), false, kErrIdInUse);
    if (result != kOk) return result;
  }
  if (checkSourceLine(groupLine(r), "group") != kOk) return failAt("nisGroupAdd", kErrArgument);
  const int unfinished = unfinishedAdd(r);
  if (unfinished < 0) return failAt("nisGroupAdd", unfinished);
  if (!unfinished &&
      modifyRecordInFile(name, *r.sourceDir, groupLine(r), "group", "groupadd", "") != kOk)
    return failAt("nisGroupAdd", kErrOther);
  return rebuild(r, "nisGroupAdd");
}

int nisGroupMod(EventRecord& r) {
  SourceLock lock;
  int result = lockFor(r, lock, "nisGroupMod");
  if (result != kOk) return result;
  const std::string& name = r.field(kName);
  result = require("nisGroupMod", presence(name, *r.mapDir, "BYNAME"), true, kErrNoSuchAccount);
  if (result != kOk) return result;
  std::string current;
  bool found = false;
  result = getRecordFromFile(name, *r.sourceDir, "group", &current, &found);
  if (result != kOk) return failAt("nisGroupMod", result);
  if (!found) return failAt("nisGroupMod", kErrOther);
  keepFirstLine(current);
  EventRecord stored;
  result = parseEventData(&stored, current.c_str(), kAddGroup);
  if (result != kOk) return failAt("nisGroupMod", result);
  mergeGroupRecord(r, stored);
  if (checkSourceLine(groupLine(r), "group") != kOk) return failAt("nisGroupMod", kErrArgument);
  if (modifyRecordInFile(name, *r.sourceDir, groupLine(r), "group", "groupmod", "") != kOk)
    return failAt("nisGroupMod", kErrOther);
  return rebuild(r, "nisGroupMod");
}

int nisGroupDel(EventRecord& r) {
  SourceLock lock;
  int result = lockFor(r, lock, "nisGroupDel");
  if (result != kOk) return result;
  const std::string& name = r.field(kName);
  result = require("nisGroupDel", presence(name, *r.mapDir, "BYNAME"), true, kErrNoSuchAccount);
  if (result != kOk) return result;
  if (modifyRecordInFile(name, *r.sourceDir, "", "group", "groupdel", "") != kOk)
    return failAt("nisGroupDel", kErrOther);
  return rebuild(r, "nisGroupDel");
}

int nisGroupRename(EventRecord& r) {
  SourceLock lock;
  const std::string& oldName = r.field(kName);
  const std::string& newName = r.field(kNewName);
  if (newName.empty() || newName.find_first_of(", \t") != std::string::npos)
    return failAt("nisGroupRename", kErrArgument);
  int result = lockFor(r, lock, "nisGroupRename");
  if (result != kOk) return result;
  result =
      require("nisGroupRename", presence(oldName, *r.mapDir, "BYNAME"), true, kErrNoSuchAccount);
  if (result != kOk) return result;
  if (newName != oldName) {
    result = require("nisGroupRename", taken(newName, r), false, kErrNameInUse);
    if (result != kOk) return result;
  }
  std::string old;
  bool found = false;
  result = getRecordFromFile(oldName, *r.sourceDir, "group", &old, &found);
  if (result != kOk) return failAt("nisGroupRename", result);
  keepFirstLine(old);
  auto colon = old.find(':');
  if (!found || old.empty() || colon == std::string::npos) return failAt("nisGroupRename", kErrOther);
  std::string line = newName + old.substr(colon);
  if (checkSourceLine(line, "group") != kOk) return failAt("nisGroupRename", kErrArgument);
  if (modifyRecordInFile(oldName, *r.sourceDir, line, "group", "grouprename", newName) != kOk)
    return failAt("nisGroupRename", kErrOther);
  return rebuild(r, "nisGroupRename");
}
