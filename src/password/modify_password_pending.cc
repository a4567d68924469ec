// Not built yet: each handler fails with -11 and its own name in the trace.
#include "password/modify_password.h"

#include "core/result.h"
#include "core/trace.h"

int modifyPassword(EventRecord&) {
  traceError("modifyPassword");
  return kErrOther;
}

