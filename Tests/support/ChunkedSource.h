// A byte source over fixed bytes that hands out at most `chunk` bytes per read, to show that
// reading does not depend on how a pipe splits its input.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <string>

#include "HelperProtocol.h"

namespace vorel::testing {

class ChunkedSource final : public ByteSource {
 public:
  ChunkedSource(std::string bytes, std::size_t chunk) : bytes_(std::move(bytes)), chunk_(chunk) {}
  std::string read(std::size_t upTo) override {
    if (upTo == 0) std::abort();  // a read always asks for at least one byte
    std::size_t n = std::min({upTo, chunk_, bytes_.size() - at_});
    std::string out = bytes_.substr(at_, n);
    at_ += n;
    return out;
  }

 private:
  std::string bytes_;
  std::size_t chunk_;
  std::size_t at_ = 0;
};

}  // namespace vorel::testing
