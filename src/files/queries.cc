#include "files/queries.h"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include "core/process_state.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/scratch_file.h"
#include "core/trace.h"
#include "publisher/generic_query.h"

namespace {

constexpr const char* kUserTable = "quser.files";

// The user table: every passwd line with the user's shadow fields 2-9 as
// its eighth field, or (without shadow) every passwd line with seven colons.
int extractUserTable(const EventRecord& record) {
  std::string directory;
  int result = searchPath("awk", &directory);
  if (result != kOk) return result;
  char command[kCommandCapacity];
  int n;
  const char* routine;
  if (record.noShadow) {
    n = std::snprintf(command, sizeof command, "%s/%s '{print $0\":::::::\" }' /etc/passwd > quser.files",
                      directory.c_str(), "awk");
    routine = "filesUserQuery3";
  } else {
    char program[kCommandCapacity];
    std::snprintf(program, sizeof program,
                  "'BEGIN{FS=\":\";OFS=\":\";while (getline < \"%s\" > 0) {shadow[$1] = "
                  "$2OFS$3OFS$4OFS$5OFS$6OFS$7OFS$8OFS$9}} /^[a-zA-Z0-9_]/ {$8 = shadow[$1];printf "
                  "\"%%s\\n\",$0}' %s",
                  "/etc/shadow", "/etc/passwd");
    n = std::snprintf(command, sizeof command, "%s/%s %s > quser.files", directory.c_str(), "awk", program);
    routine = "filesUserQuery2";
  }
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof command) return kErrArgument;
  debugCommand(routine, command);
  return qvSystem(command) == kOk ? kOk : kErrOther;
}

}  // namespace

int filesNameQuery(const std::string& value, const char* path, int column, const char* kind) {
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) {
    traceError("filesNameQuery");
    return kErrOpen;
  }
  int result = kErrNoSuchAccount;
  char* line = nullptr;
  std::size_t capacity = 0;
  ssize_t length;
  // Lines are read whole, however long. A last line without its newline is
  // not examined, and empty lines never match.
  while ((length = getline(&line, &capacity, file)) > 0) {
    if (line[length - 1] != '\n') break;
    line[--length] = '\0';
    if (length == 0) continue;
    // The wanted column; past the last one the field counts as empty.
    std::string_view rest(line, static_cast<std::size_t>(length));
    for (int skip = column; skip > 0 && !rest.empty(); --skip) {
      std::size_t colon = rest.find(':');
      rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
    if (rest.substr(0, rest.find(':')) == value) {
      std::printf("instance%s:%s\n", kind, line);
      result = kOk;
    }
  }
  std::free(line);
  std::fclose(file);
  if (result != kOk) traceError("filesNameQuery");
  return result;
}

int filesUserQuery(EventRecord& record) {
  const QueryKind kind = classifyUserQuery(record);
  // Made here, afresh, before awk fills it: it holds every hash.
  ScratchFile table(kUserTable);
  int result = table.create();
  if (result == kOk) result = extractUserTable(record);
  if (result == kOk) {
    result = kErrNoSuchAccount;
    if (kind.byName) result = filesNameQuery(record.field(kName), kUserTable, 0, "User");
    else if (kind.byId) result = filesNameQuery(record.field(kUid), kUserTable, 2, "User");
    if (result == kErrNoSuchAccount) result = genericUserQuery(record, kUserTable);
  }
  if (result != kOk) traceError("filesUserQuery");
  return result;
}

int filesGroupQuery(EventRecord& record) {
  const QueryKind kind = classifyGroupQuery(record);
  int result = kErrNoSuchAccount;
  if (kind.byName) result = filesNameQuery(record.field(kName), "/etc/group", 0, "Group");
  else if (kind.byId) result = filesNameQuery(record.field(kGid), "/etc/group", 2, "Group");
  if (result == kErrNoSuchAccount) result = genericGroupQuery(record, "/etc/group");
  if (result != kOk) traceError("filesGroupQuery");
  return result;
}
