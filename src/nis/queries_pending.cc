// Not built yet: each handler fails with -11 and its own name in the trace.
#include "nis/queries.h"

#include "core/result.h"
#include "core/trace.h"

int nisUserQuery(EventRecord&) {
  traceError("nisUserQuery");
  return kErrOther;
}

int nisGroupQuery(EventRecord&) {
  traceError("nisGroupQuery");
  return kErrOther;
}

