// The helper process's top level: the output channel and the run of the one request.
#pragma once

#include <mutex>
#include <string_view>

#include "SpeechPlatform.h"

namespace vorel {

// Standard output as the helper writes it: one record and one line feed per call, whole lines
// only, from any thread.
class OutputChannel {
 public:
  explicit OutputChannel(int fd) : fd_(fd) {}
  void write(std::string_view record);

 private:
  int fd_;
  // Guards the descriptor so that lines never interleave; taken last, after any lock of the
  // caller's (a session's emitting lock).
  std::mutex writing_;
};

// Serves the request on standard input over the given platform and ends the process with its
// status.
[[noreturn]] void runHelperProcess(SpeechPlatform& platform);

}  // namespace vorel
