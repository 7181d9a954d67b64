// Runs a program over real pipes, as the journaling application does.
#pragma once

#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace vorel::testing {

struct ProcessResult {
  std::string out;
  std::string err;
  int status = -1;  // the exit status, or 128 + the signal that ended the process
};

struct ProcessOptions {
  std::vector<std::string> arguments;
  std::vector<std::string> environment;  // NAME=value entries added to this process's own
  // Writes the program's standard input; the pipe is closed when it returns. By default the
  // input string is written whole.
  std::function<void(int fd)> writer;
  // Sends killSignal to the program once its standard output so far satisfies this.
  std::function<bool(const std::string& out)> killWhen;
  int killSignal = SIGKILL;
  // Past this the program is killed and the test fails: nothing may hang the suite.
  int timeoutSeconds = 120;
};

ProcessResult runProcess(const std::string& program, const std::string& input,
                         const ProcessOptions& options = {});

// The lines of a program's output, without their line feeds.
std::vector<std::string> linesOf(const std::string& text);

// Writes every byte, or as many as the reader takes before it goes away.
using vorel::writeAll;

}  // namespace vorel::testing
