// The process-wide error trace: "Error" followed by "_name" for every routine
// that failed, innermost first, printed once by the entry on failure.
#pragma once

#include <cstddef>

constexpr std::size_t kTraceCapacity = 1024;

// Appends "_" and name unless that would take the trace past its capacity.
void traceError(const char* name);
// The failing return of a routine: traces its name, passes the code (or the
// routine's own kind of outcome) on.
template <typename Code>
inline Code failAt(const char* routine, Code code) {
  traceError(routine);
  return code;
}
// Writes "<trace>: <code>\n" to standard error.
void reportError(int code);
const char* errorTraceText();
// For tests: back to the bare "Error".
void resetErrorTrace();
