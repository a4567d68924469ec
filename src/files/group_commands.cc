#include "files/group_commands.h"

#include <string>

#include "core/process_state.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/trace.h"
#include "files/files_command.h"
#include "files/membership.h"

namespace {

// Builds one command and runs it when there is one (see the user commands).
int runStep(const char* routine, int kind, const EventRecord& record, bool* built) {
  std::string command;
  bool refused = false;
  *built = constructFilesCommand(command, kind, record, "", "", record.nonUniqueId, &refused) == kOk;
  if (refused) return failAt(routine, kErrArgument);
  if (!*built) return kOk;
  debugCommand(routine, command);
  int ran = qvSystem(command);
  if (ran != kOk) return failAt(routine, ran);
  return kOk;
}

// The membership row of the tool table names no tool: asking for it only
// leaves its mark in the trace, as the engine has always seen it.
void membershipRow(const EventRecord& record) {
  std::string unused;
  constructFilesCommand(unused, kNoToolCommand, record, "", "", record.nonUniqueId);
}

}  // namespace

int handleGroupAdd(EventRecord& record) {
  for (int i = kPasswd; i < kFieldCount; ++i)
    if (record.has(i) && record.field(i).empty()) record.fields[i] = "*";

  bool built = false;
  int result = runStep("handleGroupAdd", kGroupAddCommand, record, &built);
  if (result != kOk) return result;
  membershipRow(record);
  if (record.has(kMembers) && record.field(kMembers) != "*") {
    result = addUsersToGroup(record.field(kName), record.field(kMembers));
    if (result != kOk) return failAt("handleGroupAdd", result);
    return kOk;
  }
  if (!built) return failAt("handleGroupAdd", kErrOther);
  return kOk;
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
  int result = runStep("handleGroupMod", kGroupModCommand, record, &built);
  if (result != kOk) return result;
  membershipRow(record);
  if (record.has(kMembers) && record.field(kMembers) != "*") {
    result = modifyUsersInGroup(record.field(kName), record.field(kMembers));
    if (result != kOk) return failAt("handleGroupMod", result);
    return kOk;
  }
  if (!built) return failAt("handleGroupMod", kErrOther);
  return kOk;
}

int handleGroupDel(EventRecord& record) {
  bool built = false;
  int result = runStep("handleGroupDel", kGroupDelCommand, record, &built);
  if (result != kOk) return result;
  if (!built) return failAt("handleGroupDel", kErrOther);
  return kOk;
}

int handleGroupRename(EventRecord& record) {
  if (record.field(kNewName).empty()) record.fields[kNewName] = "*";
  bool built = false;
  int result = runStep("handleGroupRename", kGroupRenameCommand, record, &built);
  if (result != kOk) return result;
  if (!built) return failAt("handleGroupRename", kErrOther);
  return kOk;
}
