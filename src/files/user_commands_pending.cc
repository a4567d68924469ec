// Not built yet: each handler fails with -11 and its own name in the trace.
#include "files/user_commands.h"

#include "core/result.h"
#include "core/trace.h"

int handleUserAdd(EventRecord&) {
  traceError("handleUserAdd");
  return kErrOther;
}

int handleUserMod(EventRecord&) {
  traceError("handleUserMod");
  return kErrOther;
}

int handleUserDel(EventRecord&) {
  traceError("handleUserDel");
  return kErrOther;
}

int handleUserRename(EventRecord&) {
  traceError("handleUserRename");
  return kErrOther;
}

