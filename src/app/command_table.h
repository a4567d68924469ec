// The top of the shim, the one place that knows every handler: the
// constant command table, one row per command and one handler per backend.
#pragma once

#include "core/event_record.h"

using Handler = int (*)(EventRecord&);

struct CommandEntry {
  int code;
  const char* name;
  Handler handlers[3];  // indexed by Backend
};

constexpr int kCommandCount = 12;
extern const CommandEntry kCommandTable[kCommandCount];

// The row whose name equals the text exactly, or -1.
int findCommand(const char* name);
