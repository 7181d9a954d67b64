#include "TextFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <random>
#include <utility>

#include "ChildProcess.h"
#include "PersonalText.h"

namespace vorel::linuxplatform {
namespace {

namespace fs = std::filesystem;

// How many names beside a taken one are tried before giving up.
constexpr int mostNamesTried = 1000;

std::string because(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// Opens (and with `create` makes) one level of the folder below `parent`, never through a link.
std::expected<int, std::string> openLevel(int parent, const fs::path& shown, bool create) {
  std::string name = shown.filename().string();
  if (create && ::mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) {
    return std::unexpected(because("cannot make " + shown.string(), errno));
  }
  int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) return fd;
  int error = errno;
  struct stat info {};
  if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(info.st_mode)) return std::unexpected(shown.string() + " is a link, not a folder");
    if (!S_ISDIR(info.st_mode)) return std::unexpected(shown.string() + " is not a folder");
  }
  return std::unexpected(because("cannot open " + shown.string(), error));
}

bool exists(int folder, const std::string& name) {
  struct stat info {};
  return ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

// "<stem>-N.txt" for the Nth name of `name` (the first is the name itself).
std::string nthName(const std::string& name, int n) {
  if (n == 1) return name;
  return name.substr(0, name.size() - 4) + "-" + std::to_string(n) + ".txt";
}

// Writes the text whole under a hidden name of its own; that name.
std::expected<std::string, std::string> writeScratch(int folder, const fs::path& shown,
                                                     std::string_view text) {
  std::random_device random;
  for (int tries = 0; tries < 100; ++tries) {
    std::string scratch = ".keep-" + std::to_string(random()) + ".tmp";
    int fd = ::openat(folder, scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return std::unexpected(because("cannot write in " + shown.string(), errno));
    bool written = writeAll(fd, text) && ::fsync(fd) == 0;
    int error = errno;
    written = ::close(fd) == 0 && written;
    if (!written) {
      if (error == 0) error = errno ? errno : EIO;
      ::unlinkat(folder, scratch.c_str(), 0);
      return std::unexpected(because("cannot write in " + shown.string(), error));
    }
    return scratch;
  }
  return std::unexpected("cannot write in " + shown.string() + ": no free scratch name");
}

}  // namespace

std::optional<std::string> readSmallFile(int folder, const fs::path& path, std::uintmax_t largest) {
  int fd = ::openat(folder, path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  std::optional<std::string> content;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<std::uintmax_t>(info.st_size) <= largest) {
    std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
      ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got == bytes.size()) content = std::move(bytes);
  }
  ::close(fd);
  return content;
}

std::string textNameFor(std::string_view fileName) {
  std::string name(fs::path(fileName).filename().string());
  while (name.starts_with(".")) name.erase(0, 1);
  if (name.ends_with(".txt")) name.resize(name.size() - 4);
  if (name.empty()) name = "text";
  std::size_t longest = longestTextName - 4;
  if (name.size() > longest) {
    std::size_t cut = longest;
    // Never inside a UTF-8 character: back to the start of the one at the cut.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xc0) == 0x80) --cut;
    name.resize(cut);
  }
  return name + ".txt";
}

std::expected<TextFolder, std::string> TextFolder::open(const fs::path& folder, bool create) {
  fs::path personal = folder.parent_path();
  std::error_code error;
  if (create) fs::create_directories(personal.parent_path(), error);
  int top = ::open(personal.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (top < 0)
    return std::unexpected(because("cannot open " + personal.parent_path().string(), errno));
  auto middle = openLevel(top, personal, create);
  ::close(top);
  if (!middle) return std::unexpected(middle.error());
  auto last = openLevel(*middle, folder, create);
  if (create && last) {
    ::fchmod(*middle, 0700);
    ::fchmod(*last, 0700);
  }
  ::close(*middle);
  if (!last) return std::unexpected(last.error());
  return TextFolder(*last, folder);
}

TextFolder::TextFolder(TextFolder&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

TextFolder& TextFolder::operator=(TextFolder&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

TextFolder::~TextFolder() {
  if (fd_ >= 0) ::close(fd_);
}

std::vector<std::string> TextFolder::names() const {
  std::vector<std::string> names;
  int listed = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listed < 0) return names;
  if (DIR* listing = ::fdopendir(listed)) {
    while (dirent* entry = ::readdir(listing)) {
      std::string_view name(entry->d_name);
      if (name.size() > 4 && name.ends_with(".txt") && name.front() != '.') {
        names.emplace_back(name);
      }
    }
    ::closedir(listing);
  } else {
    ::close(listed);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::expected<TextFolder::KeptText, std::string> TextFolder::keep(const std::string& name,
                                                                  std::string_view text) {
  auto scratch = writeScratch(fd_, path_, text);
  if (!scratch) return std::unexpected(scratch.error());
  auto done = [&](KeptText kept) -> std::expected<KeptText, std::string> {
    ::fsync(fd_);
    return kept;
  };
  auto failed = [&](const std::string& reason) -> std::expected<KeptText, std::string> {
    ::unlinkat(fd_, scratch->c_str(), 0);
    return std::unexpected(reason);
  };
  for (int n = 1; n <= mostNamesTried;) {
    std::string candidate = nthName(name, n);
    if (!exists(fd_, candidate)) {
      // A hard link never replaces: should another writer take the name first, the next is
      // looked at.
      if (::linkat(fd_, scratch->c_str(), fd_, candidate.c_str(), 0) == 0) {
        ::unlinkat(fd_, scratch->c_str(), 0);
        return done({candidate, Kept::added});
      }
      if (errno == EEXIST) continue;
      return failed(because("cannot keep " + candidate + " in " + path_.string(), errno));
    }
    if (n == 1) {
      if (auto before = readSmallFile(fd_, candidate, largestText)) {
        if (*before == text) {
          ::unlinkat(fd_, scratch->c_str(), 0);
          return done({candidate, Kept::unchanged});
        }
        if (text.find(*before) != std::string_view::npos) {
          if (::renameat(fd_, scratch->c_str(), fd_, candidate.c_str()) != 0) {
            return failed(because("cannot keep " + candidate + " in " + path_.string(), errno));
          }
          return done({candidate, Kept::replaced});
        }
      }
    } else if (auto other = readSmallFile(fd_, candidate, largestText); other && *other == text) {
      ::unlinkat(fd_, scratch->c_str(), 0);
      return done({candidate, Kept::unchanged});
    }
    ++n;
  }
  return failed("cannot keep " + name + " in " + path_.string() +
                ": every name beside it is taken");
}

std::expected<void, std::string> TextFolder::remove(const std::string& name) {
  if (::unlinkat(fd_, name.c_str(), 0) != 0 && errno != ENOENT) {
    return std::unexpected(because("cannot remove " + (path_ / name).string(), errno));
  }
  return {};
}

}  // namespace vorel::linuxplatform
