// Where speech models live: the system's PocketSphinx models, the user's model store, and the
// catalog of models that can be downloaded.
//
//   system models    /usr/share/pocketsphinx/model/<locale>/   (the Debian package's en-us)
//   user store       $XDG_DATA_HOME/vorel-speech/models/<locale>/   (~/.local/share by default)
//   personal text    $XDG_DATA_HOME/vorel-speech/personal/<locale>/*.txt
//   catalog          $XDG_DATA_HOME/vorel-speech/catalog.json and
//   /usr/share/vorel-speech/catalog.json
//
// A catalog is {"models":[{"locale":"fr-FR","url":"https://...","sha256":"...","size":123}]};
// "sha256" and "size" may be left out ("sha256" is needed to install over anything but https and
// file). A catalog that is not a regular file of at most a megabyte, or does not parse, is
// skipped.
//
// Without XDG_DATA_HOME or HOME, the home folder comes from the password database; a user with
// none has no store of their own (never a shared folder such as /tmp).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ModelFiles.h"

namespace vorel::linuxplatform {

struct CatalogEntry {
  std::string locale;
  std::string url;
  std::optional<std::string> sha256;  // lower-case hex
  std::optional<std::uint64_t> size;  // bytes of the archive
};

class ModelStore {
 public:
  struct Locations {
    std::vector<std::filesystem::path> systemModelRoots;
    std::filesystem::path userStore;
    std::vector<std::filesystem::path> catalogs;
  };
  static Locations defaultLocations();

  explicit ModelStore(Locations locations) : locations_(std::move(locations)) {}

  // Every locale a model is installed or offered for, system models first.
  std::vector<std::string> offeredLocales() const;
  // The installed model of a locale: the user's store first, then the system's.
  std::optional<ModelFiles> installedModel(const std::string& locale) const;
  std::optional<CatalogEntry> catalogEntry(const std::string& locale) const;
  // Why each catalog that is there is skipped, as "<file>: <reason>" (with the line and column
  // of a parse error); nothing when every catalog is read.
  std::vector<std::string> catalogProblems() const;
  // True while some process is installing the locale's model.
  bool installing(const std::string& locale) const;

  // The user's store, and the places in it; empty when the user has no home to keep it in.
  const std::filesystem::path& userStore() const { return locations_.userStore; }
  std::filesystem::path userModelFolder(const std::string& locale) const;
  std::filesystem::path installLockFile(const std::string& locale) const;
  // Scratch folders of installs of a locale: the mkdtemp pattern, and those that exist now.
  std::filesystem::path partialFolderPattern(const std::string& locale) const;
  std::vector<std::filesystem::path> partialFolders(const std::string& locale) const;
  // Where proofs that models load are kept (see ModelCheck).
  std::filesystem::path proofFolder() const;
  // The writer's own text for a locale ($XDG_DATA_HOME/vorel-speech/personal/<locale>), and
  // where the models built from it are kept; empty without a store.
  std::filesystem::path personalTextFolder(const std::string& locale) const;
  std::filesystem::path personalModelFolder(const std::string& locale) const;

  // The largest catalog file read; a larger one is skipped.
  static constexpr std::size_t largestCatalog = 1 << 20;

 private:
  std::vector<CatalogEntry> catalog() const;
  std::vector<std::pair<std::string, std::filesystem::path>> systemModels() const;

  Locations locations_;
};

}  // namespace vorel::linuxplatform
