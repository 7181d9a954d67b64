#include "HelperProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace vorel::client {

std::expected<HelperProcess, std::string> HelperProcess::start(const std::string& path) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return std::unexpected("no pipes");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t pid;
  int failed = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(in[0]);
  close(out[1]);
  if (failed != 0) {
    close(in[1]);
    close(out[0]);
    return std::unexpected("cannot start the speech helper " + path + ": " + std::strerror(failed));
  }
  return HelperProcess(pid, in[1], out[0]);
}

bool HelperProcess::send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = write(input_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void HelperProcess::closeInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

std::optional<std::string> HelperProcess::readLine() {
  for (;;) {
    auto feed = buffer_.find('\n');
    if (feed != std::string::npos) {
      std::string line = buffer_.substr(0, feed);
      buffer_.erase(0, feed + 1);
      return line;
    }
    char chunk[65536];
    ssize_t n = read(output_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

int HelperProcess::wait() {
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  close(output_);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace vorel::client
