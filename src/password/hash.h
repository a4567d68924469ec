// Password hashes: the traditional DES-based crypt used for new passwords and
// the "$1$" MD5-based crypt used to check stored hashes, plus the salt maker.
#pragma once

#include <string>

// The 64 characters of salts and of both hashes' output, in this order.
extern const char kSaltAlphabet[65];

// One salt character for a byte that is not an ASCII letter or digit (letters
// and digits come back unchanged).
char toSaltChar(int byte);

// Two salt characters from the clock, the process id and the processor time;
// "sl" when the clock is not available.
std::string makeSalt();
// The same with the clock readings given, so the rule can be checked.
std::string makeSaltFrom(long seconds, long processId, long processorTime);

// The classic 13-character DES crypt of the password with the first two
// characters of salt (a missing character counts as "A"). Empty when no hash
// can be made (a salt byte outside ASCII, or the library refuses).
std::string desCrypt(const char* password, const char* salt);

// "$1$", the salt (at most 8 characters, read from setting after an optional
// leading "$1$" up to the next "$"), "$" and 22 hash characters. The result
// lives in one process-wide buffer that the next call overwrites.
const char* md5Crypt(const char* password, const char* setting);
