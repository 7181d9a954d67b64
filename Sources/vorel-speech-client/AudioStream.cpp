#include "AudioStream.h"

#include <chrono>
#include <span>
#include <thread>

#include "HelperProtocol.h"

namespace vorel::client {

std::expected<void, std::string> streamAudio(HelperProcess& helper, AudioInput& input,
                                             bool realtime, const std::atomic<bool>& interrupted) {
  using Clock = std::chrono::steady_clock;
  bool paced = realtime && !input.live();
  auto started = Clock::now();
  std::size_t sent = 0;
  auto sendFrame = [&](std::string_view payload) {
    if (paced) std::this_thread::sleep_until(started + std::chrono::milliseconds(100 * sent));
    ++sent;
    return helper.send(encodeFrame(payload));
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
        while (alive && pending.size() - at >= frameBytes && !interrupted) {
          alive = sendFrame(std::string_view(pending).substr(at, frameBytes));
          at += frameBytes;
        }
        pending.erase(0, at);
        return alive && !interrupted;
      },
      interrupted);
  if (alive && !interrupted && !pending.empty()) sendFrame(pending);
  helper.closeInput();
  return read;
}

}  // namespace vorel::client
