#include "files/set_password.h"

#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "core/file_lock.h"
#include "core/replacement_file.h"
#include "core/line_reader.h"
#include "core/system_log.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/secret.h"
#include "core/shell_quote.h"
#include "core/trace.h"
#include "core/unique_fd.h"
#include "files/files_command.h"

namespace {

constexpr const char* kRoutine = "setPassword";

// The awk program reads the user name and the value from its environment:
// a hash must never show in an argument list, which every local user can
// read. The "" makes the name comparison a string comparison, as with a
// literal, even for names that look like numbers.
constexpr const char* kNameVariable = "KDL2NIS_NAME";
constexpr const char* kValueVariable = "KDL2NIS_VALUE";

// What the rewrite must have made of one line of the account file: the line
// itself, or for the user's line the same with the second field set.
// *matched counts the user's lines.
const std::string& expectedLine(const std::string& line, const std::string& name,
                                const std::string& value, std::string* changed, int* matched) {
  auto colon = line.find(':');
  if (line.compare(0, colon, name) != 0) return line;
  ++*matched;
  changed->clear();
  if (colon == std::string::npos) {
    *changed += line;
    *changed += ':';
    *changed += value;
    return *changed;
  }
  auto next = line.find(':', colon + 1);
  changed->append(line, 0, colon + 1);
  *changed += value;
  if (next != std::string::npos) changed->append(line, next);
  return *changed;
}

// The rewritten file must be the old one with only the user's password
// field changed, every line ended by a newline: anything else (a short
// write, a failing read) would be moved over the account file and lose
// accounts. Both files are read side by side, a line at a time.
bool rewriteIsExact(int oldFd, int newFd, const std::string& name, const std::string& value,
                    int* matched) {
  *matched = 0;
  LineReader before(oldFd), after(newFd);
  SecretString oldLine, newLine, changed;
  for (std::string* line : {&oldLine.text, &newLine.text, &changed.text}) line->reserve(1024);
  for (;;) {
    bool oldEnded = false, newEnded = false;
    bool haveOld = before.next(&oldLine.text, &oldEnded);
    bool haveNew = after.next(&newLine.text, &newEnded);
    if (before.failed() || after.failed()) return false;
    if (!haveOld) return !haveNew;
    if (!haveNew || !newEnded) return false;
    if (expectedLine(oldLine.text, name, value, &changed.text, matched) != newLine.text) return false;
  }
}

// The stored form of the prepared password field.
void storedForm(std::string& value) {
  if (value == "x")
    value = "!!";
  else if (value == "noPassword")
    value.clear();
}

std::string rewriteCommand(const std::string& awkDir, const std::string& target,
                           const std::string& temp) {
  return awkDir + "/awk 'BEGIN{FS=\":\";OFS=\":\";while (getline > 0) {if ($1 != ENVIRON[\"" +
         kNameVariable + "\"] \"\") print $0; else {$2 = ENVIRON[\"" + kValueVariable +
         "\"];print $0}}}' " + quoteBareWord(target) + " > " + quoteBareWord(temp);
}

// Lets awk write the new version into the replacement file and checks it
// against the account file. 0, or the code to fail with.
int writeReplacement(ReplacementFile& replacement, const std::string& command,
                     const std::string& name, const std::string& value) {
  if (replacement.create() != kOk) return kErrOpen;
  ChildEnvironment env{{kNameVariable, name}, {kValueVariable, value}};
  WipeOnExit wipeValue(env[1].second);
  int ran = runLogged("constructFilesCommand", command, env);
  if (ran != kOk) return ran;

  int matched = 0;
  UniqueFd old(open(replacement.targetPath().c_str(), O_RDONLY | O_CLOEXEC));
  bool exact = old.valid() && rewriteIsExact(old.get(), replacement.fd(), name, value, &matched);
  // A user without a line here would be "changed" by copying the file.
  if (exact && matched == 0) return kErrNoSuchAccount;
  if (!exact) {
    errorLog("setPassword: the rewritten %s is not as expected; left unchanged",
             replacement.targetPath().c_str());
    return kErrOther;
  }
  return kOk;
}

}  // namespace

int setPassword(const EventRecord& record, const PasswordFiles& files) {
  std::string awkDir;
  int found = searchPath("awk", &awkDir);
  if (found != kOk) return failAt(kRoutine, found);

  bool toPasswd = record.noShadow != 0;
  const std::string target = toPasswd ? files.passwd : files.shadow;
  SecretString value{record.field(toPasswd ? kPasswd : kShadowPasswd)};

  // Not given in a modify event: the password stays. A "*" is stored as
  // given (locked), never turned into an empty field.
  if (value.text.empty() && record.command == kModifyUser) return kOk;
  storedForm(value.text);

  const std::string& name = record.field(kName);
  // A ":" or a line break would split the record or add a line of its own.
  if (name.empty() || !isRecordSafe(name) || !isPasswordFieldSafe(value.text))
    return failAt(kRoutine, kErrArgument);
  std::string command = rewriteCommand(awkDir, target, files.temp);
  if (command.size() >= kCommandCapacity) return failAt(kRoutine, kErrArgument);

  // The lock is taken before the file is read and kept until the new one is
  // in place, so that no change made meanwhile by another writer is lost.
  FileLock lock;
  int result = lock.acquire(files.lock, files.lockAttempts, files.lockPauseMillis);
  if (result != kOk) return failAt(kRoutine, result);

  ReplacementFile replacement(files.temp, target);
  result = writeReplacement(replacement, command, name, value.text);
  if (result == kOk) result = replacement.matchTarget(toPasswd ? 0444 : 0400);
  if (result == kOk) result = replacement.commit();
  if (result == kOk) result = lock.release();
  return result == kOk ? kOk : failAt(kRoutine, result);
}
