// Writing the prepared password field of a user into the account file.
#pragma once

#include "core/event_record.h"

// Where the password step works. Fixed on a real host; tests point it at a
// scratch directory.
struct PasswordFiles {
  const char* passwd = "/etc/passwd";
  const char* shadow = "/etc/shadow";
  const char* temp = "/etc/qvpwd.tmp";
  const char* lock = "/etc/.pwd.lock";
  int lockAttempts = 15;
  int lockPauseMillis = 1000;
};

// Sets the second field of the user's lines in /etc/passwd (noShadow) or
// /etc/shadow to the record's password field ("x" stores "!!", "noPassword"
// stores nothing; "*" in a modifyUser event leaves the password alone). The
// whole read-rewrite-replace runs under the password-file lock.
int setPassword(const EventRecord& record, const PasswordFiles& files = PasswordFiles{});
