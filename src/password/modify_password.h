// The modifyPassword command, shared by the three backends.
#pragma once

#include <string>

#include "core/event_record.h"

// The backend's user query, which answers "instanceUser:" lines on stdout.
using UserQuery = int (*)(EventRecord&);

// Accepts the change to the new password of the event's tokens when that is
// the password the backend holds, and records it as pending. 0 also when the
// change is not accepted (unknown user, bad token, other password); -1 when
// the pending-password store cannot be opened or written; -11 for nis
// without a map directory. The caller hands it the backend's user query, so
// that this subsystem knows no backend.
int modifyPassword(EventRecord& record, UserQuery userQuery);

// The steps, for tests.
int lookupStoredHash(EventRecord& record, UserQuery userQuery, std::string& storedHash);
bool verifyCurrentPassword(const std::string& clear, const std::string& storedHash);
