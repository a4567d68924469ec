// The DES primitives have no replacement interface in the library.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "password/hash.h"

#include "password/md5.h"

#include <openssl/des.h>

#include <cstring>
#include <ctime>
#include <unistd.h>

const char kSaltAlphabet[65] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

namespace {

bool isAsciiAlnum(int byte) {
  return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
}

char saltCharOf(long value) {
  int byte = static_cast<int>(value % 128);  // C remainder: keeps the sign
  return isAsciiAlnum(byte) ? static_cast<char>(byte) : toSaltChar(byte);
}

// Writes count characters of the 24-bit value, low 6 bits first.
char* encode64(char* out, unsigned long value, int count) {
  while (count-- > 0) {
    *out++ = kSaltAlphabet[value & 0x3f];
    value >>= 6;
  }
  return out;
}

}  // namespace

char toSaltChar(int byte) {
  if (byte == '.' || byte == '/' || isAsciiAlnum(byte)) return static_cast<char>(byte);
  if (byte >= 0 && byte <= 45) return static_cast<char>(46 + byte % 10);
  if (byte >= 58 && byte <= 64) return static_cast<char>(65 + byte % 26);
  if (byte >= 91 && byte <= 127) return static_cast<char>(97 + byte % 26);
  return '.';
}

std::string makeSaltFrom(long seconds, long processId, long processorTime) {
  if (seconds == -1) return "sl";
  return {saltCharOf(seconds + processId), saltCharOf(seconds + processorTime)};
}

std::string makeSalt() {
  time_t now = time(nullptr);
  if (now == static_cast<time_t>(-1)) return "sl";
  return makeSaltFrom(static_cast<long>(now), static_cast<long>(getpid()), static_cast<long>(clock()));
}

std::string desCrypt(const char* password, const char* salt) {
  char setting[3] = {'A', 'A', '\0'};
  if (salt != nullptr && salt[0] != '\0') {
    setting[0] = salt[0];
    if (salt[1] != '\0') setting[1] = salt[1];
  }
  char out[14] = {};
  const char* hash = DES_fcrypt(password ? password : "", setting, out);
  std::string result = hash ? std::string(hash) : std::string();
  explicit_bzero(out, sizeof out);
  return result;
}

namespace {

constexpr char kMd5Magic[] = "$1$";

// The digest before the stretching: password, magic and salt, then as many
// bytes of the alternate digest as the password is long, then one byte per
// bit of the password's length.
void md5Initial(const char* password, std::size_t passwordLength, const char* salt, std::size_t saltLength,
                unsigned char digest[16]) {
  {
    Md5 b;
    b.add(password, passwordLength);
    b.add(salt, saltLength);
    b.add(password, passwordLength);
    b.finish(digest);
  }
  Md5 a;
  a.add(password, passwordLength);
  a.add(kMd5Magic, 3);
  a.add(salt, saltLength);
  for (std::size_t left = passwordLength; left > 0; left -= left > 16 ? 16 : left) {
    a.add(digest, left > 16 ? 16 : left);
  }
  static const unsigned char kZero = 0;
  for (std::size_t bits = passwordLength; bits != 0; bits >>= 1) {
    if (bits & 1) {
      a.add(&kZero, 1);
    } else {
      a.add(password, 1);
    }
  }
  a.finish(digest);
}

// A thousand rounds, to make guessing slow.
void md5Stretch(const char* password, std::size_t passwordLength, const char* salt, std::size_t saltLength,
                unsigned char digest[16]) {
  for (int i = 0; i < 1000; ++i) {
    Md5 round;
    if (i & 1) {
      round.add(password, passwordLength);
    } else {
      round.add(digest, 16);
    }
    if (i % 3 != 0) round.add(salt, saltLength);
    if (i % 7 != 0) round.add(password, passwordLength);
    if (i & 1) {
      round.add(digest, 16);
    } else {
      round.add(password, passwordLength);
    }
    round.finish(digest);
  }
}

}  // namespace

const char* md5Crypt(const char* password, const char* setting) {
  static char result[3 + 8 + 1 + 22 + 1];

  const char* salt = setting;
  if (std::strncmp(salt, kMd5Magic, 3) == 0) salt += 3;
  std::size_t saltLength = 0;
  while (saltLength < 8 && salt[saltLength] != '\0' && salt[saltLength] != '$') ++saltLength;
  const std::size_t passwordLength = std::strlen(password);

  unsigned char digest[16];
  md5Initial(password, passwordLength, salt, saltLength, digest);
  md5Stretch(password, passwordLength, salt, saltLength, digest);

  char* out = result;
  std::memcpy(out, kMd5Magic, 3);
  out += 3;
  std::memcpy(out, salt, saltLength);
  out += saltLength;
  *out++ = '$';
  static const int kGroups[5][3] = {{0, 6, 12}, {1, 7, 13}, {2, 8, 14}, {3, 9, 15}, {4, 10, 5}};
  for (const auto& g : kGroups) {
    out = encode64(out, (static_cast<unsigned long>(digest[g[0]]) << 16) | (digest[g[1]] << 8) | digest[g[2]], 4);
  }
  out = encode64(out, digest[11], 2);
  *out = '\0';
  explicit_bzero(digest, sizeof digest);
  return result;
}
