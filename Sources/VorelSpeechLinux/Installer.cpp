#include "Installer.h"

#include <archive.h>
#include <archive_entry.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <locale.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ModelCheck.h"
#include "Sha256.h"

namespace vorel::linuxplatform {
namespace {

namespace fs = std::filesystem;

// The most a download may bring when the catalog gives no size, and how long it may take.
constexpr std::uint64_t largestDownload = 4ull << 30;
constexpr long transferLimitSeconds = 3 * 60 * 60;

// Raised by SIGTERM, SIGINT or SIGHUP while a model is being installed: the installation stops
// and removes its partial folder before the helper ends. A second signal ends the helper at
// once (the next installation removes what that leaves).
std::atomic<bool> stopSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onStopSignal(int) {
  stopSignalled = true;
}

// Stops on those signals for its lifetime, where they would otherwise end the process at once.
class StopOnSignals {
 public:
  StopOnSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESETHAND;  // the second one takes the default action
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < signals_.size(); ++i) {
      sigaction(signals_[i], &action, &previous_[i]);
    }
  }
  ~StopOnSignals() {
    for (std::size_t i = 0; i < signals_.size(); ++i)
      sigaction(signals_[i], &previous_[i], nullptr);
  }
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

 private:
  static constexpr std::array<int, 3> signals_{SIGTERM, SIGINT, SIGHUP};
  std::array<struct sigaction, 3> previous_{};
};

// The archive as it arrives: libarchive pulls, and each pull drives libcurl until more bytes
// have come in (or the transfer has ended), hashing and counting them on the way. It never takes
// more than the catalog's size (or the ceiling), and follows at most a few redirects, over the
// schemes a model may come from.
class Download {
 public:
  Download(const CatalogEntry& entry, Progress& progress)
      : progress_(progress), limit_(entry.size.value_or(largestDownload)) {
    static std::once_flag global;
    std::call_once(global, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    easy_ = curl_easy_init();
    multi_ = curl_multi_init();
    curl_easy_setopt(easy_, CURLOPT_URL, entry.url.c_str());
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "https,http,file");
    curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "https,http");
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(easy_, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, error_);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &Download::received);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, &Download::announced);
    curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, this);
    // A server that sends nothing for a minute is taken as gone, and no transfer goes on for
    // ever.
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(easy_, CURLOPT_TIMEOUT, transferLimitSeconds);
    curl_multi_add_handle(multi_, easy_);
    if (entry.size) progress_.setTotalUnitCount(static_cast<std::int64_t>(*entry.size));
  }

  ~Download() {
    curl_multi_remove_handle(multi_, easy_);
    curl_easy_cleanup(easy_);
    curl_multi_cleanup(multi_);
  }

  // The next bytes of the archive; empty at its end. Fails with the transfer's reason.
  std::expected<std::string_view, std::string> pull() {
    chunk_.clear();
    while (chunk_.empty() && !ended_) {
      if (stopSignalled) return std::unexpected(std::string("stopped"));
      int running = 0;
      curl_multi_perform(multi_, &running);
      if (running == 0) {
        ended_ = true;
        int queued;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
          if (message->msg == CURLMSG_DONE) result_ = message->data.result;
        }
      } else if (chunk_.empty()) {
        curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
      }
    }
    // Past the limit the transfer is stopped, whatever the transfer's own result says.
    if (ended_ && chunk_.empty()) {
      if (auto why = failure()) return std::unexpected(*why);
    }
    return std::string_view(chunk_);
  }

  // Why the transfer failed, once it has: the cause of whatever the archive then lacks.
  std::optional<std::string> failure() const {
    if (tooLong_) return "the server sent more than " + std::to_string(limit_) + " bytes";
    if (ended_ && result_ != CURLE_OK) {
      return *error_ ? std::string(error_) : curl_easy_strerror(result_);
    }
    return std::nullopt;
  }

  std::uint64_t bytes() const { return bytes_; }
  std::string sha256() { return hash_.hex(); }

 private:
  static std::size_t received(char* data, std::size_t size, std::size_t count, void* self) {
    auto* download = static_cast<Download*>(self);
    std::size_t n = size * count;
    if (n > download->limit_ - download->bytes_) {
      download->tooLong_ = true;
      return CURL_WRITEFUNC_ERROR;
    }
    download->chunk_.append(data, n);
    download->hash_.update({data, n});
    download->bytes_ += n;
    download->progress_.setCompletedUnitCount(static_cast<std::int64_t>(download->bytes_));
    return n;
  }

  static int announced(void* self, curl_off_t total, curl_off_t, curl_off_t, curl_off_t) {
    auto* download = static_cast<Download*>(self);
    // A length the server announces stands in for a size the catalog does not give; one beyond
    // what may be taken would only show progress that never completes.
    if (total > 0 && download->progress_.totalUnitCount() < 1 &&
        static_cast<std::uint64_t>(total) <= download->limit_) {
      download->progress_.setTotalUnitCount(static_cast<std::int64_t>(total));
    }
    return 0;
  }

  Progress& progress_;
  const std::uint64_t limit_;
  CURL* easy_;
  CURLM* multi_;
  Sha256 hash_;
  char error_[CURL_ERROR_SIZE] = {};
  std::string chunk_;
  std::uint64_t bytes_ = 0;
  bool tooLong_ = false;
  bool ended_ = false;
  CURLcode result_ = CURLE_OK;
};

// Gives the owner full access to a tree unpacked from an archive (whose folders may say
// read-only), so that it can be moved into place and removed; never follows a link.
void makeOwnersOwn(const fs::path& top) {
  std::error_code error;
  auto status = fs::symlink_status(top, error);
  if (error) return;
  if (fs::is_directory(status)) {
    ::chmod(top.c_str(), static_cast<mode_t>(status.permissions()) | S_IRWXU);
    for (const auto& entry : fs::directory_iterator(top, error)) makeOwnersOwn(entry.path());
  } else if (fs::is_regular_file(status)) {
    ::chmod(top.c_str(), static_cast<mode_t>(status.permissions()) | S_IRUSR | S_IWUSR);
  }
}

void removeTree(const fs::path& top) {
  makeOwnersOwn(top);
  std::error_code ignored;
  fs::remove_all(top, ignored);
}

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

la_ssize_t readArchive(struct archive* archive, void* download, const void** buffer) {
  auto bytes = static_cast<Download*>(download)->pull();
  if (!bytes) {
    archive_set_error(archive, EIO, "%s", bytes.error().c_str());
    return -1;
  }
  *buffer = bytes->data();
  return static_cast<la_ssize_t>(bytes->size());
}

// Makes this thread read and write names as UTF-8 while it lives: libarchive converts entry
// names to the locale's character set, and in the C locale a name beyond ASCII has none.
class Utf8Names {
 public:
  Utf8Names() : utf8_(newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr)) {
    if (utf8_) previous_ = uselocale(utf8_);
  }
  ~Utf8Names() {
    if (!utf8_) return;
    uselocale(previous_);
    freelocale(utf8_);
  }
  Utf8Names(const Utf8Names&) = delete;
  Utf8Names& operator=(const Utf8Names&) = delete;

 private:
  locale_t utf8_;
  locale_t previous_ = nullptr;
};

// Unpacks into folder, refusing entries that would land outside it. Every byte must reach the
// disk: a write that fails or falls short (a full disk) fails the whole unpacking.
std::expected<void, std::string> unpack(Download& download, const fs::path& folder) {
  Utf8Names names;
  struct archive* reader = archive_read_new();
  struct archive* writer = archive_write_disk_new();
  archive_read_support_filter_all(reader);
  archive_read_support_format_all(reader);
  archive_write_disk_set_options(writer, ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                             ARCHIVE_EXTRACT_SECURE_SYMLINKS);
  std::expected<void, std::string> outcome;
  auto fail = [&](struct archive* which) {
    // A transfer that failed is the cause: libarchive may say only that the data stopped
    // ("Truncated input file"), depending on where in an entry the transfer was cut.
    if (auto why = download.failure(); why && which == reader) {
      outcome = std::unexpected(*why);
      return;
    }
    const char* why = archive_error_string(which);
    outcome = std::unexpected(std::string(why ? why : "the archive could not be unpacked"));
  };
  auto failWriting = [&](const fs::path& name) {
    int error = archive_errno(writer);
    outcome = std::unexpected("the model's file " + name.string() + " could not be written (" +
                              (error > 0 ? std::strerror(error) : "the write fell short") + ")");
  };
  if (archive_read_open(reader, &download, nullptr, readArchive, nullptr) != ARCHIVE_OK) {
    fail(reader);
  }
  struct archive_entry* entry;
  while (outcome) {
    int status = archive_read_next_header(reader, &entry);
    if (status == ARCHIVE_EOF) break;
    if (status < ARCHIVE_WARN) {
      fail(reader);
      break;
    }
    // A model is folders and plain files: links could point anywhere, so they are left out.
    auto type = archive_entry_filetype(entry);
    bool linked = archive_entry_hardlink(entry) || archive_entry_hardlink_utf8(entry);
    if ((type != AE_IFREG && type != AE_IFDIR) || linked) {
      archive_read_data_skip(reader);
      continue;
    }
    // Names are taken as UTF-8, whatever the process's locale; a name that cannot be read as
    // text names no file.
    const char* text = archive_entry_pathname_utf8(entry);
    if (!text) {
      outcome = std::unexpected(std::string("the archive names a file whose name is not text"));
      break;
    }
    fs::path name = text;
    bool escapes =
        name.is_absolute() ||
        std::any_of(name.begin(), name.end(), [](const fs::path& part) { return part == ".."; });
    if (escapes) {
      outcome = std::unexpected("the archive names a file outside itself: " + name.string());
      break;
    }
    archive_entry_set_pathname(entry, (folder / name).c_str());
    if (archive_write_header(writer, entry) < ARCHIVE_WARN) {
      fail(writer);
      break;
    }
    const void* block;
    size_t size;
    la_int64_t offset;
    std::uint64_t written = 0;
    while ((status = archive_read_data_block(reader, &block, &size, &offset)) == ARCHIVE_OK) {
      if (archive_write_data_block(writer, block, size, offset) != ARCHIVE_OK) {
        failWriting(name);
        break;
      }
      written += size;
    }
    if (outcome && status < ARCHIVE_WARN) fail(reader);
    if (outcome && archive_write_finish_entry(writer) < ARCHIVE_WARN) failWriting(name);
    bool whole = type != AE_IFREG || !archive_entry_size_is_set(entry) ||
                 archive_entry_sparse_count(entry) > 0 ||
                 written == static_cast<std::uint64_t>(archive_entry_size(entry));
    if (outcome && !whole) failWriting(name);
  }
  // Folders get their final times and modes as the writer closes.
  if (archive_write_close(writer) != ARCHIVE_OK && outcome) failWriting(folder.filename());
  // Whatever the archive held, read the transfer to its end so the checksum covers it all.
  while (outcome) {
    auto rest = download.pull();
    if (!rest) outcome = std::unexpected(rest.error());
    if (!rest || rest->empty()) break;
  }
  archive_read_free(reader);
  archive_write_free(writer);
  return outcome;
}

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
  if (stopSignalled) return failure(stopped);
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
  if (stopSignalled) return failure(stopped);
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
