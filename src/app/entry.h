// The process entry: options, event record, dispatch, report. Kept apart
// from main() so that it can be driven in-process.
#pragma once

// Runs one request and returns its result code (not yet the exit status).
int runShim(int argc, char** argv);

// The SIGTERM handler: stops the running command (its whole process group), removes the new snapshot
// files and ends the process with status 0. Async-signal-safe.
void onTerminate(int signalNumber);

// Event data that must be refused before any handler runs: a line break
// (except in modifyPassword, whose tokens may come wrapped), a rename target
// holding ":", or a name a host tool would read as an option.
bool eventDataAcceptable(const char* eventData, int command);
