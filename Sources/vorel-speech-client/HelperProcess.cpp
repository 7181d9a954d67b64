#include "HelperProcess.h"

#include <unistd.h>

#include <cerrno>

namespace vorel::client {

std::expected<HelperProcess, std::string> HelperProcess::start(const std::string& path) {
  ChildOptions options;
  options.ownProcessGroup = true;
  auto child = ChildProcess::start(path, options);
  if (!child)
    return std::unexpected("cannot start the speech helper " + path + ": " + child.error());
  return HelperProcess(std::move(*child));
}

bool HelperProcess::send(std::string_view bytes) {
  return child_.input() >= 0 && writeAll(child_.input(), bytes);
}

void HelperProcess::closeInput() {
  child_.closeInput();
}

std::optional<std::string> HelperProcess::readLine() {
  for (;;) {
    auto feed = buffer_.find('\n');
    if (feed != std::string::npos) {
      std::string line = buffer_.substr(0, feed);
      buffer_.erase(0, feed + 1);
      return line;
    }
    char chunk[65536];
    ssize_t n = read(child_.output(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

int HelperProcess::wait() {
  return child_.wait().status();
}

}  // namespace vorel::client
