#include "files/set_password.h"

#include <cerrno>
#include <fcntl.h>
#include <string.h>
#include <string>
#include <unistd.h>

#include "core/account_file.h"
#include "core/process_state.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/secret.h"
#include "core/shell_quote.h"
#include "core/trace.h"
#include "files/files_command.h"

namespace {

constexpr const char* kRoutine = "setPassword";

// The awk program reads the user name and the value from its environment:
// a hash must never show in an argument list, which every local user can
// read. The "" makes the name comparison a string comparison, as with a
// literal, even for names that look like numbers.
constexpr const char* kNameVariable = "KDL2NIS_NAME";
constexpr const char* kValueVariable = "KDL2NIS_VALUE";

// Appends n bytes to a line that may carry a hash: when the line has to
// grow, the old buffer is zeroed before it is given back.
void appendWiping(std::string& line, const char* bytes, std::size_t n) {
  if (line.size() + n > line.capacity()) {
    std::string bigger;
    bigger.reserve(2 * (line.size() + n));
    bigger = line;
    wipeString(line);
    line.swap(bigger);
  }
  line.append(bytes, n);
}

// Lines of a file read through a descriptor, as awk's getline sees them (a
// last line without newline counts), one at a time: the account files are
// compared, never held whole. The buffer is zeroed at the end.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  ~LineReader() { explicit_bzero(buffer_, sizeof buffer_); }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next line, without its newline, in *line; *ended tells whether a
  // newline closed it. false at the end of the file or when a read fails
  // (failed()).
  bool next(std::string* line, bool* ended) {
    line->clear();
    *ended = false;
    for (;;) {
      if (begin_ == end_ && !fill()) return !failed_ && !line->empty();
      const char* from = buffer_ + begin_;
      const void* nl = memchr(from, '\n', end_ - begin_);
      std::size_t n = nl ? static_cast<const char*>(nl) - from : end_ - begin_;
      appendWiping(*line, from, n);
      begin_ += n;
      if (nl) {
        ++begin_;
        *ended = true;
        return true;
      }
    }
  }
  bool failed() const { return failed_; }

 private:
  bool fill() {
    for (;;) {
      ssize_t n = pread(fd_, buffer_, sizeof buffer_, offset_);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) failed_ = true;
      if (n <= 0) return false;
      offset_ += n;
      begin_ = 0;
      end_ = static_cast<std::size_t>(n);
      return true;
    }
  }

  int fd_;
  char buffer_[65536];
  std::size_t begin_ = 0, end_ = 0;
  off_t offset_ = 0;
  bool failed_ = false;
};

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
  debugCommand("constructFilesCommand", command);
  ChildEnvironment env{{kNameVariable, name}, {kValueVariable, value}};
  int ran = qvSystem(command, env);
  wipeString(env[1].second);
  if (ran != kOk) return ran;

  int matched = 0;
  int oldFd = open(replacement.targetPath().c_str(), O_RDONLY | O_CLOEXEC);
  bool exact = oldFd >= 0 && rewriteIsExact(oldFd, replacement.fd(), name, value, &matched);
  if (oldFd >= 0) close(oldFd);
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
