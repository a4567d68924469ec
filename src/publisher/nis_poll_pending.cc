// Not built yet: each handler fails with -11 and its own name in the trace.
#include "publisher/nis_poll.h"

#include "core/result.h"
#include "core/trace.h"

int handleNISChange(EventRecord&) {
  traceError("handleNISChange");
  return kErrOther;
}

