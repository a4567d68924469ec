#include "files/group_commands.h"

#include <algorithm>
#include <cstdio>
#include <grp.h>
#include <string>
#include <vector>

#include "core/result.h"
#include "core/trace.h"
#include "core/unique_fd.h"
#include "files/files_command.h"
#include "files/membership.h"

namespace {

using MemberChange = int (*)(const std::string& group, const std::string& list);

// The step after the group's own command: the event's members, when it
// names any; else the command must have been built (-11 otherwise).
// Membership has no tool (its row of the tool table names none): the
// builder's name stands in the trace ahead of this step's own marks, where
// the engine has always seen it.
int membershipStep(const char* routine, const EventRecord& record, bool built,
                   MemberChange change) {
  traceError("constructFilesCommand");
  if (record.has(kMembers) && record.field(kMembers) != "*") {
    int result = change(record.field(kName), record.field(kMembers));
    if (result != kOk) return failAt(routine, result);
    return kOk;
  }
  if (!built) return failAt(routine, kErrOther);
  return kOk;
}

// An add stopped after groupadd, or between two of its members, leaves
// the group with the event's gid and only members the event names: the
// engine's retry of the same event adds the rest. A group with other values
// or with another member is a plain "name in use".
bool addedUnfinished(const EventRecord& record) {
  UniqueFile groups(std::fopen("/etc/group", "re"));
  while (groups.valid()) {
    struct group* gr = fgetgrent(groups.get());
    if (gr == nullptr) return false;
    if (record.field(kName) != gr->gr_name) continue;
    const std::string& gid = record.field(kGid);
    if (gid != "*" && gid != std::to_string(gr->gr_gid)) return false;
    const std::vector<std::string> wanted = memberNames(record.field(kMembers));
    for (char** member = gr->gr_mem; *member != nullptr; ++member)
      if (std::find(wanted.begin(), wanted.end(), *member) == wanted.end()) return false;
    return true;
  }
  return false;
}

}  // namespace

int handleGroupAdd(EventRecord& record) {
  for (int i = kPasswd; i < kFieldCount; ++i)
    if (record.has(i) && record.field(i).empty()) record.fields[i] = "*";

  bool built = false;
  int result = runFilesStep("handleGroupAdd", {kGroupAddCommand, "handleGroupAdd"}, record, &built);
  if (result == kErrNameInUse && record.field(kMembers) != "*" && addedUnfinished(record)) {
    resetErrorTrace();
    result = kOk;
  }
  if (result != kOk) return result;
  return membershipStep("handleGroupAdd", record, built, addUsersToGroup);
}

int handleGroupMod(EventRecord& record) {
  if (record.field(kGid).empty() && record.field(kMembers).empty()) return kOk;
  // Empty keeps the group's value, "*" clears it.
  for (int i = kPasswd; i < kFieldCount; ++i) {
    if (!record.has(i)) continue;
    if (record.field(i).empty())
      record.fields[i] = "*";
    else if (record.field(i) == "*")
      record.fields[i] = "";
  }

  bool built = false;
  int result = runFilesStep("handleGroupMod", {kGroupModCommand, "handleGroupMod"}, record, &built);
  if (result != kOk) return result;
  return membershipStep("handleGroupMod", record, built, modifyUsersInGroup);
}

int handleGroupDel(EventRecord& record) {
  return runOnlyFilesStep("handleGroupDel", {kGroupDelCommand, "handleGroupDel"}, record);
}

int handleGroupRename(EventRecord& record) {
  if (record.field(kNewName).empty()) record.fields[kNewName] = "*";
  return runOnlyFilesStep("handleGroupRename", {kGroupRenameCommand, "handleGroupRename"}, record);
}
