// Not built yet: each handler fails with -11 and its own name in the trace.
#include "nisplus/user_commands.h"

#include "core/result.h"
#include "core/trace.h"

int nisplusUserAdd(EventRecord&) {
  traceError("nisplusUserAdd");
  return kErrOther;
}

int nisplusUserMod(EventRecord&) {
  traceError("nisplusUserMod");
  return kErrOther;
}

int nisplusDel(EventRecord&) {
  traceError("nisplusDel");
  return kErrOther;
}

int nisplusRename(EventRecord&) {
  traceError("nisplusRename");
  return kErrOther;
}

