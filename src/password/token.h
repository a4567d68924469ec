// Password tokens of the modifyPassword event: the password encrypted with a
// fixed pass phrase (PKCS #5 v1.5, MD5 and DES-CBC) and written in base64.
#pragma once

#include <string>
#include <string_view>

// The fixed parameters the engine encrypts with.
constexpr const char* kTokenPassPhrase = "Rt3mQ8vzLp2WkX7nGd4hYs9Bc";
constexpr const char* kTokenSalt = "mintcorb";
constexpr int kTokenIterations = 20;

// Strict base64: white space anywhere is skipped; anything outside the
// alphabet, misplaced "=", text after the padding, non-zero unused bits or a
// group cut short is an error. true and the bytes, or false.
bool decodeBase64(std::string_view text, std::string& bytes);

// The DES key (bytes 0-7) and IV (bytes 8-15) of the token cipher: MD5 of
// pass phrase and salt, then MD5 of the digest, 20 digests in all.
void deriveTokenKey(unsigned char keyAndIv[16]);

// Decrypts a token into output (the clear password). 0, or -1 for a token
// that is not valid base64, holds no ciphertext, or does not decrypt to a
// properly padded clear text without zero bytes; output is then empty.
int decryptToken(std::string_view token, std::string& output);

// The token without its white space (tokens may arrive wrapped).
std::string compactToken(std::string_view token);
