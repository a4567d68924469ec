#include "files/queries.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "core/answer_output.h"
#include "core/line_reader.h"
#include "core/system_log.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/run_directory.h"
#include "core/scratch_file.h"
#include "core/secret.h"
#include "core/shell_quote.h"
#include "core/trace.h"
#include "core/generic_query.h"
#include "core/unique_fd.h"

namespace {

constexpr const char* kUserTable = "quser.files";
constexpr const char* kPasswdFile = "/etc/passwd";
constexpr const char* kShadowFile = "/etc/shadow";
// Passwd lines joined per shadow pass: bounds the memory a broad pattern
// needs, whatever the number of accounts.
constexpr std::size_t kJoinBatch = 4096;

// The user table, a scratch file of this run.
std::string userTable() { return runScratchPath(kUserTable); }

// Reads a file record by record as awk does (a last line without "\n"
// still counts), through the one line reader; the line may hold a hash and
// is wiped at the end.
class RecordReader {
 public:
  explicit RecordReader(const char* path)
      : fd_(::open(path, O_RDONLY | O_CLOEXEC)), openError_(fd_.valid() ? 0 : errno), lines_(fd_.get()) {}
  ~RecordReader() { wipeString(line_); }
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  bool isOpen() const { return fd_.valid(); }
  int openError() const { return openError_; }
  bool failed() const { return lines_.failed(); }
  bool next(std::string_view* record) {
    bool ended = false;
    if (!fd_.valid() || !lines_.next(&line_, &ended)) return false;
    *record = line_;
    return true;
  }

 private:
  UniqueFd fd_;
  int openError_;
  LineReader lines_;
  std::string line_;
};

// Reads a regular file's records from the last to the first, with the
// records awk would read; so the first line found for a name is its last.
class ReverseRecordReader {
 public:
  explicit ReverseRecordReader(const char* path) : fd_(::open(path, O_RDONLY | O_CLOEXEC)) {
    struct stat st;
    if (fd_.valid() && fstat(fd_.get(), &st) == 0 && S_ISREG(st.st_mode)) {
      regular_ = true;
      low_ = static_cast<std::size_t>(st.st_size);
      done_ = low_ == 0;
    }
  }
  ~ReverseRecordReader() {
    if (!buffer_.empty()) explicit_bzero(buffer_.data(), buffer_.size());
  }
  ReverseRecordReader(const ReverseRecordReader&) = delete;
  ReverseRecordReader& operator=(const ReverseRecordReader&) = delete;

  bool isRegular() const { return regular_; }
  bool failed() const { return failed_; }
  bool next(std::string_view* record) {
    while (!done_) {
      if (!started_ && !start()) return false;
      const char* newline = static_cast<const char*>(memrchr(buffer_.data(), '\n', tail_));
      if (newline != nullptr) {
        const std::size_t at = static_cast<std::size_t>(newline - buffer_.data());
        *record = std::string_view(newline + 1, tail_ - at - 1);
        tail_ = at;
        return true;
      }
      if (low_ == 0) {
        done_ = true;
        *record = std::string_view(buffer_.data(), tail_);
        return true;
      }
      if (!readBefore()) return false;
    }
    return false;
  }

 private:
  static constexpr std::size_t kChunk = 256 * 1024;

  // The last chunk; a newline that ends the file ends its last record.
  bool start() {
    started_ = true;
    if (!readBefore()) return false;
    if (tail_ > 0 && buffer_[tail_ - 1] == '\n') --tail_;
    return true;
  }
  // Puts the chunk before the unread part in front of it. A failed read
  // ends the scan.
  bool readBefore() {
    const std::size_t size = std::min(kChunk, low_);
    if (buffer_.size() < size + tail_) {
      std::vector<char> grown(size + tail_ + kChunk);
      if (tail_ > 0) std::memcpy(grown.data(), buffer_.data(), tail_);
      if (!buffer_.empty()) explicit_bzero(buffer_.data(), buffer_.size());
      buffer_.swap(grown);
    }
    if (tail_ > 0) std::memmove(buffer_.data() + size, buffer_.data(), tail_);
    std::size_t got = 0;
    while (got < size) {
      ssize_t n = pread(fd_.get(), buffer_.data() + got, size - got, static_cast<off_t>(low_ - size + got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        done_ = failed_ = true;
        return false;
      }
      got += static_cast<std::size_t>(n);
    }
    low_ -= size;
    tail_ += size;
    return true;
  }

  UniqueFd fd_;
  bool regular_ = false, started_ = false, done_ = true, failed_ = false;
  std::vector<char> buffer_;
  std::size_t low_ = 0, tail_ = 0;
};

// The field in column (0-based); past the last one the field counts as empty.
std::string_view fieldAt(std::string_view line, int column) {
  for (int skip = column; skip > 0 && !line.empty(); --skip) {
    std::size_t colon = line.find(':');
    line = colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
  }
  return line.substr(0, line.find(':'));
}

// The lines the shadow-merging table holds: those that begin with a letter,
// a digit or "_". Without shadow the table holds every line.
bool isAccountLine(std::string_view line) {
  if (line.empty()) return false;
  const unsigned char c = static_cast<unsigned char>(line[0]);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// What a user record takes from a shadow line: its fields 2 to 9 joined by
// ":", missing ones empty, so always seven colons.
void shadowFields(std::string_view line, std::string* out) {
  const std::size_t colon = line.find(':');
  std::string_view rest = colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
  std::size_t colons = 0, end = 0;
  for (; end < rest.size(); ++end)
    if (rest[end] == ':' && ++colons == 8) break;
  if (colons == 8) colons = 7;
  wipeString(*out);
  out->assign(rest.substr(0, end));
  out->append(7 - colons, ':');
}

// Shadow fields by user name, for the users wanted only. A name that the
// shadow file holds twice gets its last line; one it lacks, nothing.
struct ShadowEntry {
  bool found = false;
  std::string fields;
};
using ShadowTable = std::unordered_map<std::string, ShadowEntry>;

void wipeShadowTable(ShadowTable& table) {
  for (auto& [name, entry] : table) wipeString(entry.fields);
}

void takeShadowLine(std::string_view line, std::string* name, ShadowTable* wanted,
                    std::size_t* missing) {
  name->assign(line.substr(0, line.find(':')));
  auto entry = wanted->find(*name);
  if (entry == wanted->end() || entry->second.found) return;
  entry->second.found = true;
  shadowFields(line, &entry->second.fields);
  --*missing;
}

// The shadow file read from its end, until every wanted user is found (the
// first line found for a name is its last, which the table-making awk
// program kept). A missing file gives every user an empty shadow part, as
// that program gives; false when the file is there but cannot be read, so
// that a read error never passes for users without a password.
bool readShadow(ShadowTable* wanted) {
  std::size_t missing = wanted->size();
  std::string name;
  std::string_view line;
  ReverseRecordReader backwards(kShadowFile);
  if (backwards.isRegular()) {
    while (missing > 0 && backwards.next(&line)) takeShadowLine(line, &name, wanted, &missing);
    return !backwards.failed();
  }
  // Not a regular file: read forwards, each line replacing the one before.
  RecordReader shadow(kShadowFile);
  if (!shadow.isOpen()) return shadow.openError() == ENOENT;
  while (shadow.next(&line)) {
    auto entry = wanted->find(name.assign(line.substr(0, line.find(':'))));
    if (entry == wanted->end()) continue;
    entry->second.found = true;
    shadowFields(line, &entry->second.fields);
  }
  return !shadow.failed();
}

void wantShadowOf(const std::vector<std::string>& passwdLines, ShadowTable* wanted) {
  for (const std::string& line : passwdLines) (*wanted)[line.substr(0, line.find(':'))];
}

// The user record of a passwd line: the shadow part set as its eighth field
// (fields it lacks before that are empty, fields after it stay), or without
// shadow the line and seven colons.
void joinLine(std::string_view passwd, std::string_view shadow, bool noShadow, std::string* out) {
  wipeString(*out);
  out->assign(passwd);
  if (noShadow) {
    out->append(7, ':');
    return;
  }
  std::size_t colons = 0, seventh = std::string_view::npos, eighth = std::string_view::npos;
  for (std::size_t i = 0; i < passwd.size() && eighth == std::string_view::npos; ++i) {
    if (passwd[i] != ':') continue;
    if (++colons == 7) seventh = i;
    else if (colons == 8) eighth = i;
  }
  if (seventh == std::string_view::npos) {
    out->append(7 - colons, ':');
    out->append(shadow);
    return;
  }
  out->resize(seventh + 1);
  out->append(shadow);
  if (eighth != std::string_view::npos) out->append(passwd.substr(eighth));
}

// Each passwd line joined with its user's shadow fields, given to the
// answer. 0, or -1 when the shadow file cannot be read.
int answerUserRecords(const std::vector<std::string>& passwdLines, bool noShadow,
                      RecordAnswer& answer) {
  ShadowTable wanted;
  if (!noShadow) {
    wantShadowOf(passwdLines, &wanted);
    if (!readShadow(&wanted)) {
      wipeShadowTable(wanted);
      return kErrOpen;
    }
  }
  SecretString record;
  for (const std::string& line : passwdLines) {
    std::string_view shadow;
    if (!noShadow) {
      const ShadowEntry& entry = wanted[line.substr(0, line.find(':'))];
      if (entry.found) shadow = entry.fields;
    }
    joinLine(line, shadow, noShadow, &record.text);
    if (!answerRecord(answer, record.text)) break;
  }
  wipeShadowTable(wanted);
  return kOk;
}

// The passwd lines whose user record has value in column 0 or 2: there the
// record and its passwd line agree.
int collectUsers(const std::string& value, int column, bool noShadow,
                 std::vector<std::string>* lines) {
  RecordReader passwd(kPasswdFile);
  if (!passwd.isOpen()) return kErrOpen;
  std::string_view line;
  while (passwd.next(&line))
    if ((noShadow || isAccountLine(line)) && fieldAt(line, column) == value) lines->emplace_back(line);
  return kOk;
}

// The scanned users' passwd lines, and the last shadow line of each, rebuilt
// from the fields that the table takes from it.
int writeUserParts(const std::vector<std::string>& lines, bool noShadow, const ScratchFile& passwd,
                   const ScratchFile& shadow) {
  std::string text;
  for (const std::string& line : lines) text.append(line).push_back('\n');
  if (writeAll(passwd.fd(), text) != kOk) return kErrOther;
  if (noShadow) return kOk;
  ShadowTable wanted;
  wantShadowOf(lines, &wanted);
  if (!readShadow(&wanted)) {
    wipeShadowTable(wanted);
    return kErrOpen;
  }
  SecretString shadowText;
  for (const auto& [name, entry] : wanted)
    if (entry.found) shadowText.text.append(name).append(":").append(entry.fields).push_back('\n');
  wipeShadowTable(wanted);
  return writeAll(shadow.fd(), shadowText.text) == kOk ? kOk : kErrOther;
}

int extractUserTable(const EventRecord& record, const std::string& passwdPath,
                     const std::string& shadowPath);

// The table of the scanned users only, made by the program that makes the
// table of every user, then scanned as that one is.
int scanUserParts(const std::string& value, int column, const EventRecord& record,
                  const std::vector<std::string>& lines) {
  RunScratchFile passwd(pidName("quser_p")), shadow(pidName("quser_s"));
  int result = passwd.open();
  if (result == kOk) result = shadow.open();
  if (result == kOk) result = writeUserParts(lines, record.noShadow, passwd, shadow);
  if (result == kOk) result = extractUserTable(record, passwd.path(), shadow.path());
  if (result == kOk) result = filesColumnQuery(value, userTable().c_str(), column, "User");
  return result;
}

// The name or uid scan of the user table, from the passwd lines that match
// and their users' shadow lines: the same lines, in passwd order, and the
// same -6 when none matches.
int filesNameQuery(const std::string& value, int column, const EventRecord& record) {
  std::vector<std::string> lines;
  int result = collectUsers(value, column, record.noShadow, &lines);
  if (result == kOk && lines.empty()) result = kErrNoSuchAccount;
  if (result != kOk) return failAt("filesNameQuery", result);
  return scanUserParts(value, column, record, lines);
}

void wipeLines(std::vector<std::string>& lines) {
  for (std::string& line : lines) wipeString(line);
  lines.clear();
}

// A pattern query over the users of passwd. The first seven fields of a
// user record are those of its passwd line, so only the lines (with shadow,
// the account lines: those beginning with a letter, a digit or "_") that
// pass the pattern's first seven fields are joined with their shadow lines,
// a batch at a time, and matched whole. 0, -1 (traced) when the shadow file
// cannot be read, or -3, as from the awk that read the file before, when
// passwd cannot be.
int answerPasswdPattern(const EventRecord& record, RecordAnswer& answer) {
  RecordReader passwd(kPasswdFile);
  if (!passwd.isOpen()) return kErrArgument;
  std::vector<std::string> batch;
  std::string_view line;
  bool more = true;
  int result = kOk;
  while (more && result == kOk && answer.result == kOk) {
    more = passwd.next(&line);
    if (more && (record.noShadow || isAccountLine(line)) && answer.pattern.matches(line, 7))
      batch.emplace_back(line);
    if (batch.size() < kJoinBatch && more) continue;
    if (!batch.empty()) result = answerUserRecords(batch, record.noShadow, answer);
    wipeLines(batch);
  }
  if (result != kOk) return failAt("makeUserTable", result);
  return passwd.failed() ? kErrArgument : kOk;
}

// The user table of the lines of passwdPath, made by awk: every line with
// seven colons added, or, with shadow, each account line with its user's
// shadow fields 2-9 from shadowPath set as its eighth field.
int extractUserTable(const EventRecord& record, const std::string& passwdPath,
                     const std::string& shadowPath) {
  std::string directory;
  int result = searchPath("awk", &directory);
  if (result != kOk) return result;
  const std::string table = quoteBareWord(userTable());
  char command[kCommandCapacity];
  int n;
  const char* routine;
  if (record.noShadow) {
    n = std::snprintf(command, sizeof command, "%s/%s '{print $0\":::::::\" }' %s > %s",
                      directory.c_str(), "awk", quoteBareWord(passwdPath).c_str(), table.c_str());
    routine = "filesUserQuery3";
  } else {
    char program[kCommandCapacity];
    std::snprintf(program, sizeof program,
                  "'BEGIN{FS=\":\";OFS=\":\";while (getline < \"%s\" > 0) {shadow[$1] = "
                  "$2OFS$3OFS$4OFS$5OFS$6OFS$7OFS$8OFS$9}} /^[a-zA-Z0-9_]/ {$8 = shadow[$1];printf "
                  "\"%%s\\n\",$0}' %s",
                  quoteAwkString(shadowPath).c_str(), quoteBareWord(passwdPath).c_str());
    n = std::snprintf(command, sizeof command, "%s/%s %s > %s", directory.c_str(), "awk", program, table.c_str());
    routine = "filesUserQuery2";
  }
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof command) return kErrArgument;
  debugCommand(routine, command);
  return qvSystem(command) == kOk ? kOk : kErrOther;
}

// For a passwd file this process cannot read: the table of every user made
// by awk, which then fails as it reports.
int queryExtractedTable(EventRecord& record, QueryKind kind) {
  int result = extractUserTable(record, kPasswdFile, kShadowFile);
  if (result != kOk) return result;
  result = kErrNoSuchAccount;
  const std::string table = userTable();
  if (kind.byName) result = filesColumnQuery(record.field(kName), table.c_str(), 0, "User");
  else if (kind.byId) result = filesColumnQuery(record.field(kUid), table.c_str(), 2, "User");
  if (result == kErrNoSuchAccount) result = genericUserQuery(record, table);
  return result;
}

// Names and uids by a scan of passwd; patterns, and scans that find nothing,
// matched against the users of passwd.
int queryUserFiles(EventRecord& record, QueryKind kind) {
  int result = kErrNoSuchAccount;
  if (kind.byName) result = filesNameQuery(record.field(kName), 0, record);
  else if (kind.byId) result = filesNameQuery(record.field(kUid), 2, record);
  if (result != kErrNoSuchAccount) return result;
  RecordAnswer answer;
  result = startUserAnswer(record, &answer);
  if (result != kOk) return result;
  result = answerPasswdPattern(record, answer);
  if (result != kOk && answer.result == kOk) answer.result = result;
  return finishAnswer(answer);
}

bool readableFile(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, R_OK) == 0;
}

}  // namespace

// Traced as "filesNameQuery", the user scan it ends, as it always has been.
int filesColumnQuery(const std::string& value, const char* path, int column, const char* kind) {
  UniqueFd file(open(path, O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return failAt("filesNameQuery", kErrOpen);
  int result = kErrNoSuchAccount;
  LineReader lines(file.get());
  // A user's line may hold a hash.
  SecretString line;
  bool ended = false;
  // Lines are read whole, however long. A last line without its newline is
  // not examined, and empty lines never match; a failed read ends the scan.
  while (lines.next(&line.text, &ended) && ended) {
    if (line.text.empty() || fieldAt(line.text, column) != value) continue;
    result = kOk;
    if (!answerText("instance") || !answerText(kind) || !answerLine(":", line.text)) {
      result = kErrArgument;
      break;
    }
  }
  if (result == kOk && flushAnswer() != kOk) result = kErrArgument;
  if (result != kOk) return failAt("filesNameQuery", result);
  return kOk;
}

int filesUserQuery(EventRecord& record) {
  const QueryKind kind = classifyUserQuery(record);
  // Made here, afresh, before it is filled: it holds hashes.
  RunScratchFile table(kUserTable);
  int result = table.create();
  if (result == kOk)
    result = readableFile(kPasswdFile) ? queryUserFiles(record, kind) : queryExtractedTable(record, kind);
  if (result != kOk) return failAt("filesUserQuery", result);
  return kOk;
}

int filesGroupQuery(EventRecord& record) {
  const QueryKind kind = classifyGroupQuery(record);
  int result = kErrNoSuchAccount;
  if (kind.byName) result = filesColumnQuery(record.field(kName), "/etc/group", 0, "Group");
  else if (kind.byId) result = filesColumnQuery(record.field(kGid), "/etc/group", 2, "Group");
  if (result == kErrNoSuchAccount) result = genericGroupQuery(record, "/etc/group");
  if (result != kOk) return failAt("filesGroupQuery", result);
  return kOk;
}
