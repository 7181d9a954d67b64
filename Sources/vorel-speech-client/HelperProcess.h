// The helper as a child process on pipes, one request per child.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "ChildProcess.h"

namespace vorel::client {

class HelperProcess {
 public:
  // Starts the program at `path` in a process group of its own (Ctrl-C reaches the client,
  // which ends the audio cleanly), its standard input and output on pipes.
  static std::expected<HelperProcess, std::string> start(const std::string& path);

  pid_t pid() const { return child_.pid(); }
  // Writes every byte; false once the helper no longer reads.
  bool send(std::string_view bytes);
  void closeInput();
  // The next line the helper wrote; nothing once it has closed its output.
  std::optional<std::string> readLine();
  // Waits for the helper to exit: its exit status, or 128 + the signal that ended it. Its
  // input is closed by whoever writes it, beforehand.
  int wait();

 private:
  explicit HelperProcess(ChildProcess child) : child_(std::move(child)) {}
  ChildProcess child_;
  std::string buffer_;
};

}  // namespace vorel::client
