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
// Writes "<trace>: <code>\n" to standard error, and the same line to the
// system log at LOG_ERR: the engine may throw standard error away.
void reportError(int code);
// One LOG_ERR line "<routine>: <cause>" where a failing routine knows why it
// failed (a file it could not open, a tool it could not find), so that the
// operator need not guess from the trace alone. printf-style.
void logCause(const char* routine, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The cause line "<routine>: <path> does not exist", only when it does not:
// for steps whose tool fails alike for a missing file and for other reasons.
void logIfMissing(const char* routine, const char* path);
const char* errorTraceText();
// For tests: back to the bare "Error".
void resetErrorTrace();
