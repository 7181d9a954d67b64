// vorel-speech-client: the helper's protocol for people and scripts. Each command starts
// vorel-speech as a child, exactly as the journaling application does, and shows what it says.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "AudioInput.h"
#include "ClientHelp.h"
#include "CommandLine.h"
#include "Commands.h"
#include "Interrupt.h"
#include "Output.h"
#include "StandardInput.h"

namespace {

using namespace vorel;
using namespace vorel::client;

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
    warn(std::string("cannot write standard output: ") + std::strerror(error));
  }
  return status == 0 || status == interruptedStatus() ? 1 : status;
}

int run(const Options& options);

}  // namespace

int main(int argc, char** argv) {
  auto closed = guardStandardStreams();
  setUpSignals();
  if (closed[0]) noteStandardInputClosed();
  auto options = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (!options) return options.error();
  if (closed[1] && !options->toFile() && !options->help) {
    warn("cannot write standard output: it is closed");
    return 1;
  }
  return flushed(run(*options));
}

namespace {

int run(const Options& given) {
  const Options* options = &given;
  if (options->help) {
    print(helpTexts.at(options->command));
    return 0;
  }
  if (options->version) {
    print(std::string("vorel-speech-client ") + VOREL_VERSION + "\n");
    return 0;
  }
  const std::string& command = options->command;
  std::size_t count = options->arguments.size();
  if (command.empty()) return usage("", "no command given");
  handleStopSignals();
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
