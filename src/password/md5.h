// Incremental MD5 through the library's digest interface; the context is
// freed (and with it cleansed) on every return path.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstring>

class Md5 {
 public:
  Md5() : ctx_(EVP_MD_CTX_new()) { restart(); }
  ~Md5() { EVP_MD_CTX_free(ctx_); }
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;

  // Starts a new digest in the same context.
  void restart() { EVP_DigestInit_ex(ctx_, EVP_md5(), nullptr); }
  void add(const void* data, std::size_t length) { EVP_DigestUpdate(ctx_, data, length); }
  void add(const char* text) { add(text, std::strlen(text)); }
  void finish(unsigned char digest[16]) {
    unsigned int length = 16;
    EVP_DigestFinal_ex(ctx_, digest, &length);
  }

 private:
  EVP_MD_CTX* ctx_;
};
