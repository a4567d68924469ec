// Not built yet: each handler fails with -11 and its own name in the trace.
#include "publisher/nisplus_poll.h"

#include "core/result.h"
#include "core/trace.h"

int handleNISplusChange(EventRecord&) {
  traceError("handleNISplusChange");
  return kErrOther;
}

