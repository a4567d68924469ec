// queryUser and queryGroup for the files backend.
#pragma once

#include "core/event_record.h"

int filesUserQuery(EventRecord& record);
int filesGroupQuery(EventRecord& record);

#include <string>

// Prints "instance<kind>:<line>" for every line of path whose field in
// column (0-based, ":"-separated) equals value. 0 when a line matched, -6 when
// none did, -1 when the file cannot be opened. Fails with "filesNameQuery"
// in the trace.
int filesColumnQuery(const std::string& value, const char* path, int column, const char* kind);
