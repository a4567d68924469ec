// The DES primitives are deprecated in the library but remain the only way to
// run this cipher without loading its legacy provider.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "password/token.h"

#include "core/secret.h"
#include "password/md5.h"

#include <openssl/des.h>

#include <cstring>

namespace {

int base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool isSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

bool decodeBase64(std::string_view text, std::string& bytes) {
  bytes.clear();
  int state = 0;  // characters seen of the current group of four
  unsigned int pending = 0;  // bits not yet written out
  std::size_t i = 0;
  for (; i < text.size(); ++i) {
    unsigned char c = text[i];
    if (isSpace(c)) continue;
    if (c == '=') break;
    int v = base64Value(c);
    if (v < 0) return false;
    pending = (pending << 6) | static_cast<unsigned int>(v);
    switch (state) {
      case 0: break;
      case 1: bytes.push_back(static_cast<char>((pending >> 4) & 0xff)); pending &= 0x0f; break;
      case 2: bytes.push_back(static_cast<char>((pending >> 2) & 0xff)); pending &= 0x03; break;
      case 3: bytes.push_back(static_cast<char>(pending & 0xff)); pending = 0; break;
    }
    state = (state + 1) % 4;
  }
  if (i == text.size()) return state == 0;  // no padding: the groups must be whole

  // Padding: "==" after two characters, "=" after three, nowhere else.
  if (state < 2) return false;
  ++i;  // the first "="
  if (state == 2) {
    while (i < text.size() && isSpace(text[i])) ++i;
    if (i == text.size() || text[i] != '=') return false;
    ++i;
  }
  for (; i < text.size(); ++i)
    if (!isSpace(text[i])) return false;
  return pending == 0;  // the last character's unused bits
}

void deriveTokenKey(unsigned char keyAndIv[16]) {
  unsigned char digest[16];
  Md5 md5;
  md5.add(kTokenPassPhrase);
  md5.add(kTokenSalt, 8);
  md5.finish(digest);
  for (int round = 1; round < kTokenIterations; ++round) {
    md5.restart();
    md5.add(digest, sizeof digest);
    md5.finish(digest);
  }
  std::memcpy(keyAndIv, digest, 16);
  explicit_bzero(digest, sizeof digest);
}

int decryptToken(std::string_view token, std::string& output) {
  output.clear();
  std::string cipher;
  // Nothing to decrypt is as invalid as bad base64. So is a ciphertext that
  // is not whole DES blocks: no engine-made token looks like that.
  if (!decodeBase64(token, cipher) || cipher.empty() || cipher.size() % 8 != 0) return -1;

  unsigned char keyAndIv[16];
  deriveTokenKey(keyAndIv);
  DES_cblock key;
  DES_cblock iv;
  std::memcpy(key, keyAndIv, 8);
  std::memcpy(iv, keyAndIv + 8, 8);
  DES_key_schedule schedule;
  DES_set_key_unchecked(&key, &schedule);

  std::string clear(cipher.size(), '\0');
  WipeOnExit wipeClear(clear);  // moved out whole, or wiped
  DES_ncbc_encrypt(reinterpret_cast<const unsigned char*>(cipher.data()),
                   reinterpret_cast<unsigned char*>(clear.data()), static_cast<long>(cipher.size()),
                   &schedule, &iv, DES_DECRYPT);
  explicit_bzero(keyAndIv, sizeof keyAndIv);
  explicit_bzero(&key, sizeof key);
  explicit_bzero(&schedule, sizeof schedule);

  // A wrong key or a damaged token shows as bad padding. Its clear text must
  // not be used: a damaged last block would still leave the true password in
  // front and let an undecryptable token be accepted.
  const unsigned char pad = static_cast<unsigned char>(clear.back());
  bool padded = pad >= 1 && pad <= 8;
  for (std::size_t k = clear.size() - (padded ? pad : 0); padded && k < clear.size(); ++k)
    padded = static_cast<unsigned char>(clear[k]) == pad;
  if (!padded || std::memchr(clear.data(), '\0', clear.size() - pad) != nullptr) return -1;
  clear.resize(clear.size() - pad);
  output = std::move(clear);
  return 0;
}

std::string compactToken(std::string_view token) {
  std::string out;
  for (unsigned char c : token)
    if (!isSpace(c)) out.push_back(static_cast<char>(c));
  return out;
}
