// Not built yet: each handler fails with -11 and its own name in the trace.
#include "files/queries.h"

#include "core/result.h"
#include "core/trace.h"

int filesUserQuery(EventRecord&) {
  traceError("filesUserQuery");
  return kErrOther;
}

int filesGroupQuery(EventRecord&) {
  traceError("filesGroupQuery");
  return kErrOther;
}

