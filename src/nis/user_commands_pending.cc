// Not built yet: each handler fails with -11 and its own name in the trace.
#include "nis/user_commands.h"

#include "core/result.h"
#include "core/trace.h"

int nisUserAdd(EventRecord&) {
  traceError("nisUserAdd");
  return kErrOther;
}

int nisUserMod(EventRecord&) {
  traceError("nisUserMod");
  return kErrOther;
}

int nisUserDel(EventRecord&) {
  traceError("nisUserDel");
  return kErrOther;
}

int nisUserRename(EventRecord&) {
  traceError("nisUserRename");
  return kErrOther;
}

