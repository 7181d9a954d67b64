// vorel-speech-client: the helper's protocol for people and scripts. Each command starts
// vorel-speech as a child, exactly as the journaling application does, and shows what it says.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <expected>
#include <string>
#include <vector>

#include "ClientHelp.h"
#include "Commands.h"

namespace {

using namespace vorel;
using namespace vorel::client;

void onInterrupt(int) {
  if (interrupted.exchange(true)) _exit(130);  // a second Ctrl-C: stop at once
}

std::expected<Options, int> parse(int argc, char** argv) {
  Options options;
  std::vector<std::string> args(argv + 1, argv + argc);
  auto value = [&](std::size_t& i, const char* name) -> std::expected<std::string, int> {
    if (i + 1 >= args.size())
      return std::unexpected(usage(options.command, std::string(name) + " needs a value"));
    return args[++i];
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      options.help = true;
    } else if (a == "--helper") {
      auto v = value(i, "--helper");
      if (!v) return std::unexpected(v.error());
      options.helper = *v;
    } else if (a == "--locale") {
      auto v = value(i, "--locale");
      if (!v) return std::unexpected(v.error());
      options.locale = *v;
    } else if (a == "--format") {
      auto v = value(i, "--format");
      if (!v) return std::unexpected(v.error());
      auto format = formatNamed(*v);
      if (!format) return std::unexpected(usage(options.command, "unknown format " + *v));
      options.format = *format;
    } else if (a == "--json") {
      options.json = true;
    } else if (a == "--realtime") {
      options.realtime = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      return std::unexpected(usage(options.command, "unknown option " + a));
    } else if (options.command.empty()) {
      if (!helpTexts.count(a)) return std::unexpected(usage("", "unknown command " + a));
      options.command = a;
    } else {
      options.arguments.push_back(a);
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  auto options = parse(argc, argv);
  if (!options) return options.error();
  if (options->help) {
    std::printf("%s", helpTexts.at(options->command).c_str());
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
  if (command == "dictate" && count <= 1) return dictate(*options);
  return usage(command, "wrong number of arguments");
}
