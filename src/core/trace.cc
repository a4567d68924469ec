#include "core/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

namespace {
// Room for the capped text plus one more element and its separator.
char errorTrace[kTraceCapacity + kTraceCapacity + 2] = "Error";
}  // namespace

void traceError(const char* name) {
  if (name == nullptr) return;
  std::size_t have = std::strlen(errorTrace);
  std::size_t add = std::strlen(name);
  if (have + add > kTraceCapacity) return;
  errorTrace[have] = '_';
  std::memcpy(errorTrace + have + 1, name, add + 1);
}

void reportError(int code) {
  std::fprintf(stderr, "%s: %d\n", errorTrace, code);
  std::fflush(stderr);
  syslog(LOG_ERR, "%s: %d", errorTrace, code);
}

void logCause(const char* routine, const char* format, ...) {
  char cause[kTraceCapacity];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(cause, sizeof cause, format, ap);
  va_end(ap);
  syslog(LOG_ERR, "%s: %s", routine, cause);
}

void logIfMissing(const char* routine, const char* path) {
  if (access(path, F_OK) != 0) logCause(routine, "%s does not exist", path);
}

const char* errorTraceText() { return errorTrace; }

void resetErrorTrace() { std::strcpy(errorTrace, "Error"); }
