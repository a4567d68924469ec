#include "core/generic_query.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/answer_output.h"
#include "core/line_reader.h"
#include "core/unique_fd.h"
#include "core/result.h"
#include "core/trace.h"

namespace {

constexpr int kGroupFields[] = {kName, kPasswd, kGid, kMembers};

// Field k (from 0) of a record split at ":"; empty past the last one.
std::string_view recordField(std::string_view record, std::size_t k) {
  for (; k > 0; --k) {
    const std::size_t colon = record.find(':');
    if (colon == std::string_view::npos) return {};
    record.remove_prefix(colon + 1);
  }
  return record.substr(0, record.find(':'));
}

// The whole field is the subject, whatever bytes it holds (a NUL too), and
// "^" anchors at its start.
bool fieldMatches(const regex_t& expression, std::string_view field) {
  static const char kEmpty[] = "";
  regmatch_t range[1];
  range[0].rm_so = 0;
  range[0].rm_eo = static_cast<regoff_t>(field.size());
  return regexec(&expression, field.empty() ? kEmpty : field.data(), 1, range, REG_STARTEND) == 0;
}

// Reads the table as awk reads its input, a record a line, the last one
// also without its newline. 0, or -3 (the status of awk failing on its
// input) when the table cannot be opened or read.
int answerFromTable(const std::string& tableFile, RecordAnswer& answer) {
  UniqueFd fd(open(tableFile.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return kErrArgument;
  LineReader lines(fd.get());
  std::string line;
  bool ended = false;
  while (lines.next(&line, &ended))
    if (!answerRecord(answer, line)) break;
  return lines.failed() ? kErrArgument : kOk;
}

int tableQuery(RecordAnswer& answer, int started, const std::string& tableFile) {
  if (started != kOk) return started;
  const int read = answerFromTable(tableFile, answer);
  if (read != kOk && answer.result == kOk) answer.result = read;
  return finishAnswer(answer);
}

}  // namespace

RecordPattern::~RecordPattern() {
  for (std::size_t k = 0; k < fields_; ++k)
    if (compiled_[k]) regfree(&expressions_[k]);
}

int RecordPattern::compile(const std::string& pattern, std::size_t fields) {
  const std::vector<std::string> parts = splitFields(pattern, ':');
  for (std::size_t k = 0; k < fields && k < kUserPatternFields; ++k) {
    fields_ = k + 1;
    if (k >= parts.size() || parts[k].empty()) continue;
    const std::string expression = "^" + parts[k] + "$";
    if (regcomp(&expressions_[k], expression.c_str(), REG_EXTENDED | REG_NOSUB) != 0)
      return kErrArgument;
    compiled_[k] = true;
  }
  return kOk;
}

bool RecordPattern::matches(std::string_view record, std::size_t upTo) const {
  for (std::size_t k = 0; k < fields_ && k < upTo; ++k)
    if (compiled_[k] && !fieldMatches(expressions_[k], recordField(record, k))) return false;
  return true;
}

QueryKind classifyUserQuery(const EventRecord& record) {
  QueryKind kind;
  bool othersEmpty = true;
  for (int i = kPasswd; i <= kFlag; ++i)
    if (i != kUid && !record.field(i).empty()) othersEmpty = false;
  kind.byName = !record.field(kName).empty() && othersEmpty && record.field(kUid).empty();
  kind.byId = !record.field(kUid).empty() && othersEmpty && record.field(kName).empty();
  return kind;
}

QueryKind classifyGroupQuery(const EventRecord& record) {
  QueryKind kind;
  const bool name = !record.field(kName).empty();
  const bool gid = !record.field(kGid).empty();
  const bool rest = !record.field(kPasswd).empty() || !record.field(kMembers).empty();
  kind.byName = name && !gid && !rest;
  kind.byId = gid && !name && !rest;
  return kind;
}

std::string userQueryPattern(const EventRecord& record) {
  std::string pattern = record.field(kName);
  for (int i = kPasswd; i <= kFlag; ++i) pattern += ":" + record.field(i);
  return pattern;
}

std::string groupQueryPattern(const EventRecord& record) {
  std::string pattern;
  for (int i : kGroupFields) {
    if (i != kName) pattern += ":";
    pattern += record.field(i);
  }
  return pattern;
}

int startUserAnswer(const EventRecord& record, RecordAnswer* answer) {
  answer->routine = "genericUserQuery";
  answer->tag = "instanceUser:";
  answer->result = answer->pattern.compile(userQueryPattern(record), kUserPatternFields);
  return answer->result == kOk ? kOk : failAt(answer->routine, answer->result);
}

int startGroupAnswer(const EventRecord& record, RecordAnswer* answer) {
  answer->routine = "genericGroupQuery";
  answer->tag = "instanceGroup:";
  answer->result = answer->pattern.compile(groupQueryPattern(record), kGroupPatternFields);
  return answer->result == kOk ? kOk : failAt(answer->routine, answer->result);
}

// An answer line that does not go out fails as awk's write did: -3.
bool answerRecord(RecordAnswer& answer, std::string_view record) {
  if (answer.result != kOk) return false;
  if (answer.pattern.matches(record) && !answerLine(answer.tag, record)) answer.result = kErrArgument;
  return answer.result == kOk;
}

int finishAnswer(RecordAnswer& answer) {
  if (answer.result == kOk && flushAnswer() != kOk) answer.result = kErrArgument;
  if (answer.result != kOk) return failAt(answer.routine, answer.result);
  return kOk;
}

int genericUserQuery(const EventRecord& record, const std::string& tableFile) {
  RecordAnswer answer;
  return tableQuery(answer, startUserAnswer(record, &answer), tableFile);
}

int genericGroupQuery(const EventRecord& record, const std::string& tableFile) {
  RecordAnswer answer;
  return tableQuery(answer, startGroupAnswer(record, &answer), tableFile);
}
