#include "ModelCheck.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "ProgramFolder.h"
#include "Sha256.h"

namespace vorel::linuxplatform {
namespace {

namespace fs = std::filesystem;

// How long a child may take to load a model before it is taken as hung.
constexpr int loadLimitMs = 120'000;

// One line per file the recogniser reads: its role, name and identity on disk.
std::expected<std::string, std::string> fingerprint(const ModelFiles& model) {
  std::vector<std::pair<std::string, fs::path>> files{{"lm", model.languageModel},
                                                      {"dict", model.dictionary}};
  std::error_code error;
  std::vector<fs::path> acoustic;
  for (const auto& entry : fs::directory_iterator(model.acousticModel, error)) {
    acoustic.push_back(entry.path());
  }
  if (error) return std::unexpected(error.message());
  std::sort(acoustic.begin(), acoustic.end());
  for (const auto& path : acoustic) files.emplace_back("hmm", path);

  std::string text;
  for (const auto& [role, path] : files) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::unexpected(path.string() + " is missing");
    text += role + '/' + path.filename().string() + ' ' + std::to_string(info.st_dev) + ' ' +
            std::to_string(info.st_ino) + ' ' + std::to_string(info.st_size) + ' ' +
            std::to_string(info.st_mtim.tv_sec) + '.' + std::to_string(info.st_mtim.tv_nsec) + '\n';
  }
  return sha256Hex(text);
}

// Waits for the child within the limit; its wait status, or nothing when it had to be killed.
std::optional<int> awaitChild(pid_t child) {
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  if (pidfd >= 0) {
    pollfd ready{pidfd, POLLIN, 0};
    int polled;
    do {
      polled = ::poll(&ready, 1, loadLimitMs);
    } while (polled < 0 && errno == EINTR);
    ::close(pidfd);
    if (polled == 0) ::kill(child, SIGKILL);
  }
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited != child) return std::nullopt;
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) return std::nullopt;
  return status;
}

}  // namespace

std::expected<void, std::string> proveLoadable(const ModelFiles& model, const fs::path& proofs) {
  auto print = fingerprint(model);
  if (!print) return std::unexpected(print.error());
  std::error_code error;
  fs::path proof = proofs.empty() ? fs::path() : proofs / *print;
  if (!proof.empty() && fs::exists(proof, error)) return {};

  auto checker = besideThisProgram(modelCheckerName);
  std::vector<std::string> words{checker.string(), model.acousticModel.string(),
                                 model.languageModel.string(), model.dictionary.string()};
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  char* noEnvironment[] = {nullptr};
  // Nothing the library says may reach the client's pipes, and the checker holds none of the
  // helper's descriptors (its pipes, an install's lock) while it loads.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd <= 2; ++fd) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
  }
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t child = -1;
  int spawned = posix_spawn(&child, checker.c_str(), &actions, nullptr, argv.data(), noEnvironment);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    return std::unexpected("its checker " + checker.string() + " could not be started (" +
                           std::strerror(spawned) + ")");
  }
  auto status = awaitChild(child);
  if (!status) return std::unexpected("loading it did not finish");
  if (WIFSIGNALED(*status)) {
    return std::unexpected(std::string("loading it crashed the recogniser (") +
                           strsignal(WTERMSIG(*status)) + ")");
  }
  if (WEXITSTATUS(*status) != 0) return std::unexpected("the recogniser could not read its files");

  if (!proof.empty()) {
    fs::create_directories(proofs, error);
    int fd = ::open(proof.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) ::close(fd);
  }
  return {};
}

}  // namespace vorel::linuxplatform
