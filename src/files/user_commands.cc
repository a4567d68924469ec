#include "files/user_commands.h"

#include <string>
#include <sys/stat.h>

#include "core/process_state.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/trace.h"
#include "files/files_command.h"
#include "files/set_password.h"
#include "password/prepare_password.h"

namespace {

// Step of a handler: builds one command and runs it when there is one.
// *built tells whether a command was made; the result is non-zero only when
// the command ran and failed, or could not be made safely.
int runStep(const char* routine, const char* logName, int kind, const EventRecord& record,
            const char* prefix, const char* suffix, bool* built) {
  std::string command;
  bool refused = false;
  *built = constructFilesCommand(command, kind, record, prefix, suffix, record.nonUniqueId,
                                 &refused) == kOk;
  if (refused) return failAt(routine, kErrArgument);
  if (!*built) return kOk;
  debugCommand(logName, command);
  int ran = qvSystem(command);
  if (ran != kOk) return failAt(routine, ran);
  return kOk;
}

}  // namespace

int handleUserAdd(EventRecord& record) {
  for (int i = kPasswd; i <= kFlag; ++i) {
    if (i == kPasswd || i == kShadowPasswd) continue;
    if (record.field(i).empty()) record.fields[i] = "*";
  }
  const char* suffix = record.makeHome && record.field(kHome) != "*" ? "-m " : "-M ";

  bool added = false, aged = false;
  umask(022);
  int result = runStep("handleUserAdd", "handleUserAdd", kUserAddCommand, record, "", suffix, &added);
  if (result != kOk) return result;
  umask(077);
  result = runStep("handleUserAdd", "handleUserAdd2", kChageCommand, record, "", "", &aged);
  if (result != kOk) return result;
  if (!added && !aged) return failAt("handleUserAdd", kErrOther);
  result = setPassword(record);
  if (result != kOk) return failAt("handleUserAdd", result);
  return kOk;
}

int handleUserMod(EventRecord& record) {
  // In a modify event an empty field keeps the account's value and "*"
  // clears it; the builder wants "*" for "leave out". The password fields
  // go to setPassword, which leaves an empty one alone and stores a "*"
  // as given: only an empty clear text clears the password.
  for (int i : {kPasswd, kShadowPasswd})
    if (record.field(i) == "*" && !passwordGivenLocked()) record.fields[i] = "noPassword";
  for (int i = kPasswd; i < kFieldCount; ++i) {
    if (!record.has(i) || i == kPasswd || i == kShadowPasswd) continue;
    if (record.field(i).empty())
      record.fields[i] = "*";
    else if (record.field(i) == "*")
      record.fields[i] = "";
  }
  const char* suffix = record.makeHome && record.field(kHome) != "*" ? "-m " : "";
  // Cleared inactive days: -1 is the tools' "never".
  if (record.has(kInactive) && record.field(kInactive).empty()) record.fields[kInactive] = "-1";

  bool modified = false, aged = false;
  umask(022);
  int result = runStep("handleUserMod", "handleUserMod", kUserModCommand, record, "", suffix, &modified);
  if (result != kOk) return result;
  umask(077);
  result = runStep("handleUserMod", "handleUserMod2", kChageCommand, record, "", "", &aged);
  if (result != kOk) return result;
  result = setPassword(record);
  if (result != kOk) return failAt("handleUserMod", result);
  return kOk;
}

int handleUserDel(EventRecord& record) {
  bool built = false;
  int result = runStep("handleUserDel", "handleUserDel", kUserDelCommand, record,
                       record.removeHome ? "-r " : "", "", &built);
  if (result != kOk) return result;
  if (!built) return failAt("handleUserDel", kErrOther);
  return kOk;
}

int handleUserRename(EventRecord& record) {
  // No new name: nothing to do, which the engine must hear as a failure.
  if (record.field(kNewName).empty()) record.fields[kNewName] = "*";
  bool built = false;
  int result = runStep("handleUserRename", "handleUserRename", kUserRenameCommand, record, "", "",
                       &built);
  if (result != kOk) return result;
  if (!built) return failAt("handleUserRename", kErrOther);
  return kOk;
}
