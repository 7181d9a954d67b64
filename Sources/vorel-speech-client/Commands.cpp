#include "Commands.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "AudioStream.h"
#include "ClientFormat.h"
#include "HelperProcess.h"
#include "HelperProtocol.h"
#include "Locales.h"
#include "ModelStore.h"
#include "Output.h"
#include "PersonalModel.h"
#include "ProgramFolder.h"
#include "SpeechWire.h"
#include "Stop.h"
#include "Terminal.h"
#include "TextFolder.h"

namespace vorel::client {

namespace {

using Clock = std::chrono::steady_clock;

// Shared with the signal handler.
std::atomic<bool> interrupted{false};
std::atomic<int> stoppedBy{SIGINT};              // the first stopping signal
std::atomic<pid_t> runningHelper{0};             // its process group, while it runs
std::atomic<bool> helperStopsOnInterrupt{true};  // false while dictating
// Raised by Ctrl-C: every wait for input (standard input, a FIFO, the sound server) ends.
std::atomic<Stop*> inputStop{nullptr};
// While a dictation finishes after Ctrl-C: raised by a second Ctrl-C, which then keeps what has
// been shown rather than ending the client at once.
std::atomic<Stop*> finishingStop{nullptr};

}  // namespace

void setUp() {
  static Stop stop;
  inputStop = &stop;
}

int interruptedStatus() {
  return 128 + stoppedBy.load();
}

void interrupt(int signal) {
  pid_t helper = runningHelper.load();
  if (!interrupted.load()) stoppedBy = signal;
  if (interrupted.exchange(true)) {
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

namespace {

// Starts the helper for one request; Ctrl-C stops it when `stops` (it has a process group of
// its own, which a terminal's Ctrl-C does not reach).
std::expected<HelperProcess, std::string> startHelper(const Options& options, bool stops = true) {
  helperStopsOnInterrupt = stops;
  auto helper = HelperProcess::start(
      options.helper.empty() ? partOfThisProgram("vorel-speech", VOREL_PARTS_FROM_BINDIR).string()
                             : options.helper);
  if (!helper) return helper;
  runningHelper = helper->pid();
  if (interrupted && stops) ::kill(-helper->pid(), SIGTERM);  // Ctrl-C came while it started
  return helper;
}

// Waits for the helper to exit; its status.
int reap(HelperProcess& helper) {
  runningHelper = 0;
  return helper.wait();
}

bool stoppedByInterrupt() {
  return interrupted && helperStopsOnInterrupt;
}

std::string request(const std::string& op, const std::optional<std::string>& locale = {},
                    const std::optional<std::string>& path = {}) {
  return HelperRequest{op, locale, path}.encode();
}

// A reason on one line, whatever it holds (a path may hold a line feed).
std::string oneLine(const std::string& text) {
  std::string line;
  for (unsigned char ch : text) {
    if (ch == '\n') {
      line += "\\n";
    } else if (ch < 0x20 || ch == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", ch);
      line += escaped;
    } else {
      line += static_cast<char>(ch);
    }
  }
  return line;
}

// A count as people read it: "1 word", "12,345 words".
std::string counted(std::size_t n, const char* one, const char* many) {
  std::string digits = std::to_string(n);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits + " " + (n == 1 ? one : many);
}

int fail(const std::string& reason) {
  std::fprintf(stderr, "vorel-speech-client: %s\n", oneLine(reason).c_str());
  return 1;
}

Stop& stopOfInput() {
  return *inputStop.load();
}

// The helper's reason with a path the client made up (standard input kept, or a file opened,
// as /dev/fd/N) named as the user knows it.
std::string named(std::string reason, const std::string& path, const std::string& shown) {
  if (path == shown) return reason;
  std::string audio =
      shown == "standard input" ? "the audio on " + shown : "the audio file " + shown;
  for (auto [from, to] : {std::pair{"the audio file " + path, audio}, std::pair{path, shown}}) {
    for (auto at = reason.find(from); at != std::string::npos; at = reason.find(from, at)) {
      reason.replace(at, from.size(), to);
      at += to.size();
    }
  }
  return reason;
}

// The helper's reason, with what to do about it where the client knows.
std::string withFix(const std::string& reason, const Options& options) {
  bool dictatingAFile = options.command == "dictate" && !options.arguments.empty() &&
                        options.arguments.front() != "-";
  if (dictatingAFile && !options.realtime &&
      reason.find("fell a minute behind") != std::string::npos) {
    return reason +
           " (the file was sent faster than it is spoken: --realtime sends it at the pace of "
           "speech, and transcribe reads a whole file at its own pace)";
  }
  const std::string missing = "has no model installed for ";
  if (auto at = reason.find(missing); at != std::string::npos) {
    return reason + " (vorel-speech-client install " + reason.substr(at + missing.size()) + ")";
  }
  if (reason.find("does not offer ") != std::string::npos) {
    return reason + " (vorel-speech-client locales lists those offered)";
  }
  return reason;
}

// Runs one request whose answer is a single record; hands its line to the handler, which shows
// it unless --json (the line is printed as it came) and gives the exit status either way.
int ask(const Options& options, const std::string& line,
        const std::function<int(const std::string&)>& answered) {
  auto helper = startHelper(options);
  if (!helper) return fail(helper.error());
  helper->send(line);
  helper->closeInput();
  auto answer = helper->readLine();
  int status = reap(*helper);
  if (stoppedByInterrupt()) return interruptedStatus();
  if (!answer)
    return fail("the speech helper gave no answer (status " + std::to_string(status) + ")");
  if (options.json) std::printf("%s\n", answer->c_str());
  if (auto failure = Wire::decode<SpeechEvent>(*answer);
      failure && failure->is<SpeechEvent::Failed>()) {
    return options.json ? 1 : fail(std::get<SpeechEvent::Failed>(failure->value).reason);
  }
  return answered(*answer);
}

// The locales the helper offers, the user's first; empty when it gave no answer.
std::vector<std::string> offeredLocales(const Options& options) {
  std::vector<std::string> offered;
  Options quiet = options;
  quiet.json = false;
  ask(quiet, request("locales"), [&](const std::string& line) {
    if (auto list = Wire::decode<LocalesLine>(line)) offered = list->locales;
    return 0;
  });
  return offered;
}

// Whether a locale's model is installed: the helper's own store, looked at here, so that
// marking a long list costs no helper per locale.
// The user's model store, as the helper finds it.
const linuxplatform::ModelStore& modelStore() {
  static const linuxplatform::ModelStore store(linuxplatform::ModelStore::defaultLocations());
  return store;
}

bool installed(const std::string& locale) {
  return modelStore().installedModel(locale).has_value();
}

// Catalogs the helper skips, said on standard error: otherwise a typo in one only shows as a
// locale missing from the list.
void reportCatalogProblems() {
  for (const auto& problem : modelStore().catalogProblems()) {
    std::fprintf(stderr, "vorel-speech-client: the catalog %s; it is skipped\n", problem.c_str());
  }
}

// The locale to recognise: the one asked for; else the user's when its model is installed;
// else the first installed one, saying so.
std::expected<std::string, int> chooseLocale(const Options& options) {
  if (options.locale) return *options.locale;
  auto offered = offeredLocales(options);
  std::string user =
      linuxplatform::canonicalLocale(linuxplatform::currentLocaleFromEnvironment()).value_or("");
  bool userOffered = std::find(offered.begin(), offered.end(), user) != offered.end();
  if (userOffered && installed(user)) return user;
  for (const auto& locale : offered) {
    if (locale == user || !installed(locale)) continue;
    if (!user.empty()) {
      std::string why = userOffered
                            ? user + " is not installed (vorel-speech-client install " + user + ")"
                            : user + " is not offered";
      std::fprintf(stderr, "vorel-speech-client: using %s: %s\n", locale.c_str(), why.c_str());
    }
    return locale;
  }
  if (interrupted) return std::unexpected(interruptedStatus());
  std::string suggestion = userOffered ? user : offered.empty() ? "en-US" : offered.front();
  return std::unexpected(
      fail("no speech model is installed (vorel-speech-client install " + suggestion + ")"));
}

// Why a locale is not supported: models come from a catalog.
const std::string noModelOffered = "no model for it is installed and no catalog offers one";

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
      return locale + ": not supported (" + noModelOffered +
             "; see vorel-speech-client help install)";
    }
  };
  return std::visit(Visitor{locale}, state.value);
}

// Stops the helper of a request whose output can no longer be written: its results would be
// lost.
void stopHelper(HelperProcess& helper) {
  ::kill(-helper.pid(), SIGTERM);
}

// Reads the helper's events to the end of its output; the terminal one, if it came. Touches only
// the helper's output: it may run beside a thread writing the helper's input. The handler
// returns false when the events can no longer be shown (a write failed): the helper is stopped.
std::optional<SpeechEvent> readEvents(HelperProcess& helper, const Options& options, Output& out,
                                      const std::function<bool(const SpeechEvent&)>& onEvent) {
  std::optional<SpeechEvent> terminal;
  bool showing = true;
  while (auto line = helper.readLine()) {
    if (!showing) continue;
    if (options.json) showing = out.write(*line + "\n");
    auto event = Wire::decode<SpeechEvent>(*line);
    if (event && event->isTerminal()) terminal = *event;
    if (showing && event && !options.json) showing = onEvent(*event);
    if (!showing) stopHelper(helper);
  }
  return terminal;
}

// Waits for the helper once it has said everything; the exit status of the request.
int finish(HelperProcess& helper, const Options& options,
           const std::optional<SpeechEvent>& terminal, const Output& out,
           const std::string& path = {}, const std::string& shown = {}) {
  int status = reap(helper);
  if (out.failed()) return fail(out.error());
  if (stoppedByInterrupt()) return interruptedStatus();
  if (!terminal) {
    return fail("the speech helper ended without finishing (status " + std::to_string(status) +
                ")");
  }
  if (auto* f = std::get_if<SpeechEvent::Failed>(&terminal->value)) {
    if (!options.json) fail(withFix(named(f->reason, path, shown), options));
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
  return ask(options, request("platform"), [&](const std::string& line) {
    auto status = Wire::decode<PlatformStatus>(line);
    if (!status) return fail("the speech helper's answer was not understood: " + line);
    // The helper names the level of its speech services in the form of an operating system
    // version, which is what the journaling application compares with its floor.
    std::string level = status->osVersion;
    if (level.starts_with("macOS ")) level = level.substr(6);
    if (status->floorMet) {
      if (!options.json)
        std::printf("Speech is available (speech services level %s).\n", level.c_str());
      return 0;
    }
    if (options.json) return 1;
    std::printf(
        "Speech is not available: the speech services level %s is below the level "
        "speech needs.\n",
        level.c_str());
    return 1;
  });
}

int locales(const Options& options) {
  reportCatalogProblems();
  return ask(options, request("locales"), [&](const std::string& line) {
    auto list = Wire::decode<LocalesLine>(line);
    if (!list) return fail("the speech helper's answer was not understood: " + line);
    if (list->locales.empty()) {
      if (!options.json) std::printf("No locales: speech recognition is not available.\n");
      return 1;
    }
    if (options.json) return 0;
    std::string text;
    for (const auto& l : list->locales) {
      text += (text.empty() ? "" : ", ") + l + (installed(l) ? " (installed)" : "");
    }
    std::printf("%s\n", text.c_str());
    return 0;
  });
}

int status(const Options& options) {
  reportCatalogProblems();
  const std::string& locale = options.arguments.at(0);
  return ask(options, request("asset-state", locale), [&](const std::string& line) {
    auto state = Wire::decode<AssetState>(line);
    if (!state) return fail("the speech helper's answer was not understood: " + line);
    int result = state->is<AssetState::Failed>() || state->is<AssetState::Unsupported>() ? 1 : 0;
    if (options.json) return result;
    std::printf("%s\n", describe(locale, *state).c_str());
    const auto& store = modelStore();
    auto named = linuxplatform::equivalentLocale(locale, store.offeredLocales()).value_or(locale);
    auto general = store.installedModel(named);
    if (!general) return result;
    // What is learnt, without learning anything.
    auto personal = linuxplatform::withPersonalWords(
        store, named, *general, {linuxplatform::LearnOptions::Building::never});
    const auto& text = personal.text;
    if (text.words() == 0) return result;
    std::string words = counted(text.words(), "word", "words") + " of your writing";
    std::string files = counted(text.files.size(), "file", "files");
    if (personal.current) {
      std::printf("%s: %s learnt, from %s\n", locale.c_str(), words.c_str(), files.c_str());
    } else if (personal.building) {
      std::printf("%s: %s being learnt, from %s\n", locale.c_str(), words.c_str(), files.c_str());
    } else {
      std::printf("%s: %s not learnt: %s\n", locale.c_str(), words.c_str(),
                  personal.problem.c_str());
    }
    return result;
  });
}

int install(const Options& options) {
  const std::string& locale = options.arguments.at(0);
  auto helper = startHelper(options);
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
      bar.show(progressLine("Installing " + locale, fraction, details, statusWidth()));
    }
  }
  interrupted ? bar.clearAfterInterrupt() : bar.clear();
  int exit = reap(*helper);
  if (stoppedByInterrupt()) {
    fail("stopped: " + locale + " is not installed");
    return interruptedStatus();
  }
  if (!last) return fail("the speech helper gave no answer (status " + std::to_string(exit) + ")");
  if (options.json) return last->is<AssetState::Installed>() ? 0 : 1;
  if (last->is<AssetState::Installed>()) {
    std::printf("%s is installed.\n", locale.c_str());
    return 0;
  }
  if (auto* f = std::get_if<AssetState::Failed>(&last->value)) return fail(f->reason);
  if (last->is<AssetState::Unsupported>()) {
    return fail(locale + " is not supported: " + noModelOffered +
                " (a catalog, $XDG_DATA_HOME/vorel-speech/catalog.json, says where a model can be "
                "downloaded; see vorel-speech-client help install)");
  }
  return fail("the installation of " + locale + " did not finish");
}

namespace {

// Whether a path can be said in a request line, which is JSON text: UTF-8 only.
bool sayable(const std::string& path) {
  try {
    (void)nlohmann::json(path).dump();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

// A run that heard nothing says so, beside its empty transcript (a success all the same).
void sayNoSpeech(const Options& options, const std::string& shown) {
  if (!options.json) {
    std::fprintf(stderr, "vorel-speech-client: no speech was heard in %s\n",
                 oneLine(shown).c_str());
  }
}

// Standard input kept whole in an unnamed file, or a file whose name cannot be said, open for
// the helper to read as /dev/fd/N.
class KeptInput {
 public:
  explicit KeptInput(int fd) : fd_(fd) {}
  KeptInput(const KeptInput&) = delete;
  KeptInput& operator=(const KeptInput&) = delete;
  ~KeptInput() { ::close(fd_); }
  std::string path() const { return "/dev/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

// Transcribes one file (or standard input, "-") into `out`; the request's exit status.
int transcribeInto(const Options& options, const std::string& given, Output& out) {
  std::string path = given;
  std::string shown = given == "-" ? "standard input" : given;
  std::optional<KeptInput> kept;
  if (given == "-") {
    auto fd = keepStandardInput(stopOfInput());
    if (!fd) return interrupted ? interruptedStatus() : fail(fd.error());
    kept.emplace(*fd);
    path = kept->path();
  } else if (!sayable(given)) {
    // Opened here without following the wait of a FIFO; the helper reads what is open.
    int fd = ::open(given.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
      return fail("the audio file " + oneLine(given) + " cannot be read (" + std::strerror(errno) +
                  ")");
    }
    kept.emplace(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
      return fail("the audio file " + oneLine(given) + " is not a regular file");
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    path = kept->path();
  }
  auto chosen = chooseLocale(options);
  if (!chosen) return chosen.error();
  const std::string& locale = *chosen;
  auto helper = startHelper(options);
  if (!helper) return fail(helper.error());
  helper->send(request("transcribe", locale, path));
  helper->closeInput();
  // The document is written as the segments arrive, so that whatever ends the transcription
  // leaves a whole document of what was done.
  Document document(options.format, options.layout);
  std::size_t segments = 0;
  if (!options.json) out.write(document.open());
  StatusLine bar;
  // The bar names the file (its last 30 columns), so that several files can be told apart.
  const std::string label =
      "Transcribing " +
      (given == "-" ? shown
                    : tailToWidth(oneLine(std::filesystem::path(given).filename().string()), 30));
  auto terminal = readEvents(*helper, options, out, [&](const SpeechEvent& event) {
    if (auto* p = std::get_if<SpeechEvent::Progress>(&event.value)) {
      double fraction = p->total ? static_cast<double>(p->done) / p->total : 0;
      bar.show(progressLine(label, fraction, shortClock(p->done) + " / " + shortClock(p->total),
                            statusWidth()));
      return true;
    }
    bar.clear();
    if (auto* s = std::get_if<SpeechEvent::Segments>(&event.value)) {
      for (const auto& segment : s->segments) {
        ++segments;
        if (!out.write(document.add(segment))) return false;
      }
    }
    return true;
  });
  interrupted ? bar.clearAfterInterrupt() : bar.clear();
  if (!options.json) out.write(document.close());
  int result = finish(*helper, options, terminal, out, path, shown);
  // A file is put in place when there is something to keep: the whole transcript, or what was
  // transcribed before Ctrl-C or a failure. Otherwise the file that was there stays as it was.
  if (out.failed()) return result;  // said by finish()
  if ((result == 0 || segments > 0) && !out.commit()) return fail(out.error());
  if (result == interruptedStatus()) fail("stopped; what was transcribed so far is kept");
  if (result == 0 && segments == 0) sayNoSpeech(options, shown);
  return result;
}

}  // namespace

int transcribe(const Options& options) {
  const std::string& path = options.arguments.at(0);
  if (!options.toFile()) {
    Output out;
    return transcribeInto(options, path, out);
  }
  auto out = Output::file(options.outputFile, {path});
  if (!out) return fail(out.error());
  return transcribeInto(options, path, *out);
}

int transcribeEach(const Options& options) {
  bool beside = !options.json && options.format != Format::text && options.format != Format::txt;
  const char* extension = options.format == Format::srt   ? ".srt"
                          : options.format == Format::vtt ? ".vtt"
                                                          : ".json";
  const auto& inputs = options.arguments;
  // Every output is checked before any is written: none may be an input, and no two the same.
  std::vector<std::string> outputs;
  if (beside) {
    for (const auto& path : inputs) {
      if (path == "-") return fail("standard input can be transcribed only on its own");
      outputs.push_back(std::filesystem::path(path).replace_extension(extension).string());
    }
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      for (const auto& input : inputs) {
        if (outputs[i] == input || sameFile(outputs[i], input)) {
          return fail("cannot write " + outputs[i] + ": it is one of the recordings");
        }
      }
      for (std::size_t j = 0; j < i; ++j) {
        auto a = std::filesystem::path(outputs[i]).lexically_normal();
        auto b = std::filesystem::path(outputs[j]).lexically_normal();
        if (a == b || sameFile(outputs[i], outputs[j])) {
          return fail(inputs[j] + " and " + inputs[i] + " would both be written to " + outputs[i] +
                      ": transcribe them one at a time with -o");
        }
      }
    }
  }
  int worst = 0;
  Output standardOutput;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const std::string& path = inputs[i];
    int result;
    if (beside) {
      auto out = Output::file(outputs[i], inputs);
      result = out ? transcribeInto(options, path, *out) : fail(out.error());
      if (result == 0) std::fprintf(stderr, "Wrote %s\n", outputs[i].c_str());
    } else {
      if (!options.json &&
          !standardOutput.write((i ? "\n==> " : "==> ") + oneLine(path) + " <==\n")) {
        return fail(standardOutput.error());
      }
      result = transcribeInto(options, path, standardOutput);
      if (standardOutput.failed()) return result;
    }
    if (result == interruptedStatus()) return result;
    worst = std::max(worst, result);
  }
  return worst;
}

int dictate(const Options& options) {
  Stop& stop = stopOfInput();
  // What is wrong with the audio is said before the helper starts listening.
  auto input = AudioInput::open(options.arguments.empty() ? "" : options.arguments.at(0), stop);
  if (!input) return interrupted ? interruptedStatus() : fail(input.error());
  auto chosen = chooseLocale(options);
  if (!chosen) return chosen.error();
  const std::string& locale = *chosen;
  auto helper = startHelper(options, /*stops=*/false);
  if (!helper) return fail(helper.error());
  helper->send(request("listen", locale));

  // The audio is read on this thread, the one Ctrl-C interrupts; the
  // helper's answers are read on another, which never sees the signal. Once the helper has
  // ended the dictation (or its words can no longer be shown), the audio stops too.
  sigset_t interrupt, previous;
  sigemptyset(&interrupt);
  for (int stopping : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&interrupt, stopping);
  pthread_sigmask(SIG_BLOCK, &interrupt, &previous);
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
  std::thread reading([&] {
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
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  // Ctrl-C ends the audio; the last segments are still being decoded then. They are waited
  // for, up to a bound or a second Ctrl-C, after which what was heard provisionally is kept as
  // the last segment rather than lost.
  Stop again;
  finishingStop = &again;
  std::size_t sent = 0;
  auto streamed = streamAudio(*helper, **input, options.realtime, stop, sent);
  bool keptProvisional = false;
  if (interrupted) {
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
  finishingStop = nullptr;
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
  if (interrupted && result == 0) return interruptedStatus();
  if (result == 0 && segments == 0) {
    sayNoSpeech(options, options.arguments.empty()        ? "the microphone"
                         : options.arguments.at(0) == "-" ? "standard input"
                                                          : options.arguments.at(0));
  }
  return result;
}

}  // namespace vorel::client

namespace vorel::client {
namespace {

namespace fs = std::filesystem;

// The locale the writer's text is for, as the helper names it; or the exit status.
std::expected<std::string, int> textLocale(const Options& options) {
  if (!options.locale) return chooseLocale(options);
  auto offered = modelStore().offeredLocales();
  if (auto equivalent = linuxplatform::equivalentLocale(*options.locale, offered)) {
    return *equivalent;
  }
  if (auto canonical = linuxplatform::canonicalLocale(*options.locale)) return *canonical;
  return std::unexpected(fail(*options.locale + " is not a locale"));
}

// A file's text (or standard input's, for "-"), at most the 20 MB learnt; or why not.
std::expected<std::string, std::string> readText(const std::string& path) {
  std::string shown = path == "-" ? "standard input" : path;
  if (path == "-" && standardInputWasClosed()) return std::unexpected(shown + " is closed");
  if (path == "-" && ::isatty(STDIN_FILENO)) {
    return std::unexpected(std::string("standard input is a terminal: pipe text into it"));
  }
  int fd = path == "-" ? ::dup(STDIN_FILENO) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected("cannot read " + shown + ": " + std::strerror(errno));
  std::string text;
  std::array<char, 65536> buffer;
  std::string problem;
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR && !interrupted) continue;
    if (n < 0) {
      problem = interrupted ? "stopped" : "cannot read " + shown + ": " + std::strerror(errno);
      break;
    }
    if (n == 0) break;
    text.append(buffer.data(), static_cast<std::size_t>(n));
    if (text.size() > linuxplatform::largestText) {
      problem = shown + " holds more than the 20 MB of text that is learnt";
      break;
    }
  }
  ::close(fd);
  if (!problem.empty()) return std::unexpected(problem);
  if (!linuxplatform::isText(text)) return std::unexpected(shown + " is not UTF-8 text");
  return text;
}

// The name a text is kept under: its file's name, or for standard input one of its moment.
std::string keptName(const std::string& path) {
  if (path != "-") return linuxplatform::textNameFor(path);
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H%M%S", std::localtime(&now));
  return std::string("standard-input-") + stamp + ".txt";
}

// What keeping a text did, for people.
std::string keptLine(const std::string& path, const linuxplatform::TextFolder::KeptText& kept,
                     const std::string& wanted, std::size_t words) {
  using Kept = linuxplatform::TextFolder::Kept;
  std::string shown = path == "-" ? "standard input" : path;
  std::string count = counted(words, "word", "words");
  switch (kept.how) {
    case Kept::unchanged:
      return shown + " is kept already as " + kept.name + ": " + count;
    case Kept::replaced:
      return "Kept " + kept.name + ": " + count + " (it holds the whole of the " + kept.name +
             " kept before, which it replaces)";
    case Kept::added:
      break;
  }
  if (kept.name == wanted) return "Kept " + kept.name + ": " + count;
  return "Kept " + shown + " as " + kept.name + ": " + count + " (another text is kept as " +
         wanted + ")";
}

// Builds what is learnt for the locale, when its model is installed, and says so.
int showLearnt(const std::string& locale, bool listing) {
  const auto& store = modelStore();
  auto general = store.installedModel(locale);
  linuxplatform::PersonalModel personal;
  if (general) {
    // Built here, while the writer waits; Ctrl-C stops the build and leaves nothing behind.
    personal =
        linuxplatform::withPersonalWords(store, locale, *general, {.stop = stopOfInput().fd()});
    if (interrupted) {
      fail("stopped; your text is kept, and learnt when next used");
      return interruptedStatus();
    }
  } else {
    personal.text = linuxplatform::readPersonalText(store.personalTextFolder(locale));
  }
  for (const auto& skipped : personal.text.skipped) {
    std::fprintf(stderr, "vorel-speech-client: skipped %s\n", skipped.c_str());
  }
  const auto& text = personal.text;
  if (text.files.empty()) {
    std::printf("Nothing is learnt for %s.\n", locale.c_str());
    return 0;
  }
  std::string line = locale + ": " + counted(text.words(), "word", "words") + " of your writing";
  if (personal.learnt) {
    line += ", " + counted(personal.newWords.size(), "word", "words") + " new to the recogniser";
  }
  std::printf("%s\n", line.c_str());
  if (listing) {
    for (const auto& file : text.files) {
      std::printf("  %-40s %s\n", file.name.c_str(), counted(file.words, "word", "words").c_str());
    }
    if (!personal.newWords.empty()) {
      std::string words;
      for (const auto& word : personal.newWords) words += (words.empty() ? "" : ", ") + word;
      std::printf("new words: %s\n", words.c_str());
    }
  }
  if (!general) {
    std::fprintf(stderr,
                 "vorel-speech-client: %s has no model installed: your text is learnt once it "
                 "is (vorel-speech-client install %s)\n",
                 locale.c_str(), locale.c_str());
    return 0;
  }
  if (!personal.learnt && !personal.problem.empty()) {
    return fail("your text is kept, but " + personal.problem);
  }
  return 0;
}

}  // namespace

int learn(const Options& options) {
  auto chosen = textLocale(options);
  if (!chosen) return chosen.error();
  const std::string& locale = *chosen;
  fs::path folder = modelStore().personalTextFolder(locale);
  if (folder.empty()) return fail("there is no home folder to keep your text in");
  // Every text is read before any is kept.
  std::vector<std::pair<std::string, std::string>> texts;  // path, text
  for (const auto& path : options.arguments) {
    auto text = readText(path);
    if (!text) return interrupted ? interruptedStatus() : fail(text.error());
    texts.emplace_back(path, std::move(*text));
  }
  auto opened = linuxplatform::TextFolder::open(folder, true);
  if (!opened) return fail(opened.error());
  for (const auto& [path, text] : texts) {
    std::string name = keptName(path);
    auto kept = opened->keep(name, text);
    if (!kept) return fail(kept.error());
    std::size_t words = 0;
    for (const auto& sentence : linuxplatform::sentencesOf(text)) words += sentence.size();
    std::fprintf(stderr, "%s\n", oneLine(keptLine(path, *kept, name, words)).c_str());
  }
  return showLearnt(locale, false);
}

int learnt(const Options& options) {
  auto chosen = textLocale(options);
  if (!chosen) return chosen.error();
  return showLearnt(*chosen, true);
}

int forget(const Options& options) {
  auto chosen = textLocale(options);
  if (!chosen) return chosen.error();
  const std::string& locale = *chosen;
  const auto& store = modelStore();
  fs::path folder = store.personalTextFolder(locale);
  auto text = linuxplatform::readPersonalText(folder);
  std::vector<std::string> names;
  if (options.arguments.empty()) {
    for (const auto& file : text.files) names.push_back(file.name);
  } else {
    for (const auto& name : options.arguments) {
      bool known = std::any_of(text.files.begin(), text.files.end(),
                               [&](const auto& file) { return file.name == name; });
      if (!known) return fail(name + " is not learnt for " + locale + " (see learn --list)");
      if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
  }
  if (names.empty()) {
    std::printf("Nothing is learnt for %s.\n", locale.c_str());
    return 0;
  }
  auto opened = linuxplatform::TextFolder::open(folder, false);
  if (!opened) return fail(opened.error());
  for (const auto& name : names) {
    if (auto removed = opened->remove(name); !removed) return fail(removed.error());
  }
  // What was built from the text goes too; what remains is learnt again when next used.
  std::error_code error;
  fs::remove_all(store.personalModelFolder(locale), error);
  std::printf("Forgot %s for %s.\n", counted(names.size(), "file", "files").c_str(),
              locale.c_str());
  return 0;
}

}  // namespace vorel::client
