#include "nisplus/user_commands.h"

#include <cstdio>
#include <string>
#include <unistd.h>

#include "core/home_directory.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/shell_quote.h"
#include "core/run_directory.h"
#include "core/scratch_file.h"
#include "core/trace.h"
#include "nisplus/nisplus_command.h"
#include "password/prepare_password.h"

namespace {

// The first line of a scratch file, read through its own descriptor, the
// line break dropped. False when it cannot be read.
bool readFirstLine(const ScratchFile& file, std::string* line) {
  std::string text;
  if (file.readBack(&text) != kOk) return false;
  *line = text.substr(0, text.find('\n'));
  wipeString(text);
  return true;
}

// The password column gets the shadow password unless -s, and the locked
// marker "!!" in place of "x".
void preparePasswordColumn(EventRecord& record) {
  if (!record.noShadow) record.fields[kPasswd] = record.field(kShadowPasswd);
  if (record.field(kPasswd) == "x") record.fields[kPasswd] = "!!";
}

// A password from the engine's variable holding ":" or a line break would
// shift the columns that nismatch prints joined by ":", or forge lines of the
// transaction log that the poll reads.
bool passwordsSafe(const EventRecord& record) {
  return isPasswordFieldSafe(record.field(kPasswd)) && isPasswordFieldSafe(record.field(kShadowPasswd));
}

}  // namespace

int nisplusUserAdd(EventRecord& record) {
  const char* me = "nisplusUserAdd";
  if (!passwordsSafe(record)) return failAt(me, kErrArgument);
  int rc = refuseExistingEntry(me, record, "uid", record.field(kUid), "passwd.org_dir");
  if (rc != kOk) return failAt(me, rc);

  preparePasswordColumn(record);
  rc = runNisplusCommand(me, record, kNisplusUserAdd);
  if (rc != kOk) return failAt(me, rc);

  if (record.makeHome && !record.field(kHome).empty() && !record.field(kUid).empty() &&
      !record.field(kGid).empty())
    createHomeDir(record.field(kHome).c_str(), homeId(record.field(kUid).c_str()),
                  homeId(record.field(kGid).c_str()));
  return kOk;
}

int nisplusUserMod(EventRecord& record) {
  const char* me = "nisplusUserMod";
  if (!passwordsSafe(record)) return failAt(me, kErrArgument);
  std::string nismatchDir, awkDir;
  int rc = searchPath("nismatch", &nismatchDir);
  if (rc == kOk) rc = searchPath("awk", &awkDir);
  if (rc != kOk) return failAt(me, rc);

  RunScratchFile scratch{"file.tmp"};
  if (scratch.open() != kOk) return failAt(me, kErrOpen);
  // The entry in the event's field order: the passwd column stands in for
  // the shadow password, which has no column of its own.
  std::string command =
      nismatchDir + "/nismatch name=\"" + quoteDoubleQuoted(record.field(kName)) + "\" passwd.org_dir | " +
      awkDir +
      "/awk 'BEGIN {FS=\":\"} { printf \"%s:%s:%s:%s:%s:%s:%s:%s:%s:%s:%s:%s:%s:%s:%s\",$1,$2,$3,$4,$5,"
      "$6,$7,$2,$8,$9,$10,$11,$12,$13,$14}' > " +
      quoteBareWord(scratch.path());
  rc = runLoggedOrOther(me, command);
  if (rc != kOk) return failAt(me, rc);

  std::string line;
  if (!readFirstLine(scratch, &line)) return failAt(me, kErrOpen);
  EventRecord current;
  rc = parseEventData(&current, line.c_str(), kAddUser);
  wipeString(line);
  if (rc != kOk) return failAt(me, rc);
  mergeModifiedUser(record, current);
  releaseRecord(current);

  preparePasswordColumn(record);
  if (record.field(kPasswd) == "noPassword") record.fields[kPasswd] = std::string();

  rc = runNisplusCommand(me, record, kNisplusUserModify);
  if (rc != kOk) return failAt(me, rc);
  return kOk;
}

int nisplusDel(EventRecord& record) {
  const char* me = "nisplusDel";
  bool user = record.command == kDeleteUser;
  RunScratchFile scratch{"qvnisplus.tmp.homedir"};
  bool looked = false;
  if (user) {
    if (scratch.open() != kOk) return failAt(me, kErrOpen);
    std::string nismatchDir;
    if (searchPath("nismatch", &nismatchDir) == kOk) {
      std::string command = nismatchDir + "/nismatch name=\"" + quoteDoubleQuoted(record.field(kName)) +
                            "\" passwd.org_dir > " + quoteBareWord(scratch.path());
      looked = runLogged(me, command) == kOk;
    }
  }

  int rc = runNisplusCommand(me, record, user ? kNisplusUserDelete : kNisplusGroupDelete);
  if (rc != kOk) return failAt(me, rc);

  if (user && looked && record.removeHome) {
    // The whole first line: a comment with blanks must not cut the entry
    // short, or the home directory of most users would stay behind.
    std::string line;
    EventRecord entry;
    if (readFirstLine(scratch, &line) && !line.empty() &&
        parseEventData(&entry, line.c_str(), kAddUser) == kOk && !entry.field(kHome).empty() &&
        !entry.field(kUid).empty() && !entry.field(kGid).empty())
      removeHomeDirectory(entry.field(kHome).c_str(), homeId(entry.field(kUid).c_str()),
                          homeId(entry.field(kGid).c_str()));
    wipeString(line);
  }
  return kOk;
}

int nisplusRename(EventRecord& record) {
  const char* me = "nisplusRename";
  int rc = runNisplusCommand(me, record, record.command == kRenameUser ? kNisplusUserRename : kNisplusGroupRename);
  if (rc != kOk) return failAt(me, rc);
  return kOk;
}
