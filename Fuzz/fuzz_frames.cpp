// Fuzzes the frame reader over arbitrary byte streams split into arbitrary reads: the line and
// frames come back whole, each frame even and within the limit, and every byte is accounted for.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ChunkedSource.h"
#include "HelperProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t chunk = 1 + data[0] * 37;
  std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  vorel::FrameReader reader(std::make_shared<vorel::testing::ChunkedSource>(input, chunk));
  std::string line = reader.line();
  std::size_t consumed = line.size() + (line.size() < input.size() ? 1 : 0);
  if (input.compare(0, line.size(), line) != 0) std::abort();
  for (;;) {
    auto frame = reader.next();
    if (!frame) {
      const auto& error = frame.error();
      if (error.kind == vorel::FrameError::Kind::malformedLength &&
          error.length <= vorel::FrameReader::maxFrameBytes && error.length % 2 == 0) {
        std::abort();
      }
      return 0;
    }
    if (!*frame) break;
    const std::string& payload = **frame;
    if (payload.size() % 2 != 0 || payload.size() > vorel::FrameReader::maxFrameBytes) std::abort();
    if (input.compare(consumed + 4, payload.size(), payload) != 0) std::abort();
    consumed += 4 + payload.size();
  }
  if (consumed != input.size()) std::abort();  // a clean end only at the last byte
  return 0;
}
