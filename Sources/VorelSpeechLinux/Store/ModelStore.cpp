#include "ModelStore.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "Locales.h"

namespace vorel::linuxplatform {
namespace {

// The user's data folder, or nothing when the user has no home.
std::optional<std::filesystem::path> dataHome() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') return xdg;
  std::string home;
  if (const char* variable = std::getenv("HOME"); variable && *variable == '/') {
    home = variable;
  } else {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/') {
      home = found->pw_dir;
    }
  }
  if (home.empty()) return std::nullopt;
  return std::filesystem::path(home) / ".local" / "share";
}

// A catalog's text: only a regular file of sane size is read (a FIFO would block, a folder or
// a device is no catalog).
std::optional<std::string> readCatalog(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> text;
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<std::uintmax_t>(info.st_size) <= ModelStore::largestCatalog) {
    std::string bytes(static_cast<std::size_t>(info.st_size) + 1, '\0');
    std::size_t got = 0;
    for (;;) {
      ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
      if (got == bytes.size()) break;
    }
    if (got <= ModelStore::largestCatalog) text = bytes.substr(0, got);
  }
  ::close(fd);
  return text;
}

void appendUnique(std::vector<std::string>& list, const std::string& locale) {
  if (std::find(list.begin(), list.end(), locale) == list.end()) list.push_back(locale);
}

// Adds the entries of one catalog's text; entries that are not whole are left out.
void readEntries(const std::string& text, std::vector<CatalogEntry>& entries) {
  auto document = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!document.is_object() || !document.contains("models") || !document["models"].is_array()) {
    return;
  }
  for (const auto& item : document["models"]) {
    if (!item.is_object() || !item.contains("locale") || !item["locale"].is_string() ||
        !item.contains("url") || !item["url"].is_string()) {
      continue;
    }
    auto locale = canonicalLocale(item["locale"].get<std::string>());
    if (!locale) continue;
    CatalogEntry entry{*locale, item["url"].get<std::string>(), std::nullopt, std::nullopt};
    if (item.contains("sha256") && item["sha256"].is_string()) {
      std::string hex = item["sha256"].get<std::string>();
      std::transform(hex.begin(), hex.end(), hex.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      entry.sha256 = hex;
    }
    if (item.contains("size") && item["size"].is_number_unsigned()) {
      entry.size = item["size"].get<std::uint64_t>();
    }
    entries.push_back(std::move(entry));
  }
}

}  // namespace

ModelStore::Locations ModelStore::defaultLocations() {
  Locations locations{{"/usr/share/pocketsphinx/model"}, {}, {}};
  if (auto data = dataHome()) {
    locations.userStore = *data / "vorel-speech" / "models";
    locations.catalogs.push_back(*data / "vorel-speech" / "catalog.json");
  }
  locations.catalogs.push_back("/usr/share/vorel-speech/catalog.json");
  return locations;
}

std::vector<std::pair<std::string, std::filesystem::path>> ModelStore::systemModels() const {
  std::vector<std::pair<std::string, std::filesystem::path>> models;
  std::error_code error;
  for (const auto& root : locations_.systemModelRoots) {
    for (const auto& entry : std::filesystem::directory_iterator(root, error)) {
      auto locale = canonicalLocale(entry.path().filename().string());
      if (locale && findModel(entry.path())) models.emplace_back(*locale, entry.path());
    }
  }
  std::sort(models.begin(), models.end());
  return models;
}

std::vector<CatalogEntry> ModelStore::catalog() const {
  std::vector<CatalogEntry> entries;
  for (const auto& file : locations_.catalogs) {
    auto text = readCatalog(file);
    if (!text) continue;
    try {
      readEntries(*text, entries);
    } catch (const std::exception&) {
      // A catalog that cannot be read is skipped, like one that is not there.
    }
  }
  return entries;
}
std::vector<std::string> ModelStore::catalogProblems() const {
  std::vector<std::string> problems;
  for (const auto& file : locations_.catalogs) {
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(file, error))) continue;
    auto text = readCatalog(file);
    if (!text) {
      problems.push_back(file.string() + ": not a readable file of at most " +
                         std::to_string(largestCatalog / (1 << 20)) + " MB");
      continue;
    }
    try {
      auto document = nlohmann::json::parse(*text);
      if (!document.is_object() || !document.contains("models") || !document["models"].is_array()) {
        problems.push_back(file.string() + ": no \"models\" list");
      }
    } catch (const nlohmann::json::exception& failure) {
      // "[json.exception.parse_error.101] parse error at line 3, column 5: ..."
      std::string what = failure.what();
      auto bracket = what.find("] ");
      problems.push_back(file.string() + ": " +
                         (bracket == std::string::npos ? what : what.substr(bracket + 2)));
    }
  }
  return problems;
}

std::vector<std::string> ModelStore::offeredLocales() const {
  std::vector<std::string> locales;
  for (const auto& [locale, path] : systemModels()) appendUnique(locales, locale);
  std::error_code error;
  std::vector<std::string> stored;
  for (const auto& entry : std::filesystem::directory_iterator(locations_.userStore, error)) {
    auto locale = canonicalLocale(entry.path().filename().string());
    if (locale && *locale == entry.path().filename().string() && findModel(entry.path())) {
      stored.push_back(*locale);
    }
  }
  std::sort(stored.begin(), stored.end());
  for (const auto& locale : stored) appendUnique(locales, locale);
  for (const auto& entry : catalog()) appendUnique(locales, entry.locale);
  return locales;
}

std::optional<ModelFiles> ModelStore::installedModel(const std::string& locale) const {
  // Only a locale's own identifier names a folder: never a path the client made up.
  if (canonicalLocale(locale) != locale) return std::nullopt;
  if (!userStore().empty()) {
    if (auto stored = findModel(userModelFolder(locale))) return *stored;
  }
  for (const auto& [systemLocale, path] : systemModels()) {
    if (systemLocale == locale) {
      if (auto model = findModel(path)) return *model;
    }
  }
  return std::nullopt;
}

std::optional<CatalogEntry> ModelStore::catalogEntry(const std::string& locale) const {
  for (auto& entry : catalog()) {
    if (entry.locale == locale) return entry;
  }
  return std::nullopt;
}

bool ModelStore::installing(const std::string& locale) const {
  if (userStore().empty()) return false;
  int fd = ::open(installLockFile(locale).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool held = flock(fd, LOCK_SH | LOCK_NB) != 0;
  close(fd);
  return held;
}

std::filesystem::path ModelStore::userModelFolder(const std::string& locale) const {
  return locations_.userStore / locale;
}

std::filesystem::path ModelStore::installLockFile(const std::string& locale) const {
  return locations_.userStore / ("." + locale + ".lock");
}

std::filesystem::path ModelStore::partialFolderPattern(const std::string& locale) const {
  return locations_.userStore / ("." + locale + ".partial-XXXXXX");
}

std::vector<std::filesystem::path> ModelStore::partialFolders(const std::string& locale) const {
  std::vector<std::filesystem::path> found;
  std::string prefix = "." + locale + ".partial-";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(locations_.userStore, error)) {
    std::string name = entry.path().filename().string();
    if (name.starts_with(prefix) && name.size() == prefix.size() + 6) found.push_back(entry.path());
  }
  return found;
}

std::filesystem::path ModelStore::proofFolder() const {
  if (locations_.userStore.empty()) return {};
  return locations_.userStore / ".loadable";
}

std::filesystem::path ModelStore::personalTextFolder(const std::string& locale) const {
  if (locations_.userStore.empty()) return {};
  return locations_.userStore.parent_path() / "personal" / locale;
}

std::filesystem::path ModelStore::personalModelFolder(const std::string& locale) const {
  if (locations_.userStore.empty()) return {};
  return locations_.userStore / ".personal" / locale;
}

}  // namespace vorel::linuxplatform
