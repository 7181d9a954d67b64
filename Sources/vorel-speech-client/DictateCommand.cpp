// dictate: the microphone, standard input or a file streamed to the helper as it is heard,
// the provisional text on a status line and the segments as they settle.
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "AudioInput.h"
#include "AudioStream.h"
#include "ClientFormat.h"
#include "Commands.h"
#include "Interrupt.h"
#include "Reasons.h"
#include "Requests.h"
#include "Terminal.h"

namespace vorel::client {

using Clock = std::chrono::steady_clock;

int dictate(const Options& options) {
  Stop& stop = stopOfInput();
  // What is wrong with the audio is said before the helper starts listening.
  auto input = AudioInput::open(options.arguments.empty() ? "" : options.arguments.at(0), stop);
  if (!input) return interrupted() ? interruptedStatus() : fail(input.error());
  auto chosen = chooseLocale(options);
  if (!chosen) return chosen.error();
  const std::string& locale = *chosen;
  auto helper = startHelper(options, /*stops=*/false);
  if (!helper) return fail(helper.error());
  helper->send(request("listen", locale));

  // The audio is read on this thread, the one Ctrl-C interrupts; the
  // helper's answers are read on another, which never sees the signal. Once the helper has
  // ended the dictation (or its words can no longer be shown), the audio stops too.
  std::mutex shownLock;  // guards what is shown: line, provisional, lastEndMs, finishing, kept
  StatusLine line;
  std::string provisional;  // the text heard so far that no segment has replaced yet
  std::uint64_t lastEndMs = 0;
  bool finishing = false;  // after Ctrl-C, until the last segments have come
  bool kept = false;       // the provisional text was kept as the last segment: nothing more
  std::size_t segments = 0;
  const std::string finishingText = "Finishing\u2026";
  Output out;
  std::optional<SpeechEvent> terminal;
  Stop finished;  // raised once the helper has said everything
  std::jthread reading = withoutStopSignals([&] {
    terminal = readEvents(*helper, options, out, [&](const SpeechEvent& event) {
      std::lock_guard guard(shownLock);
      if (kept) return true;
      if (auto* v = std::get_if<SpeechEvent::Volatile>(&event.value)) {
        provisional = v->text;
        line.show(finishing ? finishingText : tailToWidth(v->text, statusWidth()));
        return true;
      }
      line.clear();
      bool shown = true;
      if (auto* s = std::get_if<SpeechEvent::Segments>(&event.value)) {
        provisional.clear();
        for (const auto& segment : s->segments) {
          shown = shown && out.write(timestamped(segment) + "\n");
          lastEndMs = segment.endMs;
          ++segments;
        }
      }
      if (event.isTerminal()) {
        stop.raise();
      } else if (finishing) {
        line.show(finishingText);
      }
      return shown;
    });
    stop.raise();  // the helper has said everything, or can no longer be heard
    finished.raise();
  });
  // Ctrl-C ends the audio; the last segments are still being decoded then. They are waited
  // for, up to a bound or a second Ctrl-C, after which what was heard provisionally is kept as
  // the last segment rather than lost.
  Stop again;
  finishOnSecondInterrupt(&again);
  std::size_t sent = 0;
  auto streamed = streamAudio(*helper, **input, options.realtime, stop, sent);
  bool keptProvisional = false;
  if (interrupted()) {
    {
      std::lock_guard guard(shownLock);
      finishing = true;
      line.clearAfterInterrupt();
      line.show(finishingText);
    }
    auto until = Clock::now() + std::chrono::seconds(10);
    while (!finished.raised() && !again.raised() && Clock::now() < until) {
      pollfd waits[2] = {{finished.fd(), POLLIN, 0}, {again.fd(), POLLIN, 0}};
      auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
      ::poll(waits, 2, static_cast<int>(std::max<std::int64_t>(left, 0)));
    }
    if (!finished.raised()) {
      std::lock_guard guard(shownLock);
      line.clear();
      kept = true;
      keptProvisional = true;
      std::uint64_t heardMs = sent / (frameBytes / 100);
      if (!provisional.empty()) {
        out.write(timestamped({provisional, lastEndMs, std::max(lastEndMs, heardMs)}) + "\n");
      }
      stopHelper(*helper);
    }
  }
  finishOnSecondInterrupt(nullptr);
  reading.join();
  {
    std::lock_guard guard(shownLock);
    line.clear();
  }
  int result = keptProvisional ? (out.failed() ? fail(out.error()) : interruptedStatus())
                               : finish(*helper, options, terminal, out);
  if (keptProvisional) reap(*helper);
  if (!streamed) {
    fail(streamed.error());
    return result == 0 ? 1 : result;
  }
  // Ctrl-C ended the dictation, and everything heard has been written.
  if (interrupted() && result == 0) return interruptedStatus();
  if (result == 0 && segments == 0) {
    sayNoSpeech(options, options.arguments.empty()        ? "the microphone"
                         : options.arguments.at(0) == "-" ? "standard input"
                                                          : options.arguments.at(0));
  }
  return result;
}

}  // namespace vorel::client
