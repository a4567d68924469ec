#include "publisher/generic_query.h"

#include <cstdio>
#include <initializer_list>
#include <regex.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "core/system_log.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/shell_quote.h"
#include "core/trace.h"

namespace {

constexpr int kGroupPatternFields[] = {kName, kPasswd, kGid, kMembers};

// The pattern goes into an awk string literal inside the single-quoted
// program: quoted so it keeps its regular-expression meaning but cannot end
// the string or the shell word.
constexpr const char* kUserProgram =
    " -F: 'BEGIN {count = 0; split(\"%s\", arr);} {if((arr[1]==\"\" || ($1 ~ \"^\"arr[1]\"$\")) && "
    "(arr[2]==\"\" || ($2 ~ \"^\"arr[2]\"$\")) && (arr[3]==\"\" || ($3 ~ \"^\"arr[3]\"$\")) && "
    "(arr[4]==\"\" || ($4 ~ \"^\"arr[4]\"$\")) && (arr[5]==\"\" || ($5 ~ \"^\"arr[5]\"$\")) && "
    "(arr[6]==\"\" || ($6 ~ \"^\"arr[6]\"$\")) && (arr[7]==\"\" || ($7 ~ \"^\"arr[7]\"$\")) && "
    "(arr[8]==\"\" || ($8 ~ \"^\"arr[8]\"$\")) && (arr[9]==\"\" || ($9 ~ \"^\"arr[9]\"$\")) && "
    "(arr[10]==\"\" || ($10 ~ \"^\"arr[10]\"$\")) && (arr[11]==\"\" || ($11 ~ \"^\"arr[11]\"$\")) && "
    "(arr[12]==\"\" || ($12 ~ \"^\"arr[12]\"$\")) && (arr[13]==\"\" || ($13 ~ \"^\"arr[13]\"$\")) && "
    "(arr[14]==\"\" || ($14 ~ \"^\"arr[14]\"$\")) && (arr[15]==\"\" || ($15 ~ \"^\"arr[15]\"$\"))) "
    "{print \"instanceUser:\"$0; count++}} END{if(count==0) exit 1}' %s";

constexpr const char* kGroupProgram =
    " -F: 'BEGIN {count =0; split(\"%s\", arr);} {if((arr[1]==\"\" || ($1 ~ \"^\"arr[1]\"$\")) && "
    "(arr[2]==\"\" || ($2 ~ \"^\"arr[2]\"$\")) && (arr[3]==\"\" || ($3 ~ \"^\"arr[3]\"$\")) && "
    "(arr[4]==\"\" || ($4 ~ \"^\"arr[4]\"$\"))) {print \"instanceGroup:\"$0; count++}} "
    "END{if(count==0) exit 1}' %s";

// The tests of kUserProgram on the first seven fields, each regular
// expression made once from the same text (the pattern that the string in
// kUserProgram spells), so matching alike. The tests of its empty fields,
// always true, are left out.
constexpr const char* kUserCandidateProgram =
    "BEGIN {split(ENVIRON[\"QUERY_PATTERN\"], arr); for (k = 1; k <= 7; k++) re[k] = \"^\"arr[k]\"$\";} "
    "%s{if(%s) print > ENVIRON[\"QUERY_CANDIDATES\"]}";

constexpr const char* kAccountLineFilter = "/^[a-zA-Z0-9_]/ ";

int buildCommand(const char* program, const std::string& awkDirectory, const std::string& pattern,
                 const std::string& tableFile, std::string* command) {
  char arguments[kCommandCapacity];
  int n = std::snprintf(arguments, sizeof arguments, program, quoteAwkString(pattern).c_str(),
                        quoteBareWord(tableFile).c_str());
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof arguments) return kErrArgument;
  char line[kCommandCapacity];
  n = std::snprintf(line, sizeof line, "%s/%s\t%s", awkDirectory.c_str(), "awk", arguments);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof line) return kErrArgument;
  *command = line;
  return kOk;
}

// The program matches each non-empty pattern field as "^" field "$", an
// extended regular expression. One that does not compile is refused here,
// before awk would complain and answer nothing.
bool patternCompiles(const std::string& pattern) {
  for (const std::string& field : splitFields(pattern, ':')) {
    if (field.empty()) continue;
    regex_t compiled;
    if (regcomp(&compiled, ("^" + field + "$").c_str(), REG_EXTENDED | REG_NOSUB) != 0)
      return false;
    regfree(&compiled);
  }
  return true;
}

// awk exits 1 when nothing matched: that is an empty answer, not a failure.
// Its own errors (status 2, mapped to -3) and its death are.
int awkOutcome(int ran) { return ran == kErrArgument || ran == kErrNotFound ? ran : kOk; }
int runAwk(const std::string& command) { return awkOutcome(qvSystem(command)); }
int runAwk(const AwkRun& run) {
  return awkOutcome(qvSystem(run.program, run.argv, run.environment));
}

int runQuery(const char* name, bool logged, int (*build)(const std::string&, const EventRecord&,
                                                          const std::string&, std::string*),
             std::string (*patternOf)(const EventRecord&), const EventRecord& record,
             const std::string& tableFile) {
  std::string directory;
  int result = patternCompiles(patternOf(record)) ? kOk : kErrArgument;
  if (result == kOk) result = searchPath("awk", &directory);
  std::string command;
  if (result == kOk) result = build(directory, record, tableFile, &command);
  if (result == kOk) {
    if (logged) debugCommand(name, command);
    result = runAwk(command);
  }
  if (result != kOk) return failAt(name, result);
  return kOk;
}

// The checks and commands of the query, in the order genericUserQuery makes
// them, so that a query refused there is refused here alike.
int prepareCandidateQuery(const EventRecord& record, const std::string& tableFile,
                          const UserTableSource& source, AwkRun* candidates, std::string* query) {
  if (!patternCompiles(userQueryPattern(record))) return kErrArgument;
  std::string directory;
  int result = searchPath("awk", &directory);
  if (result == kOk) result = buildUserQueryCommand(directory, record, tableFile, query);
  if (result == kOk) *candidates = userCandidateRun(directory, record, source);
  return result;
}

// True when the pattern's fields past the seventh are all empty.
bool onlyPasswdFields(const std::string& pattern) {
  std::vector<std::string> fields = splitFields(pattern, ':');
  for (std::size_t k = 7; k < fields.size(); ++k)
    if (!fields[k].empty()) return false;
  return true;
}

long long fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

}  // namespace

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
  for (int i : kGroupPatternFields) {
    if (i != kName) pattern += ":";
    pattern += record.field(i);
  }
  return pattern;
}

int buildUserQueryCommand(const std::string& awkDirectory, const EventRecord& record,
                          const std::string& tableFile, std::string* command) {
  return buildCommand(kUserProgram, awkDirectory, userQueryPattern(record), tableFile, command);
}

int buildGroupQueryCommand(const std::string& awkDirectory, const EventRecord& record,
                           const std::string& tableFile, std::string* command) {
  return buildCommand(kGroupProgram, awkDirectory, groupQueryPattern(record), tableFile, command);
}

int genericUserQuery(const EventRecord& record, const std::string& tableFile) {
  return runQuery("genericUserQuery", false, buildUserQueryCommand, userQueryPattern, record,
                  tableFile);
}

int genericGroupQuery(const EventRecord& record, const std::string& tableFile) {
  return runQuery("genericGroupQuery", true, buildGroupQueryCommand, groupQueryPattern, record,
                  tableFile);
}

namespace {

// "$1 ~ re[1] && ..." for the non-empty ones of the pattern's first seven
// fields; "1" when there are none.
std::string passwdFieldTests(const std::string& pattern) {
  std::vector<std::string> fields = splitFields(pattern, ':');
  std::string tests;
  for (std::size_t k = 1; k <= 7 && k <= fields.size(); ++k) {
    if (fields[k - 1].empty()) continue;
    if (!tests.empty()) tests += " && ";
    tests += "$" + std::to_string(k) + " ~ re[" + std::to_string(k) + "]";
  }
  return tests.empty() ? "1" : tests;
}

}  // namespace

AwkRun userCandidateRun(const std::string& awkDirectory, const EventRecord& record,
                        const UserTableSource& source) {
  const std::string pattern = userQueryPattern(record);
  const std::string tests = passwdFieldTests(pattern);
  char program[kCommandCapacity];
  std::snprintf(program, sizeof program, kUserCandidateProgram,
                source.accountLinesOnly ? kAccountLineFilter : "", tests.c_str());
  AwkRun run;
  run.program = awkDirectory + "awk";
  run.argv = {"awk", "-F:", program, source.sourceFile};
  run.environment = {{"QUERY_PATTERN", pattern}, {"QUERY_CANDIDATES", source.candidateFile}};
  return run;
}

int genericUserQuery(const EventRecord& record, const std::string& tableFile,
                     const UserTableSource& source) {
  AwkRun candidates;
  std::string query;
  int result = prepareCandidateQuery(record, tableFile, source, &candidates, &query);
  if (result == kOk) result = runAwk(candidates);
  // With no candidate the query runs over the empty table, so that its
  // empty answer ends as it always does.
  const bool direct = result == kOk && onlyPasswdFields(userQueryPattern(record)) &&
                      fileSize(source.candidateFile) > 0;
  if (direct) {
    result = source.makeTable(record, source.candidateFile, nullptr);
  } else {
    if (result == kOk) result = source.makeTable(record, source.candidateFile, tableFile.c_str());
    if (result == kOk) result = runAwk(query);
  }
  if (result != kOk) return failAt("genericUserQuery", result);
  return kOk;
}
