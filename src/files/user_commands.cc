#include "files/user_commands.h"

#include <string>
#include <sys/stat.h>

#include "core/result.h"
#include "core/trace.h"
#include "files/files_command.h"
#include "files/set_password.h"
#include "password/prepare_password.h"

int handleUserAdd(EventRecord& record) {
  for (int i = kPasswd; i <= kFlag; ++i) {
    if (i == kPasswd || i == kShadowPasswd) continue;
    if (record.field(i).empty()) record.fields[i] = "*";
  }
  const char* suffix = record.makeHome && record.field(kHome) != "*" ? "-m " : "-M ";

  bool added = false, aged = false;
  umask(022);
  int result = runFilesStep("handleUserAdd", {kUserAddCommand, "handleUserAdd", "", suffix}, record, &added);
  if (result != kOk) return result;
  umask(077);
  result = runFilesStep("handleUserAdd", {kChageCommand, "handleUserAdd2"}, record, &aged);
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
  int result = runFilesStep("handleUserMod", {kUserModCommand, "handleUserMod", "", suffix}, record, &modified);
  if (result != kOk) return result;
  umask(077);
  result = runFilesStep("handleUserMod", {kChageCommand, "handleUserMod2"}, record, &aged);
  if (result != kOk) return result;
  result = setPassword(record);
  if (result != kOk) return failAt("handleUserMod", result);
  return kOk;
}

int handleUserDel(EventRecord& record) {
  return runOnlyFilesStep("handleUserDel",
                          {kUserDelCommand, "handleUserDel", record.removeHome ? "-r " : ""},
                          record);
}

int handleUserRename(EventRecord& record) {
  // No new name: nothing to do, which the engine must hear as a failure.
  if (record.field(kNewName).empty()) record.fields[kNewName] = "*";
  return runOnlyFilesStep("handleUserRename", {kUserRenameCommand, "handleUserRename"}, record);
}
