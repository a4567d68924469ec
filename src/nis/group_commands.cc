#include "nis/group_commands.h"

#include "core/result.h"
#include "core/trace.h"
#include "nis/source_files.h"
#include "publisher/change_cache.h"
#include "publisher/field_merge.h"

namespace {

bool present(const std::string& key, const std::string& mapDir, const char* selector) {
  return isKeyInMap(key, mapDir, selector, "group") == kOk;
}

// A new name: taken when the map has it, and always when the map's own
// bookkeeping uses it (such a group would overwrite that entry).
bool taken(const std::string& name, const std::string& mapDir) {
  return isMapBookkeepingKey(name) || present(name, mapDir, "BYNAME");
}

std::string groupLine(const EventRecord& r) {
  return r.field(kName) + ":" + r.field(kPasswd) + ":" + r.field(kGid) + ":" + r.field(kMembers);
}

// Group commands share the user commands' lock: both kinds rewrite files
// of the same directory through the same scratch names and rebuild the
// same maps.
int lockFor(const EventRecord& r, SourceLock& lock, const char* routine) {
  if (!r.mapDir || !r.sourceDir) return failAt(routine, kErrOther);
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

}  // namespace

int nisGroupAdd(EventRecord& r) {
  SourceLock lock;
  if (r.field(kName).empty()) return failAt("nisGroupAdd", kErrArgument);
  int result = lockFor(r, lock, "nisGroupAdd");
  if (result != kOk) return result;
  if (taken(r.field(kName), *r.mapDir)) return failAt("nisGroupAdd", kErrNameInUse);
  if (!r.nonUniqueId && present(r.field(kGid), *r.mapDir, "BYGID"))
    return failAt("nisGroupAdd", kErrIdInUse);
  if (modifyRecordInFile(r.field(kName), *r.sourceDir, groupLine(r), "group", "groupadd", "") != kOk)
    return failAt("nisGroupAdd", kErrOther);
  return rebuild(r, "nisGroupAdd");
}

int nisGroupMod(EventRecord& r) {
  SourceLock lock;
  int result = lockFor(r, lock, "nisGroupMod");
  if (result != kOk) return result;
  const std::string& name = r.field(kName);
  if (!present(name, *r.mapDir, "BYNAME")) return failAt("nisGroupMod", kErrNoSuchAccount);
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
  if (modifyRecordInFile(name, *r.sourceDir, groupLine(r), "group", "groupmod", "") != kOk)
    return failAt("nisGroupMod", kErrOther);
  return rebuild(r, "nisGroupMod");
}

int nisGroupDel(EventRecord& r) {
  SourceLock lock;
  int result = lockFor(r, lock, "nisGroupDel");
  if (result != kOk) return result;
  const std::string& name = r.field(kName);
  if (!present(name, *r.mapDir, "BYNAME")) return failAt("nisGroupDel", kErrNoSuchAccount);
  if (modifyRecordInFile(name, *r.sourceDir, "", "group", "groupdel", "") != kOk)
    return failAt("nisGroupDel", kErrOther);
  return rebuild(r, "nisGroupDel");
}

int nisGroupRename(EventRecord& r) {
  SourceLock lock;
  const std::string& oldName = r.field(kName);
  const std::string& newName = r.field(kNewName);
  if (newName.empty()) return failAt("nisGroupRename", kErrArgument);
  int result = lockFor(r, lock, "nisGroupRename");
  if (result != kOk) return result;
  if (!present(oldName, *r.mapDir, "BYNAME")) return failAt("nisGroupRename", kErrNoSuchAccount);
  if (newName != oldName && taken(newName, *r.mapDir))
    return failAt("nisGroupRename", kErrNameInUse);
  std::string old;
  bool found = false;
  result = getRecordFromFile(oldName, *r.sourceDir, "group", &old, &found);
  if (result != kOk) return failAt("nisGroupRename", result);
  keepFirstLine(old);
  auto colon = old.find(':');
  if (!found || old.empty() || colon == std::string::npos) return failAt("nisGroupRename", kErrOther);
  std::string line = newName + old.substr(colon);
  if (modifyRecordInFile(oldName, *r.sourceDir, line, "group", "grouprename", newName) != kOk)
    return failAt("nisGroupRename", kErrOther);
  return rebuild(r, "nisGroupRename");
}
