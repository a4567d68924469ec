#include "core/system_log.h"

#include <cstdarg>
#include <string>
#include <syslog.h>

bool debugLogging = false;

void debugCommand(const char* routine, std::string_view text) {
  if (!debugLogging) return;
  std::string t(text);
  syslog(LOG_DEBUG, "%s:%s:", routine, t.c_str());
}

void debugLog(const char* format, ...) {
  if (!debugLogging) return;
  va_list ap;
  va_start(ap, format);
  vsyslog(LOG_DEBUG, format, ap);
  va_end(ap);
}

void errorLog(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vsyslog(LOG_ERR, format, ap);
  va_end(ap);
}
