#include "Output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

#include "ChildProcess.h"

namespace vorel::client {
namespace {

std::atomic<bool> standardOutputBroke{false};

std::string cannotWrite(const std::string& shown, int error) {
  return "cannot write " + shown + ": " + std::strerror(error);
}

// The file a path ends at: a link is followed, so that writing replaces what it points to and
// not the link itself.
std::filesystem::path resolved(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_symlink(path, error)) return path;
  auto target = std::filesystem::weakly_canonical(path, error);
  return error ? std::filesystem::path(path) : target;
}

}  // namespace

bool print(std::string_view text) {
  static Output standardOutput;
  if (standardOutput.failed()) return false;
  if (standardOutput.write(text)) return true;
  warn(standardOutput.error());
  return false;
}

void note(std::string_view text) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
}

void warn(std::string_view text) {
  std::fprintf(stderr, "vorel-speech-client: %.*s\n", static_cast<int>(text.size()), text.data());
}

bool standardOutputFailed() {
  return standardOutputBroke;
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat first {
  }, second{};
  // "-" is standard input: a file redirected into it is that file.
  auto status = [](const std::string& path, struct stat& info) {
    return path == "-" ? ::fstat(STDIN_FILENO, &info) == 0 : ::stat(path.c_str(), &info) == 0;
  };
  return status(a, first) && status(b, second) && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

Output::Output(std::string shown, std::string destination, int fd, bool direct, std::string partial)
    : shown_(std::move(shown)),
      destination_(std::move(destination)),
      fd_(fd),
      direct_(direct),
      partial_(std::move(partial)) {}

Output::Output(Output&& other) noexcept
    : shown_(std::move(other.shown_)),
      destination_(std::move(other.destination_)),
      fd_(std::exchange(other.fd_, -1)),
      direct_(other.direct_),
      partial_(std::exchange(other.partial_, {})),
      committed_(std::exchange(other.committed_, true)),
      error_(std::move(other.error_)) {}

Output::~Output() {
  if (!committed_) discard();
}

std::expected<Output, std::string> Output::file(const std::string& path,
                                                const std::vector<std::string>& inputs) {
  for (const auto& input : inputs) {
    if (sameFile(path, input)) {
      return std::unexpected("cannot write " + path + ": it is the audio being transcribed");
    }
  }
  std::filesystem::path destination = resolved(path);
  struct stat info {};
  if (::stat(destination.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return std::unexpected("cannot write " + path + ": it is a folder");
    if (!S_ISREG(info.st_mode)) {
      // A device or FIFO (/dev/null, a pipe to another program): written as it comes.
      int fd = ::open(destination.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
      if (fd < 0) return std::unexpected(cannotWrite(path, errno));
      return Output(path, destination.string(), fd, /*direct=*/true);
    }
  }
  // An unnamed file in the destination's folder, named only once it is whole; a killed client
  // leaves nothing behind.
  std::filesystem::path folder = destination.parent_path();
  if (folder.empty()) folder = ".";
  int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  std::string partial;
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
    partial = (folder / ("." + destination.filename().string() + ".partial-XXXXXX")).string();
    fd = ::mkostemp(partial.data(), O_CLOEXEC);
    if (fd >= 0 && !S_ISREG(info.st_mode)) {
      mode_t mask = ::umask(0);
      ::umask(mask);
      ::fchmod(fd, 0666 & ~mask);
    }
  }
  if (fd < 0) return std::unexpected(cannotWrite(path, errno));
  // A file written over keeps its permissions.
  if (S_ISREG(info.st_mode) && ::fchmod(fd, info.st_mode & 07777) != 0) {
    int error = errno;
    ::close(fd);
    if (!partial.empty()) ::unlink(partial.c_str());
    return std::unexpected(cannotWrite(path, error));
  }
  return Output(path, destination.string(), fd, /*direct=*/false, partial);
}

bool Output::failWith(int error) {
  if (fd_ < 0 && destination_.empty()) standardOutputBroke = true;
  if (error_.empty()) error_ = cannotWrite(shown_, error);
  return false;
}

bool Output::write(std::string_view text) {
  if (failed()) return false;
  if (fd_ < 0) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
      return failWith(errno);
    }
    return true;
  }
  errno = ENOSPC;  // a write of 0 bytes to a file means it is full
  if (!writeAll(fd_, text)) return failWith(errno);
  return true;
}

bool Output::commit() {
  if (failed()) return false;
  committed_ = true;
  if (fd_ < 0) return std::fflush(stdout) == 0 || failWith(errno);
  int fd = std::exchange(fd_, -1);
  if (direct_) return ::close(fd) == 0 || failWith(errno);
  if (::fsync(fd) != 0) {
    int error = errno;
    ::close(fd);
    return failWith(error);
  }
  if (!partial_.empty()) {
    int error = ::close(fd) == 0 ? 0 : errno;
    if (error == 0 && ::rename(partial_.c_str(), destination_.c_str()) != 0) error = errno;
    if (error != 0) ::unlink(partial_.c_str());
    partial_.clear();
    return error == 0 || failWith(error);
  }
  // Named beside the destination first, then renamed over it in one step.
  std::string proc = "/proc/self/fd/" + std::to_string(fd);
  std::filesystem::path beside = destination_;
  std::string partial;
  int linked = -1;
  for (int attempt = 0; attempt < 100 && linked != 0; ++attempt) {
    partial = (beside.parent_path() / ("." + beside.filename().string() + ".partial-" +
                                       std::to_string(::getpid()) + "-" + std::to_string(attempt)))
                  .string();
    linked = ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, partial.c_str(), AT_SYMLINK_FOLLOW);
    if (linked != 0 && errno != EEXIST) break;
  }
  int error = linked == 0 ? 0 : errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(partial.c_str(), destination_.c_str()) != 0) error = errno;
  if (error != 0) {
    if (linked == 0) ::unlink(partial.c_str());
    return failWith(error);
  }
  return true;
}

void Output::discard() {
  if (fd_ >= 0) ::close(fd_);  // an unnamed file goes with its descriptor
  fd_ = -1;
  if (!partial_.empty()) ::unlink(partial_.c_str());
  partial_.clear();
}

}  // namespace vorel::client
