// Pattern queries over a file of account records, and the test that tells a
// backend when a query names only an account name or only a numeric id.
#pragma once

#include <string>
#include <vector>

#include "core/event_record.h"
#include "core/runner.h"

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

// The awk command that prints "instanceUser:" (or "instanceGroup:") and every
// line of tableFile whose fields match the anchored pattern fields; empty
// pattern fields match anything. awkDirectory is as searchPath gives it.
// -3 when the command would not fit its buffer.
int buildUserQueryCommand(const std::string& awkDirectory, const EventRecord& record,
                          const std::string& tableFile, std::string* command);
int buildGroupQueryCommand(const std::string& awkDirectory, const EventRecord& record,
                           const std::string& tableFile, std::string* command);

// Run those commands, printing on standard output. 0 also when nothing
// matched; the searchPath result when awk is missing.
int genericUserQuery(const EventRecord& record, const std::string& tableFile);
int genericGroupQuery(const EventRecord& record, const std::string& tableFile);

// The first seven fields of a user record are those of its passwd line, so a
// pattern can be tried on those before the table is made: only the lines of
// sourceFile that pass them (and, with accountLinesOnly, begin with a letter,
// a digit or "_") go to candidateFile, and makeTable turns those into
// tableFile, over which the query then runs as above. When the pattern says
// nothing of the other fields, every candidate matches: makeTable, given no
// table file, prints their answer lines itself. The answer, result and trace
// are those of genericUserQuery over the table of every line.
struct UserTableSource {
  const char* sourceFile;
  bool accountLinesOnly;
  std::string candidateFile;
  int (*makeTable)(const EventRecord& record, const std::string& candidateFile,
                   const char* tableFile);
};
int genericUserQuery(const EventRecord& record, const std::string& tableFile,
                     const UserTableSource& source);

// The awk run that writes those candidate lines, started without a shell:
// the pattern and the candidate file reach the program through its
// environment.
struct AwkRun {
  std::string program;
  std::vector<std::string> argv;
  ChildEnvironment environment;
};
AwkRun userCandidateRun(const std::string& awkDirectory, const EventRecord& record,
                        const UserTableSource& source);
