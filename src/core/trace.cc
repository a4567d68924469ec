#include "core/trace.h"

#include <cstdio>
#include <cstring>

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
}

const char* errorTraceText() { return errorTrace; }

void resetErrorTrace() { std::strcpy(errorTrace, "Error"); }
