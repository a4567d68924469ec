#include "nis/user_commands.h"

#include <initializer_list>
#include <string.h>
#include <unistd.h>

#include "core/home_directory.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/secret.h"
#include "core/shell_quote.h"
#include "core/trace.h"
#include "nis/source_files.h"
#include "password/prepare_password.h"
#include "core/map_keys.h"
#include "core/field_merge.h"

namespace {

// A new name is taken when the map has it, when the source files have it
// (an add killed before the map rebuild), and always when the map's own
// bookkeeping uses it (such an account would overwrite that entry). 1, 0,
// or the failure of a test.
int taken(const std::string& name, const EventRecord& r) {
  if (isMapBookkeepingKey(name)) return 1;
  int state = keyPresence(name, *r.mapDir, "BYNAME", "passwd");
  if (state != 0) return state;
  state = nameInSource(name, *r.sourceDir, "passwd");
  if (state != 0 || r.noShadow) return state;
  return nameInSource(name, *r.sourceDir, "shadow");
}

// The user's lines, checked before either is written.
int checkLines(const std::string& passwd, const std::string* shadow) {
  int result = checkSourceLine(passwd, "passwd");
  if (result == kOk && shadow != nullptr) result = checkSourceLine(*shadow);
  return result;
}

// Lines are built by appending to one buffer, so that no temporary copy of a
// password is left unwiped.
std::string joinFields(std::initializer_list<const std::string*> fields) {
  std::string line;
  line.reserve(1024);
  bool first = true;
  for (const std::string* f : fields) {
    if (!first) line += ':';
    line += *f;
    first = false;
  }
  return line;
}

std::string passwdLine(const EventRecord& r) {
  static const std::string kShadowed = "x";
  const std::string& password = r.noShadow ? r.field(kPasswd) : kShadowed;
  return joinFields({&r.field(kName), &password, &r.field(kUid), &r.field(kGid), &r.field(kGecos),
                        &r.field(kHome), &r.field(kShell)});
}

std::string shadowLine(const EventRecord& r) {
  return joinFields({&r.field(kName), &r.field(kShadowPasswd), &r.field(kLastChange),
                        &r.field(kMinDays), &r.field(kMaxDays), &r.field(kWarnDays),
                        &r.field(kInactive), &r.field(kExpire), &r.field(kFlag)});
}

// The password that the source files carry: field 1 without a shadow file,
// field 7 with one.
std::string& passwordField(EventRecord& r) {
  int index = r.noShadow ? kPasswd : kShadowPasswd;
  if (!r.fields[index]) r.fields[index] = std::string();
  return *r.fields[index];
}

// Only the first line counts when a name has several.
void keepFirstLine(std::string& text) {
  auto newline = text.find('\n');
  if (newline != std::string::npos) {
    explicit_bzero(text.data() + newline, text.size() - newline);
    text.resize(newline);
  }
}

// The new name followed by the old line from its first ":" on.
std::string renamed(const std::string& newName, const std::string& oldLine) {
  std::string line = newName;
  auto colon = oldLine.find(':');
  if (colon != std::string::npos) line.append(oldLine, colon);
  return line;
}

bool hasDirectories(const EventRecord& r) {
  if (r.mapDir && r.sourceDir) return true;
  logCause("hasDirectories", "no %s given", r.mapDir ? "source directory (-y)" : "map directory (-d)");
  return false;
}

// makedbm keys an entry by the line's first word: a name with a blank or a
// tab would be filed under part of it.
bool mapKeyable(const std::string& name) {
  return !name.empty() && name.find_first_of(" \t") == std::string::npos;
}

// The password comes from the environment, not the parsed event: a ":" or a
// line break in it would shift the fields or add a line of its own.
bool passwordFitsRecord(EventRecord& r) { return isPasswordFieldSafe(passwordField(r)); }

// The user's lines as the source files hold them before the change: every
// line of the name, newline-separated, as getRecordFromFile reads them.
struct StoredLines {
  SecretString passwd;
  SecretString shadow;
};

int readStoredLines(const EventRecord& r, StoredLines* lines) {
  const std::string& name = r.field(kName);
  bool found = false;
  int result = getRecordFromFile(name, *r.sourceDir, "passwd", &lines->passwd.text, &found);
  if (result != kOk) return result;
  if (!found) return kErrOther;
  if (r.noShadow) return kOk;
  return getRecordFromFile(name, *r.sourceDir, "shadow", &lines->shadow.text, &found);
}

// The stored account in the layout of an addUser event: the first passwd
// line followed by the shadow fields (empty ones without a shadow line).
int storedRecord(const EventRecord& r, const StoredLines& lines, EventRecord* stored) {
  SecretString current{lines.passwd.text};
  keepFirstLine(current.text);
  if (r.noShadow) {
    current.text += "::::::::";
  } else {
    SecretString shadow{lines.shadow.text};
    keepFirstLine(shadow.text);
    auto colon = shadow.text.find(':');
    if (shadow.text.empty() || colon == std::string::npos)
      current.text += "::::::::";
    else
      current.text.append(shadow.text, colon);
  }
  return parseEventData(stored, current.text.c_str(), kAddUser);
}

// The read of a user's lines keeps at most 1023 bytes: shorter than this,
// what was read is all the file holds for the name.
constexpr std::size_t kWholeRead = 1022;

// Puts line in place of the user's lines of a source file, unless the file
// holds exactly that one line already: a file left alone keeps its time, so
// make does not rebuild the maps made from it. An edit copy that cannot be
// made fails either way.
int replaceUserLine(const std::string& name, const std::string& sourceDir, const std::string& line,
                    const std::string& stored, const char* fileName) {
  if (line == stored && stored.size() < kWholeRead) return checkEditCopy(fileName);
  return modifyRecordInFile(name, sourceDir, line, fileName, "usermod", "");
}

// An add whose map rebuild failed (or was killed) leaves its lines in the
// sources and none in the maps; the engine then retries the same add. 1
// when the sources hold exactly the lines this add writes, so that only the
// rebuild is left to do; 0 when they hold nothing of the name; otherwise
// the name is in use by another account.
int unfinishedAdd(const EventRecord& r, const std::string& passwd, const std::string& shadow) {
  SecretString stored;
  const int inPasswd = sourceLines(r.field(kName), *r.sourceDir, "passwd", &stored.text);
  if (inPasswd < 0) return inPasswd;
  const bool passwdSame = inPasswd && stored.text == passwd;
  const int inShadow = r.noShadow ? 0 : sourceLines(r.field(kName), *r.sourceDir, "shadow", &stored.text);
  if (inShadow < 0) return inShadow;
  if (!inPasswd && !inShadow) return 0;
  return passwdSame && (r.noShadow || (inShadow && stored.text == shadow)) ? 1 : kErrNameInUse;
}

// Appends the user's lines to the source files.
int appendUser(const EventRecord& r, const std::string& passwd, const std::string& shadow) {
  if (!r.noShadow) {
    int result = qvSystem("ls " + quoteBareWord(*r.sourceDir + "/shadow") + " >> /dev/null 2>&1");
    if (result != kOk) return result;
  }
  return appendUserRecords(*r.sourceDir, passwd, r.noShadow ? nullptr : &shadow) == kOk ? kOk : kErrOther;
}

// Takes the user's lines out of the source files that hold them. A delete
// whose map rebuild failed left the sources without the user and the maps
// with it: its retry finds nothing to take out and only rebuilds. The
// passwd line is kept to be put back when the shadow line cannot go: the
// sources must never name different users.
int deleteSourceLines(const EventRecord& r) {
  const std::string& name = r.field(kName);
  const int inPasswd = nameInSource(name, *r.sourceDir, "passwd");
  if (inPasswd < 0) return inPasswd;
  const int inShadow = r.noShadow ? 0 : nameInSource(name, *r.sourceDir, "shadow");
  if (inShadow < 0) return inShadow;
  StoredLines before;
  if (inPasswd && inShadow && readStoredLines(r, &before) != kOk) return kErrOther;
  keepFirstLine(before.passwd.text);
  if (inPasswd && modifyRecordInFile(name, *r.sourceDir, "", "passwd", "userdel", "") != kOk) return kErrOther;
  if (inShadow && modifyRecordInFile(name, *r.sourceDir, "", "shadow", "userdel", "") != kOk) {
    if (!before.passwd.text.empty())
      modifyRecordInFile(name, *r.sourceDir, before.passwd.text, "passwd", "useradd", "");
    return kErrOther;
  }
  return kOk;
}

}  // namespace

int nisUserAdd(EventRecord& r) {
  std::string awkDir;
  int result = searchPath("awk", &awkDir);
  if (result != kOk) return failAt("nisUserAdd", result);
  if (!hasDirectories(r)) return failAt("nisUserAdd", kErrOther);
  if (!mapKeyable(r.field(kName)) || !passwordFitsRecord(r)) return failAt("nisUserAdd", kErrArgument);
  // Held from the name check to the end: two adds of one name or uid must
  // not both pass the checks.
  SourceLock lock;
  result = lockSourceFiles(*r.sourceDir, lock);
  if (result != kOk) return failAt("nisUserAdd", result);
  const std::string& mapDir = *r.mapDir;
  int state = isMapBookkeepingKey(r.field(kName)) ? 1 : keyPresence(r.field(kName), mapDir, "BYNAME", "passwd");
  if (state < 0) return failAt("nisUserAdd", state);
  if (state) return failAt("nisUserAdd", kErrNameInUse);
  if (!r.nonUniqueId) {
    state = keyPresence(r.field(kUid), mapDir, "BYUID", "passwd");
    if (state < 0) return failAt("nisUserAdd", state);
    if (state) return failAt("nisUserAdd", kErrIdInUse);
  }

  std::string& password = passwordField(r);
  if (password == "x") password = "!!";
  SecretString line{passwdLine(r)};
  SecretString shadow{r.noShadow ? std::string() : shadowLine(r)};
  result = checkLines(line.text, r.noShadow ? nullptr : &shadow.text);
  if (result != kOk) return failAt("nisUserAdd", result);
  const int unfinished = unfinishedAdd(r, line.text, shadow.text);
  if (unfinished < 0) return failAt("nisUserAdd", unfinished);
  if (!unfinished) {
    result = appendUser(r, line.text, shadow.text);
    if (result != kOk) return failAt("nisUserAdd", result);
  }
  if (r.makeHome && !r.field(kHome).empty() && !r.field(kUid).empty() && !r.field(kGid).empty() &&
      !(unfinished && access(r.field(kHome).c_str(), F_OK) == 0))
    createHomeDir(r.field(kHome).c_str(), homeId(r.field(kUid).c_str()),
                  homeId(r.field(kGid).c_str()));
  result = rebuildNisMaps(mapDir);
  return result == kOk ? kOk : failAt("nisUserAdd", result);
}

int nisUserMod(EventRecord& r) {
  if (!hasDirectories(r)) return failAt("nisUserMod", kErrOther);
  if (!passwordFitsRecord(r)) return failAt("nisUserMod", kErrArgument);
  SourceLock lock;
  int result = lockSourceFiles(*r.sourceDir, lock);
  if (result != kOk) return failAt("nisUserMod", result);
  const std::string& name = r.field(kName);
  int state = keyPresence(name, *r.mapDir, "BYNAME", "passwd");
  if (state < 0) return failAt("nisUserMod", state);
  if (!state) return failAt("nisUserMod", kErrNoSuchAccount);

  StoredLines before;
  result = readStoredLines(r, &before);
  if (result != kOk) return failAt("nisUserMod", result);
  EventRecord stored;
  result = storedRecord(r, before, &stored);
  if (result != kOk) return failAt("nisUserMod", result);
  mergeModifiedUser(r, stored);
  std::string& password = passwordField(r);
  if (password == "x") password = "!!";
  if (password == "noPassword") password.clear();

  SecretString line{passwdLine(r)};
  SecretString shadow{r.noShadow ? std::string() : shadowLine(r)};
  result = checkLines(line.text, r.noShadow ? nullptr : &shadow.text);
  if (result != kOk) return failAt("nisUserMod", result);
  if (replaceUserLine(name, *r.sourceDir, line.text, before.passwd.text, "passwd") != kOk)
    return failAt("nisUserMod", kErrOther);
  if (!r.noShadow &&
      replaceUserLine(name, *r.sourceDir, shadow.text, before.shadow.text, "shadow") != kOk)
    return failAt("nisUserMod", kErrOther);
  result = rebuildNisMaps(*r.mapDir);
  return result == kOk ? kOk : failAt("nisUserMod", result);
}

int nisUserDel(EventRecord& r) {
  if (!hasDirectories(r)) return failAt("nisUserDel", kErrOther);
  SourceLock lock;
  int result = lockSourceFiles(*r.sourceDir, lock);
  if (result != kOk) return failAt("nisUserDel", result);
  const std::string& name = r.field(kName);
  int state = keyPresence(name, *r.mapDir, "BYNAME", "passwd");
  if (state < 0) return failAt("nisUserDel", state);
  if (!state) return failAt("nisUserDel", kErrNoSuchAccount);
  SecretString value;
  result = getRecordFromMap(*r.mapDir + "/passwd.byname", name, &value.text);
  if (result == kErrOpen) return failAt("nisUserDel", result);
  if (result != kOk) return failAt("nisUserDel", kErrNoSuchAccount);

  result = deleteSourceLines(r);
  if (result != kOk) return failAt("nisUserDel", result);

  if (r.removeHome && !value.text.empty()) {
    EventRecord stored;
    if (parseEventData(&stored, value.text.c_str(), kAddUser) == kOk &&
        !stored.field(kHome).empty() && !stored.field(kUid).empty() &&
        !stored.field(kGid).empty())
      removeHomeDirectory(stored.field(kHome).c_str(), homeId(stored.field(kUid).c_str()),
                          homeId(stored.field(kGid).c_str()));
  }
  result = rebuildNisMaps(*r.mapDir);
  return result == kOk ? kOk : failAt("nisUserDel", result);
}

int nisUserRename(EventRecord& r) {
  if (!hasDirectories(r)) return failAt("nisUserRename", kErrOther);
  const std::string& oldName = r.field(kName);
  const std::string& newName = r.field(kNewName);
  // A comma in the new name would split the member lists it joins.
  if (!mapKeyable(newName) || newName.find(',') != std::string::npos)
    return failAt("nisUserRename", kErrArgument);
  SourceLock lock;
  int result = lockSourceFiles(*r.sourceDir, lock);
  if (result != kOk) return failAt("nisUserRename", result);
  int state = keyPresence(oldName, *r.mapDir, "BYNAME", "passwd");
  if (state < 0) return failAt("nisUserRename", state);
  if (!state) return failAt("nisUserRename", kErrNoSuchAccount);
  // Two lines of one name would make the account ambiguous.
  state = newName == oldName ? 0 : taken(newName, r);
  if (state < 0) return failAt("nisUserRename", state);
  if (state) return failAt("nisUserRename", kErrNameInUse);

  // Both lines are read before either file changes, so a missing shadow
  // line stops the command with nothing renamed.
  SecretString passwdOld, shadowOld;
  bool found = false;
  result = getRecordFromFile(oldName, *r.sourceDir, "passwd", &passwdOld.text, &found);
  if (result != kOk) return failAt("nisUserRename", result);
  keepFirstLine(passwdOld.text);
  if (!found || passwdOld.text.empty()) return failAt("nisUserRename", kErrOther);
  if (!r.noShadow) {
    result = getRecordFromFile(oldName, *r.sourceDir, "shadow", &shadowOld.text, &found);
    if (result != kOk) return failAt("nisUserRename", result);
    keepFirstLine(shadowOld.text);
    if (!found || shadowOld.text.empty()) return failAt("nisUserRename", kErrOther);
  }

  SecretString line{renamed(newName, passwdOld.text)};
  SecretString shadow{r.noShadow ? std::string() : renamed(newName, shadowOld.text)};
  result = checkLines(line.text, r.noShadow ? nullptr : &shadow.text);
  if (result != kOk) return failAt("nisUserRename", result);
  if (modifyRecordInFile(oldName, *r.sourceDir, line.text, "passwd", "userrename", newName) != kOk)
    return failAt("nisUserRename", kErrOther);
  if (!r.noShadow &&
      modifyRecordInFile(oldName, *r.sourceDir, shadow.text, "shadow", "userrename", newName) !=
          kOk)
    return failAt("nisUserRename", kErrOther);
  result = rebuildNisMaps(*r.mapDir);
  return result == kOk ? kOk : failAt("nisUserRename", result);
}
