#include "Installer.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ArchiveUnpack.h"
#include "Download.h"
#include "ModelCheck.h"
#include "ProcessSignals.h"

namespace vorel::linuxplatform {
namespace {

namespace fs = std::filesystem;

// The URL as it may be shown: without a user name or password in it.
std::string shown(std::string url) {
  auto scheme = url.find("://");
  std::size_t from = scheme == std::string::npos ? 0 : scheme + 3;
  std::size_t authorityEnd = url.find_first_of("/?#", from);
  std::size_t at = url.rfind('@', authorityEnd == std::string::npos ? url.size() : authorityEnd);
  if (at != std::string::npos && at >= from) url.erase(from, at + 1 - from);
  return url;
}

// The scheme of a URL, in lower case.
std::string schemeOf(const std::string& url) {
  auto end = url.find("://");
  std::string scheme = end == std::string::npos ? std::string() : url.substr(0, end);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return scheme;
}

// A folder that is removed with everything in it when it goes out of scope.
struct Scratch {
  fs::path path;
  ~Scratch() {
    if (!path.empty()) removeTree(path);
  }
};

// Holds the store's lock for one locale: one installation at a time, across processes.
struct InstallLock {
  int fd = -1;
  ~InstallLock() {
    if (fd >= 0) close(fd);
  }
};

// The model in an unpacked archive: at its top, or one or two folders down.
std::expected<fs::path, std::string> modelIn(const fs::path& folder) {
  auto top = findModel(folder);
  if (top) return folder;
  std::error_code error;
  std::vector<fs::path> level{folder};
  for (int depth = 0; depth < 2; ++depth) {
    std::vector<fs::path> below;
    for (const auto& parent : level) {
      for (const auto& entry : fs::directory_iterator(parent, error)) {
        if (!entry.is_directory(error) || entry.is_symlink(error)) continue;
        if (findModel(entry.path())) return entry.path();
        below.push_back(entry.path());
      }
    }
    level = std::move(below);
  }
  return std::unexpected(top.error());
}

}  // namespace

ModelInstallation::ModelInstallation(std::shared_ptr<const ModelStore> store, CatalogEntry entry)
    : store_(std::move(store)), entry_(std::move(entry)) {}

std::expected<void, PlatformError> ModelInstallation::downloadAndInstall() {
  const std::string& locale = entry_.locale;
  const std::string url = shown(entry_.url);
  auto failure = [&](const std::string& why) {
    return std::unexpected(
        PlatformError{"the model for " + locale + " could not be installed: " + why});
  };
  // Bytes that nothing authenticates must at least match the checksum the catalog gives.
  std::string scheme = schemeOf(entry_.url);
  if (!entry_.sha256 && scheme != "https" && scheme != "file") {
    return failure("the catalog gives no SHA-256 for " + url + ", and a download over " +
                   (scheme.empty() ? "an unknown scheme" : scheme) + " needs one");
  }
  if (store_->userStore().empty()) {
    return failure("there is no home folder to keep models in");
  }
  std::error_code error;
  fs::create_directories(store_->userStore(), error);
  if (error)
    return failure("the model store " + store_->userStore().string() + " cannot be made (" +
                   error.message() + ")");

  InstallLock lock{::open(store_->installLockFile(locale).c_str(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644)};
  if (lock.fd < 0 || flock(lock.fd, LOCK_EX) != 0)
    return failure("the model store is not writable");
  if (store_->installedModel(locale)) return {};  // another helper installed it meanwhile

  // What an install that was killed or crashed left behind: no one else can be using it while
  // this process holds the lock.
  for (const auto& stale : store_->partialFolders(locale)) removeTree(stale);

  // Before the partial folder is made, and ended after it is removed.
  StopOnSignals stopOnSignals;
  const std::string stopped = "the installation was stopped";
  std::string pattern = store_->partialFolderPattern(locale).string();
  if (!mkdtemp(pattern.data()))
    return failure("no room for the download in " + store_->userStore().string());
  Scratch scratch{pattern};

  Download download(entry_, *progress_);
  auto unpacked = unpack(download, scratch.path / "unpacked");
  if (stopSignalled()) return failure(stopped);
  if (!unpacked) return failure("the download from " + url + " failed (" + unpacked.error() + ")");
  if (entry_.size && download.bytes() != *entry_.size) {
    return failure("the download from " + url + " has " + std::to_string(download.bytes()) +
                   " bytes, not the " + std::to_string(*entry_.size) + " the catalog gives");
  }
  if (entry_.sha256) {
    std::string actual = download.sha256();
    if (actual != *entry_.sha256) {
      return failure("the download from " + url + " does not match its checksum (SHA-256 " +
                     actual + ", expected " + *entry_.sha256 + ")");
    }
  }
  makeOwnersOwn(scratch.path);
  auto model = modelIn(scratch.path / "unpacked");
  if (!model)
    return failure("the download from " + url + " holds no speech model (" + model.error() + ")");
  auto files = findModel(*model);
  if (!files) return failure("the download from " + url + " holds no speech model");
  auto loads = proveLoadable(*files, store_->proofFolder());
  if (stopSignalled()) return failure(stopped);
  if (!loads) {
    return failure("the speech model from " + url + " does not load (" + loads.error() + ")");
  }

  // Into place in one step: a rename, or an exchange with a broken folder already there.
  fs::path target = store_->userModelFolder(locale);
  if (::rename(model->c_str(), target.c_str()) != 0) {
    int first = errno;
    if (renameat2(AT_FDCWD, model->c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0) {
      // Where a folder stands in the way the exchange tells why; otherwise the rename does.
      int why = first == EEXIST || first == ENOTEMPTY ? errno : first;
      return failure("the model could not be moved into " + target.string() + " (" +
                     std::strerror(why) + ")");
    }
  }
  std::int64_t total = static_cast<std::int64_t>(download.bytes());
  if (progress_->totalUnitCount() < 1) progress_->setTotalUnitCount(total);
  progress_->setCompletedUnitCount(total);
  return {};
}

}  // namespace vorel::linuxplatform
