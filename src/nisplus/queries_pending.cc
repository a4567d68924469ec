// Not built yet: each handler fails with -11 and its own name in the trace.
#include "nisplus/queries.h"

#include "core/result.h"
#include "core/trace.h"

int nisplusUserQuery(EventRecord&) {
  traceError("nisplusUserQuery");
  return kErrOther;
}

int nisplusGroupQuery(EventRecord&) {
  traceError("nisplusGroupQuery");
  return kErrOther;
}

