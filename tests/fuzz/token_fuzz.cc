// Password tokens from anywhere: the strict base64 decoder and the token
// decryption, checked against the library's own encoder and PBE cipher.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "password/token.h"
#include "support/token_encryptor.h"

namespace {

bool hasZero(const std::string& text) { return text.find('\0') != std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  // Strict decoding: whatever is accepted is the one canonical encoding of
  // its bytes, white space aside.
  std::string bytes;
  if (decodeBase64(input, bytes) && encodeBase64(bytes) != compactToken(input))
    fuzzFail("accepted base64 is not canonical", compactToken(input), encodeBase64(bytes));

  // Any bytes, encoded (wrapped or not), decode back to themselves.
  const std::size_t width = size == 0 ? 0 : data[0] % 80;
  const std::string encoded = encodeBase64(input, width);
  if (!decodeBase64(encoded, bytes) || bytes != input) fuzzFail("base64 round trip", input, bytes);

  // A token that decrypts is exactly the encryption of its clear text, and
  // the clear text holds no zero byte.
  std::string clear;
  if (decryptToken(input, clear) == 0) {
    if (hasZero(clear)) fuzzFail("clear text with a zero byte", "", clear);
    if (encryptToken(clear) != compactToken(input)) fuzzFail("decrypted token", compactToken(input), encryptToken(clear));
  } else if (!clear.empty()) {
    fuzzFail("refused token left clear text", "", clear);
  }

  // Every password without zero bytes comes back from its token.
  if (!hasZero(input)) {
    const std::string token = encryptToken(input);
    if (decryptToken(token, clear) != 0 || clear != input) fuzzFail("token round trip", input, clear);
  }
  return 0;
}
