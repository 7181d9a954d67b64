#include "AudioStream.h"

#include <poll.h>

#include <chrono>
#include <span>

#include "HelperProtocol.h"

namespace vorel::client {

std::expected<void, std::string> streamAudio(HelperProcess& helper, AudioInput& input,
                                             bool realtime, const Stop& stop,
                                             std::size_t& bytesSent) {
  using Clock = std::chrono::steady_clock;
  bool paced = realtime && !input.live();
  auto started = Clock::now();
  std::size_t sent = 0;  // frames
  // Waits until a frame is due, or the stop.
  auto due = [&] {
    auto at = started + std::chrono::milliseconds(100 * sent);
    while (!stop.raised()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(at - Clock::now()).count();
      if (left <= 0) return;
      pollfd ready{stop.fd(), POLLIN, 0};
      ::poll(&ready, 1, static_cast<int>(left));
    }
  };
  auto sendFrame = [&](std::string_view payload) {
    if (paced) due();
    ++sent;
    if (stop.raised() || !helper.send(encodeFrame(payload))) return false;
    bytesSent += payload.size();
    return true;
  };
  std::string pending;
  bool alive = true;
  auto read = input.read(
      [&](std::span<const std::int16_t> samples) {
        for (auto sample : samples) {
          auto bits = static_cast<std::uint16_t>(sample);
          pending += static_cast<char>(bits & 0xff);
          pending += static_cast<char>(bits >> 8);
        }
        std::size_t at = 0;
        while (alive && pending.size() - at >= frameBytes) {
          alive = sendFrame(std::string_view(pending).substr(at, frameBytes));
          at += frameBytes;
        }
        pending.erase(0, at);
        return alive;
      },
      stop);
  if (alive && !stop.raised() && !pending.empty()) sendFrame(pending);
  helper.closeInput();
  return read;
}

}  // namespace vorel::client
