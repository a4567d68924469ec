#include "files/set_password.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/account_file.h"
#include "core/process_state.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/secret.h"
#include "core/shell_quote.h"
#include "core/trace.h"
#include "files/files_command.h"

namespace {

// The awk program reads the user name and the value from its environment:
// a hash must never show in an argument list, which every local user can
// read. The "" makes the name comparison a string comparison, as with a
// literal, even for names that look like numbers.
constexpr const char* kNameVariable = "KDL2NIS_NAME";
constexpr const char* kValueVariable = "KDL2NIS_VALUE";

bool readWhole(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  *text = all.str();
  return !in.bad();
}

// Lines as awk's getline sees them: a last line without newline counts.
std::vector<std::string> recordsOf(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type from = 0;
  while (from < text.size()) {
    auto nl = text.find('\n', from);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(from, nl - from));
    from = nl + 1;
  }
  return lines;
}

// The rewritten file must be the old one with only the user's password
// field changed: anything else (a short write, a failing read) would be
// moved over the account file and lose accounts.
// *matched counts the user's lines.
bool rewriteIsExact(const std::string& oldText, const std::string& newText,
                    const std::string& name, const std::string& value, int* matched) {
  *matched = 0;
  std::string expected;
  expected.reserve(oldText.size() + 64);
  std::vector<std::string> lines = recordsOf(oldText);
  for (const std::string& line : lines) {
    auto colon = line.find(':');
    if (line.substr(0, colon) != name) {
      expected += line;
    } else {
      ++*matched;
      if (colon == std::string::npos) {
        expected += line + ":" + value;
      } else {
        auto next = line.find(':', colon + 1);
        expected += line.substr(0, colon + 1) + value;
        if (next != std::string::npos) expected += line.substr(next);
      }
    }
    expected += '\n';
  }
  bool same = expected == newText;
  wipeString(expected);
  for (std::string& line : lines) wipeString(line);
  return same;
}

}  // namespace

int setPassword(const EventRecord& record, const PasswordFiles& files) {
  auto fail = [](int code) {
    traceError("setPassword");
    return code;
  };
  std::string awkDir;
  int found = searchPath("awk", &awkDir);
  if (found != kOk) return fail(found);

  bool toPasswd = record.noShadow != 0;
  const std::string target = toPasswd ? files.passwd : files.shadow;
  std::string value = record.field(toPasswd ? kPasswd : kShadowPasswd);
  WipeOnExit wipeValue(value);

  // Not given in a modify event: the password stays. A "*" is stored as
  // given (locked), never turned into an empty field.
  if (value.empty() && record.command == kModifyUser) return kOk;
  if (value == "x")
    value = "!!";
  else if (value == "noPassword")
    value.clear();

  const std::string& name = record.field(kName);
  // A ":" or a line break would split the record or add a line of its own.
  if (name.empty() || !isRecordSafe(name) || !isPasswordFieldSafe(value)) return fail(kErrArgument);

  std::string command = awkDir + "/awk 'BEGIN{FS=\":\";OFS=\":\";while (getline > 0) {if ($1 != ENVIRON[\"" +
                        kNameVariable + "\"] \"\") print $0; else {$2 = ENVIRON[\"" + kValueVariable +
                        "\"];print $0}}}' " + quoteBareWord(target) + " > " + quoteBareWord(files.temp);
  if (command.size() >= kCommandCapacity) return fail(kErrArgument);

  // The lock is taken before the file is read and kept until the new one is
  // in place, so that no change made meanwhile by another writer is lost.
  FileLock lock;
  int locked = lock.acquire(files.lock, files.lockAttempts, files.lockPauseMillis);
  if (locked != kOk) return fail(locked);

  ReplacementFile replacement(files.temp, target);
  if (replacement.create() != kOk) return fail(kErrOpen);
  debugCommand("constructFilesCommand", command);
  ChildEnvironment env{{kNameVariable, name}, {kValueVariable, value}};
  int ran = qvSystem(command, env);
  wipeString(env[1].second);
  if (ran != kOk) return fail(ran);

  std::string before, after;
  int matched = 0;
  bool exact = readWhole(target, &before) && replacement.readBack(&after) == kOk &&
               rewriteIsExact(before, after, name, value, &matched);
  wipeString(before);
  wipeString(after);
  // A user without a line here would be "changed" by copying the file.
  if (exact && matched == 0) return fail(kErrNoSuchAccount);
  if (!exact) {
    errorLog("setPassword: the rewritten %s is not as expected; left unchanged", target.c_str());
    return fail(kErrOther);
  }

  int owned = replacement.matchTarget(toPasswd ? 0444 : 0400);
  if (owned != kOk) return fail(owned);
  int committed = replacement.commit();
  if (committed != kOk) return fail(committed);
  int released = lock.release();
  if (released != kOk) return fail(released);
  return kOk;
}
