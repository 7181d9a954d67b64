// transcribe: one audio file, standard input or several files, as text, subtitles or JSON.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>

#include "ClientFormat.h"
#include "Commands.h"
#include "InputSpool.h"
#include "Interrupt.h"
#include "Reasons.h"
#include "Requests.h"
#include "Terminal.h"

namespace vorel::client {

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
    if (!fd) return interrupted() ? interruptedStatus() : fail(fd.error());
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
  interrupted() ? bar.clearAfterInterrupt() : bar.clear();
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
      if (result == 0) note("Wrote " + outputs[i]);
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

}  // namespace vorel::client
