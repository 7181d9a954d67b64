#include "Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace vorel::client {
namespace {

// Shared with the signal handler.
std::atomic<bool> interruptedFlag{false};
std::atomic<int> stoppedBy{SIGINT};              // the first stopping signal
std::atomic<pid_t> runningHelper{0};             // its process group, while it runs
std::atomic<bool> helperStopsOnInterrupt{true};  // false while dictating
std::atomic<Stop*> inputStop{nullptr};
std::atomic<Stop*> finishingStop{nullptr};

constexpr int stoppingSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onStopSignal(int signal) {
  interrupt(signal);
}

}  // namespace

void setUpSignals() {
  ::signal(SIGPIPE, SIG_IGN);
  static Stop stop;
  inputStop = &stop;
}

void handleStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  // A terminal's hang-up and a polite kill stop a command as Ctrl-C does, so that the helper
  // cleans up after itself.
  for (int stopping : stoppingSignals) sigaction(stopping, &action, nullptr);
}

void interrupt(int signal) {
  pid_t helper = runningHelper.load();
  if (!interruptedFlag.load()) stoppedBy = signal;
  if (interruptedFlag.exchange(true)) {
    if (Stop* finishing = finishingStop.exchange(nullptr)) {
      finishing->raise();
      return;
    }
    // A second Ctrl-C: stop at once, leaving nothing running behind (files being written and
    // standard input kept for the helper are unnamed: they go with the process).
    if (helper > 0) ::kill(-helper, SIGKILL);
    _exit(interruptedStatus());
  }
  if (Stop* stop = inputStop.load()) stop->raise();
  if (helper > 0 && helperStopsOnInterrupt.load()) ::kill(-helper, SIGTERM);
}

bool interrupted() {
  return interruptedFlag.load();
}

int interruptedStatus() {
  return 128 + stoppedBy.load();
}

Stop& stopOfInput() {
  return *inputStop.load();
}

void helperStarted(pid_t group, bool stopsOnInterrupt) {
  helperStopsOnInterrupt = stopsOnInterrupt;
  runningHelper = group;
  if (interruptedFlag && stopsOnInterrupt) ::kill(-group, SIGTERM);  // it came while it started
}

void helperEnded() {
  runningHelper = 0;
}

bool stoppedByInterrupt() {
  return interruptedFlag && helperStopsOnInterrupt;
}

void finishOnSecondInterrupt(Stop* again) {
  finishingStop = again;
}

std::jthread withoutStopSignals(std::function<void()> body) {
  sigset_t stopping, previous;
  sigemptyset(&stopping);
  for (int signal : stoppingSignals) sigaddset(&stopping, signal);
  pthread_sigmask(SIG_BLOCK, &stopping, &previous);
  std::jthread thread(std::move(body));
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return thread;
}

}  // namespace vorel::client
