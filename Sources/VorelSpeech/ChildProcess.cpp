#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <utility>

extern char** environ;

namespace vorel {
namespace {

void closeIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::vector<std::string> environmentFor(const ChildOptions& options) {
  if (options.onlyThisEnvironment) return options.environment;
  std::map<std::string, std::string> variables;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    variables[entry.substr(0, entry.find('='))] = entry;
  }
  for (const auto& entry : options.environment) variables[entry.substr(0, entry.find('='))] = entry;
  std::vector<std::string> entries;
  for (auto& [name, entry] : variables) entries.push_back(std::move(entry));
  return entries;
}

std::vector<char*> pointers(std::vector<std::string>& words) {
  std::vector<char*> list;
  for (auto& word : words) list.push_back(word.data());
  list.push_back(nullptr);
  return list;
}

ChildExit exitOf(int status) {
  if (WIFSIGNALED(status)) return {0, WTERMSIG(status)};
  return {WEXITSTATUS(status), 0};
}

}  // namespace

std::expected<ChildProcess, std::string> ChildProcess::start(const std::string& program,
                                                             const ChildOptions& options) {
  // Pipes for the streams asked for: [0] is the read end, [1] the write end.
  std::array<std::array<int, 2>, 3> pipes{{{-1, -1}, {-1, -1}, {-1, -1}}};
  const std::array<ChildStream, 3> kinds{options.input, options.output, options.error};
  auto closeAll = [&] {
    for (auto& ends : pipes) {
      closeIfOpen(ends[0]);
      closeIfOpen(ends[1]);
    }
  };
  for (std::size_t s = 0; s < 3; ++s) {
    if (kinds[s] == ChildStream::pipe && ::pipe2(pipes[s].data(), O_CLOEXEC) != 0) {
      std::string reason = std::strerror(errno);
      closeAll();
      return std::unexpected("no pipe: " + reason);
    }
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int s = 0; s < 3; ++s) {
    auto index = static_cast<std::size_t>(s);
    if (kinds[index] == ChildStream::pipe) {
      posix_spawn_file_actions_adddup2(&actions, pipes[index][s == 0 ? 0 : 1], s);
    } else if (kinds[index] == ChildStream::null) {
      posix_spawn_file_actions_addopen(&actions, s, "/dev/null", O_RDWR, 0);
    }
  }
  if (options.closeOtherDescriptors) posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (options.ownSession) {
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  } else if (options.ownProcessGroup) {
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  std::vector<std::string> words{program};
  words.insert(words.end(), options.arguments.begin(), options.arguments.end());
  std::vector<std::string> variables = environmentFor(options);
  auto argv = pointers(words);
  auto envp = pointers(variables);
  pid_t pid = -1;
  int failed =
      options.searchPath
          ? posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data())
          : posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  // The child's ends are its own now.
  closeIfOpen(pipes[0][0]);
  closeIfOpen(pipes[1][1]);
  closeIfOpen(pipes[2][1]);
  if (failed != 0) {
    closeAll();
    return std::unexpected(std::string(std::strerror(failed)));
  }
  return ChildProcess(pid, pipes[0][1], pipes[1][0], pipes[2][0]);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      input_(std::exchange(other.input_, -1)),
      output_(std::exchange(other.output_, -1)),
      error_(std::exchange(other.error_, -1)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    release();
    pid_ = std::exchange(other.pid_, -1);
    input_ = std::exchange(other.input_, -1);
    output_ = std::exchange(other.output_, -1);
    error_ = std::exchange(other.error_, -1);
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  release();
}

void ChildProcess::release() {
  closeInput();
  closeOutput();
  closeError();
  if (pid_ > 0) {
    kill(SIGKILL);
    wait();
  }
}

void ChildProcess::closeInput() {
  closeIfOpen(input_);
}

void ChildProcess::closeOutput() {
  closeIfOpen(output_);
}

void ChildProcess::closeError() {
  closeIfOpen(error_);
}

void ChildProcess::kill(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

ChildExit ChildProcess::wait() {
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(pid_, &status, 0);
  } while (waited < 0 && errno == EINTR);
  pid_ = -1;
  closeInput();
  closeOutput();
  closeError();
  return exitOf(status);
}

std::optional<ChildExit> ChildProcess::waitFor(std::chrono::milliseconds limit, int stop) {
  // A descriptor that becomes readable when the child ends: a wait with a limit, without
  // signals or polling.
  int ended = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  bool inTime = true;
  if (ended >= 0) {
    pollfd ready[2] = {{ended, POLLIN, 0}, {stop, POLLIN, 0}};
    auto deadline = std::chrono::steady_clock::now() + limit;
    int polled;
    do {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      polled = ::poll(ready, stop >= 0 ? 2 : 1, static_cast<int>(std::max<long>(left.count(), 0)));
    } while (polled < 0 && errno == EINTR);
    ::close(ended);
    inTime = polled < 0 || (polled > 0 && ready[0].revents != 0);
  }
  if (!inTime) {
    kill(SIGKILL);
    wait();
    return std::nullopt;
  }
  return wait();
}

void ChildProcess::detach() {
  pid_ = -1;
  closeInput();
  closeOutput();
  closeError();
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace vorel
