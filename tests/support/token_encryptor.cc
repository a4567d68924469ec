#include "support/token_encryptor.h"

#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <cstring>

#include "password/token.h"

namespace {

// DES lives in the legacy provider; the default one must stay loaded too.
// The handles are kept for the life of the process: the library's own
// clean-up at exit leaves a provider whose handle was dropped as a leak.
OSSL_PROVIDER* legacyProvider = nullptr;
OSSL_PROVIDER* defaultProvider = nullptr;

void loadProviders() {
  if (legacyProvider != nullptr) return;
  legacyProvider = OSSL_PROVIDER_load(nullptr, "legacy");
  defaultProvider = OSSL_PROVIDER_load(nullptr, "default");
}

}  // namespace

std::string encryptTokenBytes(std::string_view clear) {
  loadProviders();
  X509_ALGOR* algorithm = PKCS5_pbe_set(NID_pbeWithMD5AndDES_CBC, kTokenIterations,
                                        reinterpret_cast<const unsigned char*>(kTokenSalt), 8);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::string out;
  if (algorithm != nullptr && ctx != nullptr &&
      EVP_PBE_CipherInit(algorithm->algorithm, kTokenPassPhrase,
                         static_cast<int>(std::strlen(kTokenPassPhrase)), algorithm->parameter, ctx, 1) == 1) {
    out.resize(clear.size() + 16);
    int n = 0;
    int m = 0;
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    if (EVP_CipherUpdate(ctx, o, &n, reinterpret_cast<const unsigned char*>(clear.data()),
                         static_cast<int>(clear.size())) == 1 &&
        EVP_CipherFinal_ex(ctx, o + n, &m) == 1) {
      out.resize(static_cast<std::size_t>(n + m));
    } else {
      out.clear();
    }
  }
  EVP_CIPHER_CTX_free(ctx);
  X509_ALGOR_free(algorithm);
  return out;
}

std::string encodeBase64(std::string_view bytes, std::size_t width) {
  std::string flat(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(flat.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  flat.resize(static_cast<std::size_t>(n));
  if (width == 0) return flat;
  std::string wrapped;
  for (std::size_t i = 0; i < flat.size(); i += width) {
    if (i > 0) wrapped += '\n';
    wrapped += flat.substr(i, width);
  }
  return wrapped;
}

std::string encryptToken(std::string_view clear) {
  std::string bytes = encryptTokenBytes(clear);
  return bytes.empty() ? std::string() : encodeBase64(bytes);
}
