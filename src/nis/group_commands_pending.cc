// Not built yet: each handler fails with -11 and its own name in the trace.
#include "nis/group_commands.h"

#include "core/result.h"
#include "core/trace.h"

int nisGroupAdd(EventRecord&) {
  traceError("nisGroupAdd");
  return kErrOther;
}

int nisGroupMod(EventRecord&) {
  traceError("nisGroupMod");
  return kErrOther;
}

int nisGroupDel(EventRecord&) {
  traceError("nisGroupDel");
  return kErrOther;
}

int nisGroupRename(EventRecord&) {
  traceError("nisGroupRename");
  return kErrOther;
}

