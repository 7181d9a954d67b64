#include "AudioStream.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <span>
#include <thread>

#include "AudioFiles.h"
#include "HelperProtocol.h"

namespace vorel::client {

void streamAudio(HelperProcess& helper, const std::string& source, bool realtime,
                 const std::atomic<bool>& interrupted) {
  using Clock = std::chrono::steady_clock;
  auto started = Clock::now();
  std::size_t sent = 0;
  auto sendFrame = [&](std::string_view payload) {
    if (realtime) std::this_thread::sleep_until(started + std::chrono::milliseconds(100 * sent));
    ++sent;
    return helper.send(encodeFrame(payload));
  };
  std::string pending;
  auto take = [&](const char* data, std::size_t size) {
    pending.append(data, size);
    std::size_t at = 0;
    bool alive = true;
    while (alive && pending.size() - at >= frameBytes && !interrupted) {
      alive = sendFrame(std::string_view(pending).substr(at, frameBytes));
      at += frameBytes;
    }
    pending.erase(0, at);
    return alive && !interrupted;
  };
  if (source == "-") {
    char chunk[frameBytes];
    for (;;) {
      ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR && !interrupted) continue;
      if (n <= 0 || !take(chunk, static_cast<std::size_t>(n))) break;
    }
  } else {
    auto file = linuxplatform::SoundFile::open(source);
    if (file) {
      (*file)->read(48000, [&](std::span<const std::int16_t> block) {
        return take(reinterpret_cast<const char*>(block.data()), block.size() * 2);
      });
    }
  }
  if (!interrupted && pending.size() >= 2)
    sendFrame(std::string_view(pending).substr(0, pending.size() & ~std::size_t{1}));
  helper.closeInput();
}

}  // namespace vorel::client
