// The system log as this process writes it: errors always, command lines and
// other detail only when the debug switch is on.
#pragma once

#include <string_view>

// The debug switch, set at entry when the switch file exists.
extern bool debugLogging;

// Logs a command line (or any text) at LOG_DEBUG as "<routine>:<text>:" when
// the debug switch is on.
void debugCommand(const char* routine, std::string_view text);
// Logs at LOG_DEBUG when the debug switch is on; printf-style.
void debugLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Logs at LOG_ERR always.
void errorLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
