#include "Process.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <stdexcept>
#include <thread>

namespace vorel::testing {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

ProcessResult runProcess(const std::string& program, const std::string& input,
                         const ProcessOptions& options) {
  // Writing to a helper that has gone must fail in the writer, not kill the test.
  std::signal(SIGPIPE, SIG_IGN);
  ChildOptions childOptions;
  childOptions.arguments = options.arguments;
  childOptions.environment = options.environment;
  childOptions.error = ChildStream::pipe;
  auto child = ChildProcess::start(program, childOptions);
  if (!child) throw std::runtime_error("cannot start " + program + ": " + child.error());

  int in = child->input();
  std::thread writing([&] {
    if (options.writer) {
      options.writer(in);
    } else {
      writeAll(in, input);
    }
    child->closeInput();
  });

  ProcessResult result;
  pollfd fds[2] = {{child->output(), POLLIN, 0}, {child->error(), POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  char buffer[65536];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
  bool killed = false;
  bool signalled = false;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 && !killed) {
      ADD_FAILURE() << program << " did not finish within " << options.timeoutSeconds << " s";
      child->kill(SIGKILL);
      killed = true;
    }
    if (options.killWhen && !signalled && !killed && options.killWhen(result.out)) {
      child->kill(options.killSignal);
      signalled = true;
      killed = options.killSignal == SIGKILL;
    }
    int ready = poll(fds, 2, killed ? 1000 : static_cast<int>(std::max<long>(left.count(), 0)));
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0 && killed) break;  // something the program started still holds its pipes
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  writing.join();
  result.status = child->wait().status();
  return result;
}

}  // namespace vorel::testing
