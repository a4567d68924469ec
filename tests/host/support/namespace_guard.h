// Host tests must never touch the machine's own account files: they run only
// inside a private mount namespace that the test process entered itself.
#pragma once

#include <string>

// Enters a new mount namespace with every mount made private. Remembers the
// namespace the process started in. False (with a reason) when it cannot.
bool enterPrivateMountNamespace(std::string* why);

// True when the process is in a namespace other than the one it started in
// and the root mount does not propagate to or from any other namespace.
bool inPrivateMountNamespace(std::string* why);
