#include "ProcessSignals.h"

#include <atomic>

namespace vorel {
namespace {

std::atomic<bool> stopped{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onStopSignal(int) {
  stopped = true;
}

}  // namespace

void setHelperSignals() {
  std::signal(SIGPIPE, SIG_DFL);
  std::signal(SIGCHLD, SIG_DFL);
}

void handleFatalSignals(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  sigemptyset(&action.sa_mask);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  for (int fatal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(fatal, &action, nullptr);
#endif
}

StopOnSignals::StopOnSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  action.sa_flags = SA_RESETHAND;  // the second one takes the default action
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < signals_.size(); ++i) sigaction(signals_[i], &action, &previous_[i]);
}

StopOnSignals::~StopOnSignals() {
  for (std::size_t i = 0; i < signals_.size(); ++i) sigaction(signals_[i], &previous_[i], nullptr);
}

bool stopSignalled() {
  return stopped.load();
}

}  // namespace vorel
