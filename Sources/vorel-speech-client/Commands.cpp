#include "Commands.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <expected>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "AudioFiles.h"
#include "AudioStream.h"
#include "ClientFormat.h"
#include "ClientHelp.h"
#include "Commands.h"
#include "HelperProcess.h"
#include "HelperProtocol.h"
#include "ProgramFolder.h"
#include "SpeechWire.h"
#include "Terminal.h"

namespace vorel::client {

std::atomic<bool> interrupted{false};

namespace {

using Clock = std::chrono::steady_clock;

std::string request(const std::string& op, const std::optional<std::string>& locale = {},
                    const std::optional<std::string>& path = {}) {
  return HelperRequest{op, locale, path}.encode();
}

std::string helperPath(const Options& options) {
  if (!options.helper.empty()) return options.helper;
  return besideThisProgram("vorel-speech").string();
}

int fail(const std::string& reason) {
  std::fprintf(stderr, "vorel-speech-client: %s\n", reason.c_str());
  return 1;
}

// Runs one request whose answer is a single record; hands its line to the handler.
int ask(const Options& options, const std::string& line,
        const std::function<int(const std::string&)>& answered) {
  auto helper = HelperProcess::start(helperPath(options));
  if (!helper) return fail(helper.error());
  helper->send(line);
  helper->closeInput();
  auto answer = helper->readLine();
  int status = helper->wait();
  if (!answer)
    return fail("the speech helper gave no answer (status " + std::to_string(status) + ")");
  if (options.json) {
    std::printf("%s\n", answer->c_str());
    auto event = Wire::decode<SpeechEvent>(*answer);
    return event && event->is<SpeechEvent::Failed>() ? 1 : 0;
  }
  if (auto failure = Wire::decode<SpeechEvent>(*answer);
      failure && failure->is<SpeechEvent::Failed>()) {
    return fail(std::get<SpeechEvent::Failed>(failure->value).reason);
  }
  return answered(*answer);
}

std::string defaultLocale(const Options& options) {
  if (options.locale) return *options.locale;
  std::string locale = "en-US";
  Options quiet = options;
  quiet.json = false;
  ask(quiet, request("locales"), [&](const std::string& line) {
    if (auto list = Wire::decode<LocalesLine>(line); list && !list->locales.empty()) {
      locale = list->locales.front();
    }
    return 0;
  });
  return locale;
}

std::string describe(const std::string& locale, const AssetState& state) {
  struct Visitor {
    const std::string& locale;
    std::string operator()(const AssetState::Downloading& d) const {
      return locale + ": being installed" +
             (d.total ? " (" + std::to_string(d.done * 100 / d.total) + "%)" : std::string());
    }
    std::string operator()(const AssetState::Failed& f) const { return locale + ": " + f.reason; }
    std::string operator()(const AssetState::Installed&) const { return locale + ": installed"; }
    std::string operator()(const AssetState::Supported&) const {
      return locale + ": supported, not installed (vorel-speech-client install " + locale + ")";
    }
    std::string operator()(const AssetState::Unsupported&) const {
      return locale + ": not supported";
    }
  };
  return std::visit(Visitor{locale}, state.value);
}

int follow(HelperProcess& helper, const Options& options,
           const std::function<void(const SpeechEvent&)>& onEvent) {
  std::optional<SpeechEvent> terminal;
  while (auto line = helper.readLine()) {
    if (options.json) {
      std::printf("%s\n", line->c_str());
      std::fflush(stdout);
    }
    auto event = Wire::decode<SpeechEvent>(*line);
    if (!event) continue;
    if (event->isTerminal()) terminal = *event;
    if (!options.json) onEvent(*event);
  }
  int status = helper.wait();
  if (!terminal) {
    return fail("the speech helper ended without finishing (status " + std::to_string(status) +
                ")");
  }
  if (auto* f = std::get_if<SpeechEvent::Failed>(&terminal->value)) {
    if (!options.json) fail(f->reason);
    return 1;
  }
  if (terminal->is<SpeechEvent::Cancelled>()) {
    if (!options.json) fail("cancelled");
    return 1;
  }
  return status == 0 ? 0 : 1;
}

}  // namespace

int platform(const Options& options) {
  return ask(options, request("platform"), [](const std::string& line) {
    auto status = Wire::decode<PlatformStatus>(line);
    if (!status) return fail("the speech helper's answer was not understood: " + line);
    if (status->floorMet) {
      std::printf("Speech is available (%s).\n", status->osVersion.c_str());
      return 0;
    }
    std::printf("Speech is not available: %s is below the level speech needs.\n",
                status->osVersion.c_str());
    return 1;
  });
}

int locales(const Options& options) {
  return ask(options, request("locales"), [](const std::string& line) {
    auto list = Wire::decode<LocalesLine>(line);
    if (!list) return fail("the speech helper's answer was not understood: " + line);
    if (list->locales.empty()) {
      std::printf("No locales: speech recognition is not available.\n");
      return 1;
    }
    std::string text;
    for (const auto& l : list->locales) text += (text.empty() ? "" : ", ") + l;
    std::printf("%s\n", text.c_str());
    return 0;
  });
}

int status(const Options& options) {
  const std::string& locale = options.arguments.at(0);
  return ask(options, request("asset-state", locale), [&](const std::string& line) {
    auto state = Wire::decode<AssetState>(line);
    if (!state) return fail("the speech helper's answer was not understood: " + line);
    std::printf("%s\n", describe(locale, *state).c_str());
    return state->is<AssetState::Failed>() || state->is<AssetState::Unsupported>() ? 1 : 0;
  });
}

int install(const Options& options) {
  const std::string& locale = options.arguments.at(0);
  auto helper = HelperProcess::start(helperPath(options));
  if (!helper) return fail(helper.error());
  helper->send(request("install-assets", locale));
  helper->closeInput();
  StatusLine bar;
  auto started = Clock::now();
  std::optional<AssetState> last;
  while (auto line = helper->readLine()) {
    if (options.json) std::printf("%s\n", line->c_str());
    auto state = Wire::decode<AssetState>(*line);
    if (!state) continue;
    last = *state;
    if (auto* d = std::get_if<AssetState::Downloading>(&state->value)) {
      // A total of 1000 is a per-mille count: the size is not known yet.
      bool sized = d->total > 0 && d->total != 1000;
      double fraction = d->total ? static_cast<double>(d->done) / d->total : 0;
      std::string details;
      if (sized) {
        double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        details = bytes(d->done) + " / " + bytes(d->total);
        if (seconds > 0.2 && d->done > 0) {
          double speed = d->done / seconds;
          details += "  " + bytes(static_cast<std::uint64_t>(speed)) + "/s  " +
                     shortClock(static_cast<std::uint64_t>(
                         (d->total - std::min(d->done, d->total)) / speed * 1000)) +
                     " left";
        }
      }
      bar.show(progressLine("Installing " + locale, fraction, details, terminalWidth() - 1));
    }
  }
  bar.clear();
  int exit = helper->wait();
  if (!last) return fail("the speech helper gave no answer (status " + std::to_string(exit) + ")");
  if (options.json) return last->is<AssetState::Installed>() ? 0 : 1;
  if (last->is<AssetState::Installed>()) {
    std::printf("%s is installed.\n", locale.c_str());
    return 0;
  }
  if (auto* f = std::get_if<AssetState::Failed>(&last->value)) return fail(f->reason);
  if (last->is<AssetState::Unsupported>()) return fail(locale + " is not supported");
  return fail("the installation of " + locale + " did not finish");
}

// Reads the helper's events to the terminal one; returns the exit status.
int transcribe(const Options& options) {
  std::string path = options.arguments.at(0);
  std::string locale = defaultLocale(options);
  auto helper = HelperProcess::start(helperPath(options));
  if (!helper) return fail(helper.error());
  helper->send(request("transcribe", locale, path));
  helper->closeInput();
  StatusLine bar;
  std::vector<SpeechSegment> segments;
  bool streaming = options.format == Format::text || options.format == Format::txt;
  int result = follow(*helper, options, [&](const SpeechEvent& event) {
    if (auto* p = std::get_if<SpeechEvent::Progress>(&event.value)) {
      double fraction = p->total ? static_cast<double>(p->done) / p->total : 0;
      bar.show(progressLine("Transcribing", fraction,
                            shortClock(p->done) + " / " + shortClock(p->total),
                            terminalWidth() - 1));
    } else if (auto* s = std::get_if<SpeechEvent::Segments>(&event.value)) {
      for (const auto& segment : s->segments) {
        if (streaming) {
          bar.clear();
          std::printf("%s", render({segment}, options.format).c_str());
          std::fflush(stdout);
        }
        segments.push_back(segment);
      }
    } else {
      bar.clear();
    }
  });
  if (result == 0 && !streaming && !options.json)
    std::printf("%s", render(segments, options.format).c_str());
  return result;
}

int dictate(const Options& options) {
  std::string source = options.arguments.empty() ? "-" : options.arguments.at(0);
  if (source != "-") {
    // Say what is wrong with the file before the helper starts listening.
    auto file = linuxplatform::SoundFile::open(source);
    if (!file) return fail(file.error().description);
  }
  std::string locale = defaultLocale(options);
  auto helper = HelperProcess::start(helperPath(options));
  if (!helper) return fail(helper.error());
  helper->send(request("listen", locale));

  // Standard input (or the file) is read on this thread, the one Ctrl-C interrupts; the
  // helper's answers are read on another, which never sees the signal.
  sigset_t interrupt, previous;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  pthread_sigmask(SIG_BLOCK, &interrupt, &previous);
  StatusLine line;
  int result = 0;
  std::thread reading([&] {
    result = follow(*helper, options, [&](const SpeechEvent& event) {
      if (auto* v = std::get_if<SpeechEvent::Volatile>(&event.value)) {
        line.show(tailToWidth(v->text, terminalWidth() - 1));
      } else if (auto* s = std::get_if<SpeechEvent::Segments>(&event.value)) {
        line.clear();
        for (const auto& segment : s->segments) std::printf("%s\n", timestamped(segment).c_str());
        std::fflush(stdout);
      } else {
        line.clear();
      }
    });
  });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  streamAudio(*helper, source, options.realtime, interrupted);
  reading.join();
  return result;
}

}  // namespace vorel::client
