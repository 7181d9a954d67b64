#include "SingleCopy.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <utility>

#include "PositionFile.h"

namespace widgethost {
namespace {

namespace fs = std::filesystem;

std::optional<fs::path> lockFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/') return fs::path(runtime) / "vorel-widgets";
  return stateFolder();
}

// The lock of a widget on a display; the display's name is kept to letters, digits and dots.
std::optional<fs::path> lockFile(const std::string& kind, const std::string& display) {
  auto folder = lockFolder();
  if (!folder) return std::nullopt;
  std::string name = kind + "-";
  for (char ch : display) {
    bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                 ch == '.';
    name += plain ? ch : '_';
  }
  return *folder / (name + ".lock");
}

struct Holder {
  pid_t pid = 0;
  int slot = -1;
};

// Who holds the lock open at `fd`, or nothing when nobody does.
std::optional<Holder> holderOf(int fd) {
  if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
    ::flock(fd, LOCK_UN);
    return std::nullopt;
  }
  if (errno != EWOULDBLOCK) return std::nullopt;
  std::array<char, 64> text{};
  ssize_t n = ::pread(fd, text.data(), text.size() - 1, 0);
  Holder holder;
  if (n > 0) {
    std::istringstream fields(std::string(text.data(), static_cast<std::size_t>(n)));
    if (!(fields >> holder.pid >> holder.slot) || holder.pid <= 0) holder = {};
  }
  return holder;
}

}  // namespace

std::expected<PlacedCopy, pid_t> PlacedCopy::take(const std::string& kind,
                                                  const std::string& display) {
  auto file = lockFile(kind, display);
  if (!file) return std::unexpected(-1);
  std::error_code error;
  fs::create_directories(file->parent_path(), error);
  int fd = ::open(file->c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return std::unexpected(-1);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::unexpected(-1);
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    auto holder = holderOf(fd);
    ::close(fd);
    return std::unexpected(holder ? holder->pid : 0);
  }
  PlacedCopy copy(fd);
  copy.standIn(-1);
  return copy;
}

PlacedCopy::PlacedCopy(PlacedCopy&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

PlacedCopy::~PlacedCopy() {
  if (fd_ >= 0) ::close(fd_);
}

void PlacedCopy::standIn(int slot) {
  std::string text = std::to_string(::getpid()) + " " + std::to_string(slot) + "\n";
  if (::ftruncate(fd_, 0) == 0) {
    [[maybe_unused]] auto written = ::pwrite(fd_, text.data(), text.size(), 0);
  }
}

std::set<int> takenSlots(const std::vector<std::string>& kinds, const std::string& display) {
  std::set<int> taken;
  for (const auto& kind : kinds) {
    auto file = lockFile(kind, display);
    if (!file) continue;
    int fd = ::open(file->c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
      if (auto holder = holderOf(fd); holder && holder->slot >= 0) taken.insert(holder->slot);
    }
    ::close(fd);
  }
  return taken;
}

}  // namespace widgethost
