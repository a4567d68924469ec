// State that the whole process shares: the debug switch, the running command
// child (read by the SIGTERM handler) and the parser's "skip the NIS shadow
// test" flag.
#pragma once

#include <csignal>
#include <string_view>
#include <sys/types.h>

extern bool debugLogging;
extern volatile sig_atomic_t childPid;
// Set while that child is a tool that writes several files in a row: the
// SIGTERM handler gives it time to finish before it stops it.
extern volatile sig_atomic_t childFinishes;
extern bool skipShadowTest;

// Logs a command line (or any text) at LOG_DEBUG as "<routine>:<text>:" when
// the debug switch is on.
void debugCommand(const char* routine, std::string_view text);
// Logs at LOG_DEBUG when the debug switch is on; printf-style.
void debugLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Logs at LOG_ERR always.
void errorLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
