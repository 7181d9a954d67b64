#include "Terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace vorel::client {

bool isTerminal(int fd) {
  return isatty(fd) == 1;
}

int terminalWidth() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

int statusWidth() {
  return terminalWidth() - 3;
}

StatusLine::StatusLine() : enabled_(isTerminal(STDERR_FILENO)) {}

void StatusLine::show(const std::string& text) {
  if (!enabled_ || text == shown_) return;
  std::fprintf(stderr, "\r\033[K%s", text.c_str());
  std::fflush(stderr);
  shown_ = text;
}

void StatusLine::clear() {
  if (!enabled_ || shown_.empty()) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  shown_.clear();
}

void StatusLine::clearAfterInterrupt() {
  if (!enabled_) return;
  if (!shown_.empty()) return clear();
  std::fputs("\n", stderr);
  std::fflush(stderr);
}

}  // namespace vorel::client
