#include "ModelStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "Locales.h"

namespace vorel::real {
namespace {

std::filesystem::path dataHome() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') return xdg;
  if (const char* home = std::getenv("HOME"); home && *home) {
    return std::filesystem::path(home) / ".local" / "share";
  }
  return "/tmp";
}

void appendUnique(std::vector<std::string>& list, const std::string& locale) {
  if (std::find(list.begin(), list.end(), locale) == list.end()) list.push_back(locale);
}

}  // namespace

ModelStore::Locations ModelStore::defaultLocations() {
  auto data = dataHome() / "vorel-speech";
  return {{"/usr/share/pocketsphinx/model"},
          data / "models",
          {data / "catalog.json", "/usr/share/vorel-speech/catalog.json"}};
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
    std::ifstream in(file);
    if (!in) continue;
    auto document = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
    if (!document.is_object() || !document.contains("models") || !document["models"].is_array()) {
      continue;
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
  return entries;
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
  if (auto stored = findModel(userModelFolder(locale))) return *stored;
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

}  // namespace vorel::real
