#include "Sha256.h"

#include <openssl/evp.h>

namespace vorel::linuxplatform {

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  EVP_DigestInit_ex(context_, EVP_sha256(), nullptr);
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(context_);
}

void Sha256::update(std::string_view bytes) {
  EVP_DigestUpdate(context_, bytes.data(), bytes.size());
}

std::string Sha256::hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context_, digest, &length);
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += digits[digest[i] >> 4];
    text += digits[digest[i] & 15];
  }
  return text;
}

std::string sha256Hex(std::string_view bytes) {
  Sha256 hash;
  hash.update(bytes);
  return hash.hex();
}

}  // namespace vorel::linuxplatform
