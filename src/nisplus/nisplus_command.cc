#include "nisplus/nisplus_command.h"

#include "core/result.h"
#include "core/runner.h"
#include "core/shell_quote.h"
#include "core/trace.h"

namespace {
constexpr const char* kUserColumns[kFieldCount] = {
    "", "passwd=", "uid=", "gid=", "gcos=", "home=", "shell=", "", "shadow=", "", "", "", "", "", "", "", ""};
constexpr const char* kGroupColumns[kFieldCount] = {
    "", "passwd=", "", "gid=", "", "", "", "", "", "", "", "", "", "", "", "members=", ""};
constexpr const char* kNoColumns[kFieldCount] = {"", "", "", "", "", "", "", "", "", "",
                                                 "", "", "", "", "", "", ""};
constexpr const char* kRenameColumns[kFieldCount] = {"", "", "", "", "", "", "", "", "",
                                                     "", "", "", "", "", "", "", "name="};

NisplusColumns row(const char* command, const char* key, const char* const (&prefix)[kFieldCount]) {
  NisplusColumns r{command, key, {}};
  for (int i = 0; i < kFieldCount; ++i) r.prefix[i] = prefix[i];
  return r;
}

// A value standing bare in the shadow column: unchanged when harmless, else
// quoted; an empty value stays empty so the column keeps its places.
std::string bareValue(const std::string& value) { return value.empty() ? value : quoteBareWord(value); }

}  // namespace

const NisplusColumns kNisplusColumns[8] = {
    row("nistbladm -a ", "name=", kUserColumns),   row("nistbladm -E ", "[name=", kUserColumns),
    row("nistbladm -R ", "name=", kNoColumns),     row("nistbladm -a ", "name=", kGroupColumns),
    row("nistbladm -E ", "[name=", kGroupColumns), row("nistbladm -R ", "name=", kNoColumns),
    row("nistbladm -E ", "[name=", kRenameColumns), row("nistbladm -E ", "[name=", kRenameColumns),
};

int constructNisplusCommand(std::string* out, const EventRecord& record, int rowIndex, int command) {
  if (out == nullptr || rowIndex < 0 || rowIndex >= 8) return failAt("constructNisplusCommand", kErrArgument);
  const NisplusColumns& columns = kNisplusColumns[rowIndex];

  std::string dir;
  int rc = searchPath("nistbladm", &dir);
  if (rc != kOk) return failAt("constructNisplusCommand", rc);

  // The trailer is chosen by the command code, not by the row.
  const char* table = nullptr;
  bool indexed = false;
  switch (command) {
    case kAddUser: case kDeleteUser: table = "passwd"; break;
    case kModifyUser: case kRenameUser: table = "passwd"; indexed = true; break;
    case kAddGroup: case kDeleteGroup: table = "group"; break;
    case kModifyGroup: case kRenameGroup: table = "group"; indexed = true; break;
    default: break;
  }
  const std::string& name = record.field(kName);
  // Inside "[name=...]," a "]" or "," would end the key early and name
  // another entry or table; no quoting reaches past the tool's own syntax.
  if (table == nullptr || (indexed && name.find_first_of("],") != std::string::npos))
    return failAt("constructNisplusCommand", kErrArgument);

  std::string line = dir + columns.command;
  for (int i = kPasswd; i <= kShadowPasswd; ++i)
    if (*columns.prefix[i] != '\0')
      line += std::string(" ") + columns.prefix[i] + "\"" + quoteDoubleQuoted(record.field(i)) + "\" ";
  if (*columns.prefix[kLastChange] != '\0') {
    line += columns.prefix[kLastChange];
    for (int i = kLastChange; i < kFlag; ++i) line += bareValue(record.field(i)) + ":";
    line += bareValue(record.field(kFlag));
  }
  for (int i : {kMembers, kNewName})
    if (*columns.prefix[i] != '\0')
      line += std::string(" ") + columns.prefix[i] + "\"" + quoteDoubleQuoted(record.field(i)) + "\" ";
  line += std::string(" ") + columns.keyPrefix + bareValue(name) + (indexed ? "]," : " ") + table + ".org_dir ";

  if (line.size() >= kCommandCapacity) return failAt("constructNisplusCommand", kErrArgument);
  *out = std::move(line);
  return kOk;
}

int nisplusEntryExists(const char* routine, const std::string& nismatchDir, const std::string& awkDir,
                       const char* column, const std::string& value, const char* table) {
  std::string command = nismatchDir + "/nismatch " + column + "=\"" + quoteDoubleQuoted(value) + "\" " +
                        table + " | " + awkDir + "/awk 'BEGIN{count=0} { count++; } END{if(count==0) exit 1}'";
  int ran = runLoggedOrOther(routine, command);
  if (ran == kErrArgument) return ran;  // too long to run
  return ran == kOk ? 1 : 0;
}

int refuseExistingEntry(const char* routine, const EventRecord& record, const char* idColumn,
                        const std::string& idValue, const char* table) {
  std::string awkDir, nismatchDir;
  int rc = searchPath("awk", &awkDir);
  if (rc == kOk) rc = searchPath("nismatch", &nismatchDir);
  if (rc != kOk) return rc;
  int found = nisplusEntryExists(routine, nismatchDir, awkDir, "name", record.field(kName), table);
  if (found < 0) return found;
  if (found == 1) return kErrNameInUse;
  if (record.nonUniqueId) return kOk;

  rc = searchPath("awk", &awkDir);
  if (rc == kOk) rc = searchPath("nismatch", &nismatchDir);
  if (rc != kOk) return rc;
  found = nisplusEntryExists(routine, nismatchDir, awkDir, idColumn, idValue, table);
  if (found < 0) return found;
  return found == 1 ? kErrIdInUse : kOk;
}

int runNisplusCommand(const char* routine, const EventRecord& record, int row) {
  std::string command;
  int rc = constructNisplusCommand(&command, record, row, record.command);
  if (rc != kOk) return rc;
  return runLogged(routine, command);
}
