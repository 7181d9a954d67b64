// vorel-speech-client: the helper's protocol for people and scripts. Each command starts
// vorel-speech as a child, exactly as the journaling application does, and shows what it says.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <string>
#include <utility>
#include <vector>

#include "AudioInput.h"
#include "ClientHelp.h"
#include "Commands.h"
#include "Output.h"

namespace {

using namespace vorel;
using namespace vorel::client;

void onInterrupt(int) {
  interrupt();
}

// Each option, whether it takes a value, and the commands it applies to ("" for any).
struct OptionRule {
  const char* name;
  bool takesValue;
  std::vector<std::string> commands;
};

const std::vector<OptionRule> optionRules = {
    {"--helper", true, {""}},
    {"--json", false, {""}},
    {"--locale", true, {"transcribe", "dictate", "learn", "forget"}},
    {"--list", false, {"learn"}},
    {"--format", true, {"transcribe"}},
    {"--max-line-width", true, {"transcribe"}},
    {"--max-duration", true, {"transcribe"}},
    {"--output", true, {"transcribe"}},
    {"--realtime", false, {"dictate"}},
};

std::string lowercase(std::string text) {
  for (auto& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return text;
}

// A whole positive number no larger than `most`, or nothing.
std::optional<double> positiveNumber(const std::string& text, double most) {
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !(value > 0) || value > most) {
    return std::nullopt;
  }
  return value;
}

std::expected<Options, int> parse(int argc, char** argv) {
  Options options;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::vector<std::pair<std::string, std::string>> given;  // options and their values
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    if (a == "-o") a = "--output";
    if (a == "--help" || a == "-h") {
      options.help = true;
    } else if (a == "--version") {
      options.version = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      auto rule = std::find_if(optionRules.begin(), optionRules.end(),
                               [&](const OptionRule& r) { return a == r.name; });
      if (rule == optionRules.end()) {
        return std::unexpected(usage(options.command, "unknown option " + a));
      }
      std::string value;
      if (rule->takesValue) {
        if (i + 1 >= args.size())
          return std::unexpected(usage(options.command, a + " needs a value"));
        value = args[++i];
      }
      given.emplace_back(a, value);
    } else if (options.command.empty()) {
      if (!helpTexts.count(a)) return std::unexpected(usage("", "unknown command " + a));
      options.command = a;
    } else {
      options.arguments.push_back(a);
    }
  }
  if (options.help || options.version) return options;
  bool layoutGiven = false;
  for (const auto& [name, value] : given) {
    const auto& rule = *std::find_if(optionRules.begin(), optionRules.end(),
                                     [&](const OptionRule& r) { return name == r.name; });
    bool applies = std::any_of(rule.commands.begin(), rule.commands.end(),
                               [&](const auto& c) { return c.empty() || c == options.command; });
    if (!applies) {
      return std::unexpected(
          usage(options.command, name + " does not apply to " +
                                     (options.command.empty() ? "no command" : options.command)));
    }
    if (name == "--helper") {
      options.helper = value;
    } else if (name == "--json") {
      options.json = true;
    } else if (name == "--locale") {
      options.locale = value;
    } else if (name == "--format") {
      auto format = formatNamed(lowercase(value));
      if (!format) return std::unexpected(usage(options.command, "unknown format " + value));
      options.format = *format;
    } else if (name == "--max-line-width") {
      auto width = positiveNumber(value, 1000);
      if (!width || *width != static_cast<int>(*width)) {
        return std::unexpected(
            usage(options.command, "--max-line-width takes a whole number of characters"));
      }
      options.layout.maxLineWidth = static_cast<int>(*width);
      layoutGiven = true;
    } else if (name == "--max-duration") {
      auto seconds = positiveNumber(value, 3600);
      if (!seconds || *seconds < 0.5) {
        return std::unexpected(
            usage(options.command, "--max-duration takes seconds, at least 0.5"));
      }
      options.layout.maxDurationMs = static_cast<std::uint64_t>(*seconds * 1000);
      layoutGiven = true;
    } else if (name == "--output") {
      options.outputFile = value;
    } else if (name == "--realtime") {
      options.realtime = true;
    } else if (name == "--list") {
      options.list = true;
    }
  }
  if (layoutGiven && options.format != Format::srt && options.format != Format::vtt) {
    return std::unexpected(usage(options.command, "cue layout options apply to srt and vtt"));
  }
  if (options.json && (layoutGiven || !options.outputFile.empty())) {
    return std::unexpected(usage(options.command, "--json prints the helper's lines unchanged"));
  }
  return options;
}

// A standard stream closed by whoever started the client gets /dev/null, so that no file the
// client opens takes its number and receives what was meant for it; whether each was closed.
std::vector<bool> guardStandardStreams() {
  std::vector<bool> closed;
  for (int fd = 0; fd < 3; ++fd) {
    bool isClosed = ::fcntl(fd, F_GETFD) < 0 && errno == EBADF;
    closed.push_back(isClosed);
    if (isClosed) {
      int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (opened >= 0 && opened != fd) {
        ::dup2(opened, fd);
        ::close(opened);
      }
    }
  }
  return closed;
}

// What the command printed reaches standard output, or the run fails (said once: a failure
// the command met writing has been said already).
int flushed(int status) {
  errno = 0;
  int error = std::fflush(stdout) != 0 ? errno : 0;
  if (error == 0 && std::ferror(stdout)) error = EIO;
  if (error == 0 && !standardOutputFailed()) return status;
  if (!standardOutputFailed()) {
    std::fprintf(stderr, "vorel-speech-client: cannot write standard output: %s\n",
                 std::strerror(error));
  }
  return status == 0 || status == interruptedStatus ? 1 : status;
}

int run(const Options& options);

}  // namespace

int main(int argc, char** argv) {
  auto closed = guardStandardStreams();
  signal(SIGPIPE, SIG_IGN);
  if (closed[0]) noteStandardInputClosed();
  setUp();
  auto options = parse(argc, argv);
  if (!options) return options.error();
  if (closed[1] && options->outputFile.empty() && !options->help) {
    std::fprintf(stderr, "vorel-speech-client: cannot write standard output: it is closed\n");
    return 1;
  }
  return flushed(run(*options));
}

namespace {

int run(const Options& given) {
  const Options* options = &given;
  if (options->help) {
    std::printf("%s", helpTexts.at(options->command).c_str());
    return 0;
  }
  if (options->version) {
    std::printf("vorel-speech-client %s\n", VOREL_VERSION);
    return 0;
  }
  const std::string& command = options->command;
  std::size_t count = options->arguments.size();
  if (command.empty()) return usage("", "no command given");
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigaction(SIGINT, &action, nullptr);  // no SA_RESTART: a blocked read returns to see it
  if (command == "platform" && count == 0) return platform(*options);
  if (command == "locales" && count == 0) return locales(*options);
  if (command == "status" && count == 1) return status(*options);
  if (command == "install" && count == 1) return install(*options);
  if (command == "transcribe" && count == 1) return transcribe(*options);
  if (command == "transcribe" && count > 1) {
    if (!options->outputFile.empty()) return usage(command, "-o takes one file's text");
    return transcribeEach(*options);
  }
  if (command == "dictate" && count <= 1) return dictate(*options);
  if (command == "learn" && options->list && count == 0) return learnt(*options);
  if (command == "learn" && !options->list && count > 0) return learn(*options);
  if (command == "forget") return forget(*options);
  return usage(command, "wrong number of arguments");
}

}  // namespace
