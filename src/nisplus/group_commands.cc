#include "nisplus/group_commands.h"

#include <algorithm>
#include <string>
#include <unistd.h>

#include "core/result.h"
#include "core/runner.h"
#include "core/run_directory.h"
#include "core/scratch_file.h"
#include "core/shell_quote.h"
#include "core/trace.h"
#include "nisplus/nisplus_command.h"
#include "core/field_merge.h"

int nisplusGroupAdd(EventRecord& record) {
  const char* me = "nisplusGroupAdd";
  int rc = refuseExistingEntry(me, record, "gid", record.field(kGid), "group.org_dir");
  if (rc != kOk) return failAt(me, rc);

  rc = runNisplusCommand(me, record, kNisplusGroupAdd);
  if (rc != kOk) return failAt(me, rc);
  return kOk;
}

int nisplusGroupMod(EventRecord& record) {
  const char* me = "nisplusGroupMod";
  std::string nismatchDir;
  int rc = searchPath("nismatch", &nismatchDir);
  if (rc != kOk) return failAt(me, rc);

  RunScratchFile scratch{"file.tmp"};
  if (scratch.open() != kOk) return failAt(me, kErrOpen);
  std::string command = nismatchDir + "/nismatch name=\"" + quoteDoubleQuoted(record.field(kName)) +
                        "\" group.org_dir > " + quoteBareWord(scratch.path());
  rc = runLoggedOrOther(me, command);
  if (rc != kOk) return failAt(me, rc);

  std::string line;
  if (scratch.readBack(&line) != kOk) return failAt(me, kErrOpen);
  line.resize(std::min(line.find('\n'), line.size()));
  EventRecord current;
  rc = parseEventData(&current, line.c_str(), kAddGroup);
  wipeString(line);
  if (rc != kOk) return failAt(me, rc);
  mergeGroupRecord(record, current);
  releaseRecord(current);

  rc = runNisplusCommand(me, record, kNisplusGroupModify);
  if (rc != kOk) return failAt(me, rc);
  return kOk;
}
