#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "password/token.h"
#include "support/shell_output.h"
#include "support/token_encryptor.h"

namespace {

std::string hex(const unsigned char* bytes, std::size_t n) {
  std::string out;
  char two[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    out += two;
  }
  return out;
}

// A token made by the `openssl enc` command line, with key and IV derived
// here by hand: MD5(pass phrase, salt), then MD5 of the digest, 20 in all.
std::string tokenFromCommandLine(const std::string& clear) {
  unsigned char d[16];
  unsigned int len = 0;
  std::string seed = std::string("Rt3mQ8vzLp2WkX7nGd4hYs9Bc") + "mintcorb";
  EVP_Digest(seed.data(), seed.size(), d, &len, EVP_md5(), nullptr);
  for (int i = 1; i < 20; ++i) EVP_Digest(d, 16, d, &len, EVP_md5(), nullptr);
  std::string command = "printf '%s' '" + clear + "' | openssl enc -des-cbc -provider legacy -provider default -K " +
                        hex(d, 8) + " -iv " + hex(d + 8, 8) + " -base64 -A";
  return shellOutput(command);
}

TEST(Base64, DecodesAndSkipsWhiteSpace) {
  std::string out;
  EXPECT_TRUE(decodeBase64("", out));
  EXPECT_TRUE(out.empty());
  ASSERT_TRUE(decodeBase64("aGVsbG8gd29ybGQ=", out));
  EXPECT_EQ("hello world", out);
  ASSERT_TRUE(decodeBase64("  aGVs\nbG8g\r\nd29y bGQ=\n ", out));
  EXPECT_EQ("hello world", out);
  ASSERT_TRUE(decodeBase64("QQ= =\n", out));  // white space between the two "="
  EXPECT_EQ("A", out);
  ASSERT_TRUE(decodeBase64("AP8A", out));
  EXPECT_EQ(std::string("\0\xff\0", 3), out);
}

TEST(Base64, RejectsMalformedText) {
  std::string out;
  for (const char* bad : {
           "QQ=",       // one "=" after two characters
           "QUI==",     // two "=" after three characters
           "Q===",      // padding after one character
           "=QUJD",     // padding first
           "QUJDRA",    // group cut short without padding
           "QUJD*A==",  // character outside the alphabet
           "QQ==QUJD",  // text after the padding
           "QR==",      // unused bits not zero
           "QUJ=x",
       }) {
    EXPECT_FALSE(decodeBase64(bad, out)) << bad;
  }
}

TEST(Token, EncryptorAndCommandLineAgreeAndDecrypt) {
  for (const std::string clear : {"a", "Secret1", "exactly8", "a much longer pass phrase, 31 c", ""}) {
    std::string token = encryptToken(clear);
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(tokenFromCommandLine(clear), token) << clear;
    std::string out;
    ASSERT_EQ(0, decryptToken(token, out)) << clear;
    EXPECT_EQ(clear, out);
  }
}

TEST(Token, WrappedTokenDecryptsLikeTheFlatOne) {
  const std::string clear(70, 'p');
  const std::string bytes = encryptTokenBytes(clear);
  std::string wrapped = "  " + encodeBase64(bytes, 64) + "\n";
  ASSERT_NE(std::string::npos, wrapped.find('\n'));
  std::string out;
  ASSERT_EQ(0, decryptToken(wrapped, out));
  EXPECT_EQ(clear, out);
  EXPECT_EQ(encodeBase64(bytes), compactToken(wrapped));
}

TEST(Token, CiphertextWithZeroByte) {
  std::string clear;
  for (int i = 0; i < 10000; ++i) {
    std::string candidate = "pw" + std::to_string(i);
    if (encryptTokenBytes(candidate).find('\0') != std::string::npos) {
      clear = candidate;
      break;
    }
  }
  ASSERT_FALSE(clear.empty());
  std::string out;
  ASSERT_EQ(0, decryptToken(encryptToken(clear), out));
  EXPECT_EQ(clear, out);
}

TEST(Token, InvalidTokens) {
  std::string out = "left over";
  EXPECT_EQ(-1, decryptToken("", out));
  EXPECT_EQ("", out);
  EXPECT_EQ(-1, decryptToken(" \n ", out));
  EXPECT_EQ(-1, decryptToken("not base64!", out));
  EXPECT_EQ(-1, decryptToken(encodeBase64("0123456789"), out));  // not whole blocks

  std::string damaged = encryptTokenBytes("exactly8");  // the password, then a block of padding
  damaged[damaged.size() - 1] ^= 0x55;
  EXPECT_EQ(-1, decryptToken(encodeBase64(damaged), out));
  EXPECT_EQ("", out);

  std::string withZero = encryptTokenBytes(std::string("ab\0cd", 5));
  EXPECT_EQ(-1, decryptToken(encodeBase64(withZero), out));
}

}  // namespace
