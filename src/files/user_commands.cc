#include "files/user_commands.h"

#include <cstdio>
#include <pwd.h>
#include <shadow.h>
#include <string>

#include "core/result.h"
#include "core/trace.h"
#include "core/umask_scope.h"
#include "core/unique_fd.h"
#include "files/files_command.h"
#include "files/set_password.h"
#include "password/prepare_password.h"

namespace {

bool sameField(const std::string& given, const char* stored) { return given == "*" || given == stored; }

// An add stopped after useradd (by a failure or a kill) leaves the account
// as the event describes it but without its password: the engine's retry of
// the same event completes it. Any other account of the name (other fields,
// or one that has a password) is a plain "name in use".
bool addedUnfinished(const EventRecord& record) {
  const std::string& name = record.field(kName);
  bool matches = false;
  UniqueFile passwd(std::fopen("/etc/passwd", "re"));
  while (passwd.valid() && !matches) {
    struct passwd* pw = fgetpwent(passwd.get());
    if (pw == nullptr) break;
    matches = name == pw->pw_name && sameField(record.field(kUid), std::to_string(pw->pw_uid).c_str()) &&
              sameField(record.field(kGid), std::to_string(pw->pw_gid).c_str()) &&
              sameField(record.field(kGecos), pw->pw_gecos) && sameField(record.field(kHome), pw->pw_dir) &&
              sameField(record.field(kShell), pw->pw_shell);
  }
  if (!matches) return false;
  UniqueFile shadow(std::fopen("/etc/shadow", "re"));
  while (shadow.valid()) {
    struct spwd* sp = fgetspent(shadow.get());
    if (sp == nullptr) return false;
    if (name == sp->sp_namp) return std::string(sp->sp_pwdp) == "!" || std::string(sp->sp_pwdp) == "!!";
  }
  return false;
}

}  // namespace

int handleUserAdd(EventRecord& record) {
  for (int i = kPasswd; i <= kFlag; ++i) {
    if (i == kPasswd || i == kShadowPasswd) continue;
    if (record.field(i).empty()) record.fields[i] = "*";
  }
  const char* suffix = record.makeHome && record.field(kHome) != "*" ? "-m " : "-M ";

  bool added = false, aged = false;
  int result;
  {
    UmaskScope homeMask(022);
    result = runFilesStep("handleUserAdd", {kUserAddCommand, "handleUserAdd", "", suffix}, record, &added);
    if (result == kErrNameInUse && addedUnfinished(record)) {
      resetErrorTrace();
      result = kOk;
      added = true;
    }
  }
  if (result != kOk) return result;
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
  int result;
  {
    UmaskScope homeMask(022);
    result = runFilesStep("handleUserMod", {kUserModCommand, "handleUserMod", "", suffix}, record, &modified);
  }
  if (result != kOk) return result;
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
