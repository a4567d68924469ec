// Not built yet: each handler fails with -11 and its own name in the trace.
#include "files/group_commands.h"

#include "core/result.h"
#include "core/trace.h"

int handleGroupAdd(EventRecord&) {
  traceError("handleGroupAdd");
  return kErrOther;
}

int handleGroupMod(EventRecord&) {
  traceError("handleGroupMod");
  return kErrOther;
}

int handleGroupDel(EventRecord&) {
  traceError("handleGroupDel");
  return kErrOther;
}

int handleGroupRename(EventRecord&) {
  traceError("handleGroupRename");
  return kErrOther;
}

