// How the client is stopped: Ctrl-C, SIGTERM and SIGHUP, and every other signal the client
// sets a policy for. The first stopping signal stops the helper (dictation instead ends its
// audio and lets the last segments arrive) and whatever the client waits for; the second ends
// the client at once.
#pragma once

#include <sys/types.h>

#include <functional>
#include <thread>

#include "Stop.h"

namespace vorel::client {

// Once, first thing: a write to a closed pipe fails rather than ending the client, and the stop
// that every wait for input watches is made.
void setUpSignals();

// From here on the stopping signals stop the command under way (no SA_RESTART: a blocked
// read returns to see them).
void handleStopSignals();

// The stopping signal's handler. Only async-signal-safe calls.
void interrupt(int signal);

// Whether a stopping signal has come.
bool interrupted();

// The exit status after a stop: 128 + the signal that stopped the client first (130 for
// Ctrl-C, 143 for SIGTERM, 129 for SIGHUP).
int interruptedStatus();

// Raised by the first stopping signal: every wait for input (standard input, a FIFO, the sound
// server) ends.
Stop& stopOfInput();

// The helper's process group while it runs, for the signal to reach it (a terminal's Ctrl-C
// does not); `stopsOnInterrupt` is false while dictating.
void helperStarted(pid_t group, bool stopsOnInterrupt);
void helperEnded();

// Whether a stopping signal has stopped the running helper.
bool stoppedByInterrupt();

// While a dictation finishes after Ctrl-C: a second one raises `again` (nullptr: no longer),
// which then keeps what has been shown rather than ending the client at once.
void finishOnSecondInterrupt(Stop* again);

// Starts `body` on a thread of its own that never sees the stopping signals: they are for the
// thread that reads the audio.
std::jthread withoutStopSignals(std::function<void()> body);

}  // namespace vorel::client
