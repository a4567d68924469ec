// Not built yet: each handler fails with -11 and its own name in the trace.
#include "nisplus/group_commands.h"

#include "core/result.h"
#include "core/trace.h"

int nisplusGroupAdd(EventRecord&) {
  traceError("nisplusGroupAdd");
  return kErrOther;
}

int nisplusGroupMod(EventRecord&) {
  traceError("nisplusGroupMod");
  return kErrOther;
}

