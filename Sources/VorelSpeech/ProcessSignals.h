// The helper's whole signal policy, in one place: what it inherits put right, the fatal
// signals that still let the client hear a last line, and the stopping signals that let an
// installation clean up before the helper ends.
#pragma once

#include <array>
#include <csignal>

namespace vorel {

// At the helper's start: a client that closes its end of the pipe ends the helper at the next
// write, and the programs the helper starts (the model checker) are reaped by the helper
// alone, whatever dispositions it inherited.
void setHelperSignals();

// Runs `handler` on a crash (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT), once: the handler is
// reset as it runs. Not under a sanitizer, whose report is the point.
void handleFatalSignals(void (*handler)(int));

// For its lifetime, SIGTERM, SIGINT and SIGHUP raise stopSignalled() where they would
// otherwise end the process at once; a second one takes the default action.
class StopOnSignals {
 public:
  StopOnSignals();
  ~StopOnSignals();
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

 private:
  static constexpr std::array<int, 3> signals_{SIGTERM, SIGINT, SIGHUP};
  std::array<struct sigaction, 3> previous_{};
};

// Whether a stopping signal came while a StopOnSignals lived.
bool stopSignalled();

}  // namespace vorel
