// Pattern queries over account records, and the test that tells a backend
// when a query names only an account name or only a numeric id.
#pragma once

#include <array>
#include <cstddef>
#include <regex.h>
#include <string>
#include <string_view>

#include "core/event_record.h"

struct QueryKind {
  bool byName = false;  // only the name is given
  bool byId = false;    // only the uid (gid) is given
};

// Users: name alone is fields 1-14 empty; uid alone is every field but 2 empty.
QueryKind classifyUserQuery(const EventRecord& record);
// Groups: judged on name, password, gid and member list only.
QueryKind classifyGroupQuery(const EventRecord& record);

// The query's fields joined by ":" (15 user fields, or the 4 group fields).
std::string userQueryPattern(const EventRecord& record);
std::string groupQueryPattern(const EventRecord& record);

constexpr std::size_t kUserPatternFields = 15;
constexpr std::size_t kGroupPatternFields = 4;

// A query pattern made ready for matching records. Field k of the pattern
// (split at ":"), when not empty, is the POSIX extended regular expression
// "^" field "$", which field k of a record split at ":" must match; a field
// past the record's last one is empty. An empty pattern field matches
// anything. Only the first `fields` fields of the pattern count. The
// expressions are compiled once and freed with the object.
class RecordPattern {
 public:
  RecordPattern() = default;
  ~RecordPattern();
  RecordPattern(const RecordPattern&) = delete;
  RecordPattern& operator=(const RecordPattern&) = delete;

  // 0, or -3 when a field does not compile.
  int compile(const std::string& pattern, std::size_t fields);
  // Tries the pattern's first `upTo` fields only when given.
  bool matches(std::string_view record, std::size_t upTo = kUserPatternFields) const;

 private:
  std::array<regex_t, kUserPatternFields> expressions_{};
  std::array<bool, kUserPatternFields> compiled_{};
  std::size_t fields_ = 0;
};

// Prints "instanceUser:" (or "instanceGroup:") and every record of tableFile
// that the query's pattern matches, through the answer output. 0 also when
// nothing matched; -3 when the pattern does not compile, the table cannot
// be read or the answer does not go out.
int genericUserQuery(const EventRecord& record, const std::string& tableFile);
int genericGroupQuery(const EventRecord& record, const std::string& tableFile);

// The answer of a pattern query from records that the backend makes itself:
// one record at a time, then finish() once all are given. The failures are
// those of the queries above, and so is the trace.
struct RecordAnswer {
  const char* routine = nullptr;  // "genericUserQuery" or "genericGroupQuery"
  const char* tag = nullptr;      // "instanceUser:" or "instanceGroup:"
  RecordPattern pattern;
  int result = 0;
};
// 0, or -3 (traced) when the query's pattern does not compile.
int startUserAnswer(const EventRecord& record, RecordAnswer* answer);
int startGroupAnswer(const EventRecord& record, RecordAnswer* answer);
// false once the answer has failed: the caller stops giving records.
bool answerRecord(RecordAnswer& answer, std::string_view record);
// 0, or the first failure, traced.
int finishAnswer(RecordAnswer& answer);
