// SHA-256 in lower-case hex, through OpenSSL.
#pragma once

#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace vorel::linuxplatform {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::string_view bytes);
  // The digest of everything given so far; call once.
  std::string hex();

 private:
  evp_md_ctx_st* context_;
};

std::string sha256Hex(std::string_view bytes);

}  // namespace vorel::linuxplatform
