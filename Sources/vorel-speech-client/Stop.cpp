#include "Stop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace vorel::client {

Stop::Stop() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Stop::~Stop() {
  if (fd_ >= 0) ::close(fd_);
}

void Stop::raise() {
  raised_.store(true);
  std::uint64_t one = 1;
  if (::write(fd_, &one, sizeof one) < 0) {
    // The counter is already far from empty: it stays readable either way.
  }
}

std::expected<std::size_t, std::string> readOrStop(int fd, std::span<char> buffer, const Stop& stop,
                                                   const Stop* also) {
  for (;;) {
    if (stop.raised() || (also && also->raised())) return 0;
    pollfd ready[3] = {
        {fd, POLLIN, 0}, {stop.fd(), POLLIN, 0}, {also ? also->fd() : -1, POLLIN, 0}};
    if (::poll(ready, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(std::string(std::strerror(errno)));
    }
    if (ready[1].revents != 0 || ready[2].revents != 0) return 0;
    if (ready[0].revents & POLLNVAL) return std::unexpected(std::string(std::strerror(EBADF)));
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return std::unexpected(std::string(std::strerror(errno)));
    return static_cast<std::size_t>(n);
  }
}

}  // namespace vorel::client
