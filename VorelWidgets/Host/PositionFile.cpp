#include "PositionFile.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "ChildProcess.h"

namespace widgethost {
namespace {

constexpr std::size_t largestFile = 64;  // "-100000 -100000\n" and room to spare

std::filesystem::path positionFile(const std::string& kind, const std::filesystem::path& folder) {
  return folder / (kind + ".position");
}

}  // namespace

std::optional<std::filesystem::path> homeFolder() {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::filesystem::path(home);
  if (passwd* user = getpwuid(getuid()); user && user->pw_dir && user->pw_dir[0] == '/') {
    return std::filesystem::path(user->pw_dir);
  }
  return std::nullopt;
}

std::optional<std::filesystem::path> stateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') return std::filesystem::path(state) / "vorel-widgets";
  auto home = homeFolder();
  if (!home) return std::nullopt;
  return *home / ".local" / "state" / "vorel-widgets";
}

std::expected<void, std::string> writeWhole(const std::filesystem::path& file,
                                            const std::string& content) {
  auto failed = [&](int error) {
    return std::unexpected("cannot write " + file.string() + ": " + std::strerror(error));
  };
  std::error_code error;
  std::filesystem::create_directories(file.parent_path(), error);
  auto partial = (file.parent_path() / ("." + file.filename().string() + ".")).string() +
                 std::to_string(::getpid());
  int fd = -1;
  for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
    fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) ::unlink(partial.c_str());  // a crashed run's, or planted
  }
  if (fd < 0) return failed(errno);
  errno = EIO;
  bool written = vorel::writeAll(fd, content);
  int why = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    why = errno;
  }
  if (written && ::rename(partial.c_str(), file.c_str()) != 0) {
    written = false;
    why = errno;
  }
  if (!written) {
    ::unlink(partial.c_str());
    return failed(why);
  }
  return {};
}

std::optional<Position> rememberedPosition(const std::string& kind) {
  auto folder = stateFolder();
  if (!folder) return std::nullopt;
  // Never waits (a FIFO), never follows a link (to /dev/zero, or anywhere else).
  int fd = ::open(positionFile(kind, *folder).c_str(),
                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  char bytes[largestFile + 1];
  ssize_t got = -1;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    do {
      got = ::read(fd, bytes, sizeof bytes);
    } while (got < 0 && errno == EINTR);
  }
  ::close(fd);
  if (got <= 0 || static_cast<std::size_t>(got) > largestFile) return std::nullopt;
  std::istringstream words(std::string(bytes, static_cast<std::size_t>(got)));
  Position where;
  std::string rest;
  if (!(words >> where.x >> where.y) || (words >> rest)) return std::nullopt;
  // No screen is this large: a damaged file, not a place.
  if (std::abs(where.x) > 100000 || std::abs(where.y) > 100000) return std::nullopt;
  return where;
}

bool rememberPosition(const std::string& kind, Position where) {
  auto folder = stateFolder();
  return folder && writeWhole(positionFile(kind, *folder),
                              std::to_string(where.x) + ' ' + std::to_string(where.y) + '\n');
}

bool forgetPosition(const std::string& kind) {
  auto folder = stateFolder();
  if (!folder) return true;
  return ::unlink(positionFile(kind, *folder).c_str()) == 0 || errno == ENOENT;
}

}  // namespace widgethost
