// A stop that blocking reads watch beside what they read: raised by Ctrl-C (from the signal
// handler) or by another thread, and never lowered. A read waiting for a source that sends
// nothing (a stalled pipe, a FIFO, a sound server that never answers) ends as soon as it is
// raised.
#pragma once

#include <atomic>
#include <cstddef>
#include <expected>
#include <span>
#include <string>

namespace vorel::client {

class Stop {
 public:
  Stop();
  ~Stop();
  Stop(const Stop&) = delete;
  Stop& operator=(const Stop&) = delete;

  // Async-signal-safe.
  void raise();
  bool raised() const { return raised_.load(); }
  // Readable once raised: for poll() beside other descriptors.
  int fd() const { return fd_; }

 private:
  int fd_;
  std::atomic<bool> raised_{false};
};

// Reads what is there, up to the buffer's size, waiting on the stop (and `also`, if given) too:
// the count of bytes, 0 at the end of the input or once stopped, or why the read failed (as
// strerror says it).
std::expected<std::size_t, std::string> readOrStop(int fd, std::span<char> buffer, const Stop& stop,
                                                   const Stop* also = nullptr);

}  // namespace vorel::client
