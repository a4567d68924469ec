// Result codes shared by every routine: 0 is success, each failure kind has
// one negative code, passed up unchanged. The exit status is the low byte.
#pragma once

enum ResultCode : int {
  kOk = 0,
  kErrOpen = -1,          // a file or database cannot be opened or read
  kErrNotFound = -2,      // tool or file missing, command could not run or died
  kErrArgument = -3,      // bad option, backend or event data; tool exit 2, 3, 6
  kErrNameInUse = -4,     // tool exit 9
  kErrLoggedIn = -5,      // tool exit 8
  kErrNoSuchAccount = -6,
  kErrLock = -8,          // password-file or source lock not granted
  kErrMapLock = -9,       // dbm map cannot be locked
  kErrIdInUse = -10,      // tool exit 4
  kErrOther = -11,
};
