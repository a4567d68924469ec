#include "nisplus/queries.h"

#include <string>
#include <unistd.h>

#include "core/system_log.h"
#include "core/result.h"
#include "core/runner.h"
#include "core/shell_quote.h"
#include "core/run_directory.h"
#include "core/scratch_file.h"
#include "core/trace.h"
#include "nisplus/nisplus_command.h"
#include "core/generic_query.h"

namespace {

// The direct lookup: every entry whose column holds the value is printed
// behind the tag, and *printed tells whether anything was. A failed or empty
// lookup falls back to the dump; only a missing tool ends the query (its
// searchPath code).
int lookUp(const char* routine, const char* column, const std::string& value, const char* table,
           const char* awkProgram, bool* printed) {
  *printed = false;
  std::string awkDir, nismatchDir;
  int rc = searchPath("awk", &awkDir);
  if (rc == kOk) rc = searchPath("nismatch", &nismatchDir);
  if (rc != kOk) return rc;
  std::string command = "(" + nismatchDir + "/nismatch " + column + "=\"" + quoteDoubleQuoted(value) + "\" " +
                        table + " || exit 1) | " + awkDir + "/awk " + awkProgram;
  if (command.size() >= kCommandCapacity) return kOk;  // the dump answers instead
  debugCommand(routine, command);
  *printed = qvSystem(command) == kOk;
  return kOk;
}

int dumpTable(const char* routine, const char* table, const std::string& file) {
  std::string niscatDir;
  int rc = searchPath("niscat", &niscatDir);
  if (rc != kOk) return rc;
  std::string command = niscatDir + "/niscat " + table + " > " + quoteBareWord(file);
  debugCommand(routine, command);
  return qvSystem(command) == kOk ? kOk : kErrOther;
}

}  // namespace

int nisplusUserQuery(EventRecord& record) {
  const char* me = "nisplusUserQuery";
  RunScratchFile scratch{"quser.nisplus"};
  if (scratch.create() != kOk) return failAt(me, kErrOpen);
  QueryKind kind = classifyUserQuery(record);
  bool byName = kind.byName;
  if (kind.byName || kind.byId) {
    bool printed = false;
    int rc = lookUp(me, byName ? "name" : "uid", record.field(byName ? kName : kUid), "passwd.org_dir",
                    "'BEGIN {count=0}{count++; print \"instanceUser:\"$0 } END{if(count==0) exit 1}'", &printed);
    if (rc != kOk) return failAt(me, rc);
    if (printed) return kOk;
  }
  int rc = dumpTable(me, "passwd.org_dir", scratch.path());
  if (rc != kOk) return failAt(me, rc);
  // The table has no column for the shadow password: its lines carry the
  // aging values right after the shell, so the pattern's aging fields move
  // one place forward to meet them. The hash a shadow password pattern asks
  // for is held in the passwd column, so it is matched there.
  EventRecord pattern = record;
  if (pattern.field(kPasswd).empty()) pattern.fields[kPasswd] = record.field(kShadowPasswd);
  for (int i = kShadowPasswd; i < kFlag; ++i) pattern.fields[i] = record.field(i + 1);
  pattern.fields[kFlag] = std::string();
  rc = genericUserQuery(pattern, scratch.path());
  if (rc != kOk) return failAt(me, rc);
  return kOk;
}

int nisplusGroupQuery(EventRecord& record) {
  const char* me = "nisplusGroupQuery";
  RunScratchFile scratch{"qgroup.nisplus"};
  if (scratch.create() != kOk) return failAt(me, kErrOpen);
  QueryKind kind = classifyGroupQuery(record);
  bool byName = kind.byName;
  if (kind.byName || kind.byId) {
    bool printed = false;
    int rc = lookUp(me, byName ? "name" : "gid", record.field(byName ? kName : kGid), "group.org_dir",
                    "'BEGIN{count=0} { count++; print \"instanceGroup:\"$0 } END{if(count==0) exit 1}'", &printed);
    if (rc != kOk) return failAt(me, rc);
    if (printed) return kOk;
  }
  int rc = dumpTable(me, "group.org_dir", scratch.path());
  if (rc != kOk) return failAt(me, rc);
  rc = genericGroupQuery(record, scratch.path());
  if (rc != kOk) return failAt(me, rc);
  return kOk;
}
