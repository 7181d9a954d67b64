#include "InputSpool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "AudioInput.h"
#include "ChildProcess.h"
#include "StandardInput.h"

namespace vorel::client {
namespace {

constexpr std::uint64_t largestSpool = 4ull << 30;  // a FLAC stream is kept whole: 4 GiB at most

std::string temporaryFolder() {
  const char* folder = std::getenv("TMPDIR");
  return folder && *folder ? folder : "/tmp";
}

// A WAV header for `dataBytes` of raw live-format samples.
std::string wavHeader(std::uint64_t dataBytes) {
  auto size = static_cast<std::uint32_t>(std::min<std::uint64_t>(dataBytes, 0xffffffffu - 36));
  std::string header;
  auto put = [&](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) header += static_cast<char>((value >> (8 * i)) & 0xff);
  };
  header += "RIFF";
  put(36 + size, 4);
  header += "WAVEfmt ";
  put(16, 4);
  put(1, 2);  // PCM
  put(1, 2);  // mono
  put(liveRate, 4);
  put(liveRate * 2, 4);
  put(2, 2);
  put(16, 2);
  header += "data";
  put(size, 4);
  return header;
}

}  // namespace

std::expected<int, std::string> spoolStandardInput(const std::string& start, const Stop& stop,
                                                   int flags, bool raw) {
  std::string folder = temporaryFolder();
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | flags, 0600);
  if (fd < 0) {
    return std::unexpected("cannot keep standard input in " + folder + ": " + std::strerror(errno));
  }
  auto fail = [&](std::string why) {
    ::close(fd);
    return std::unexpected(std::move(why));
  };
  auto keep = [&](std::string_view bytes) {
    errno = ENOSPC;
    return writeAll(fd, bytes);
  };
  std::string header = raw ? wavHeader(0) : std::string();
  if (!keep(header) || !keep(start)) {
    return fail("cannot keep standard input in " + folder + ": " + std::strerror(errno));
  }
  std::uint64_t total = start.size();
  std::array<char, 65536> buffer;
  for (;;) {
    auto n = readOrStop(STDIN_FILENO, buffer, stop);
    if (!n) return fail(cannotReadStandardInput(n.error()));
    if (stop.raised()) return fail("stopped");
    if (*n == 0) break;
    total += *n;
    if (total > largestSpool) {
      return fail("standard input holds more than 4 GiB, which is no recording");
    }
    if (!keep(std::string_view(buffer.data(), *n))) {
      return fail("cannot keep standard input in " + folder + ": " + std::strerror(errno));
    }
  }
  if (raw) {
    header = wavHeader(total);
    if (::pwrite(fd, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) {
      return fail("cannot keep standard input in " + folder + ": " + std::strerror(errno));
    }
  }
  if (::lseek(fd, 0, SEEK_SET) != 0) return fail(cannotReadStandardInput(std::strerror(errno)));
  return fd;
}

std::expected<int, std::string> keepStandardInput(const Stop& stop) {
  if (::isatty(STDIN_FILENO)) {
    return std::unexpected(
        std::string("standard input is a terminal, not audio: pipe an audio file into it"));
  }
  if (standardInputWasClosed()) return std::unexpected(cannotReadStandardInput("it is closed"));
  auto head = readInputHead(stop);
  if (!head) return std::unexpected(head.error());
  return spoolStandardInput(head->start, stop, 0, head->kind == InputHead::Kind::raw);
}

}  // namespace vorel::client
