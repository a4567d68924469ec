// The modifyPassword command, shared by the three backends.
#pragma once

#include <string>

#include "core/event_record.h"

// Accepts the change to the new password of the event's tokens when that is
// the password the backend holds, and records it as pending. 0 also when the
// change is not accepted (unknown user, bad token, other password); -1 when
// the pending-password store cannot be opened or written; -11 for nis
// without a map directory.
int modifyPassword(EventRecord& record);

// The steps, for tests.
int lookupStoredHash(EventRecord& record, std::string& storedHash);
bool verifyCurrentPassword(const std::string& clear, const std::string& storedHash);
