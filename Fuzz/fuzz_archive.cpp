// Fuzzes the installer's unpacking: any bytes as a model archive, installed from a file:// URL
// into a store of its own. Whatever the archive says, nothing is written outside the store (the
// store's parent holds only the archive and the store), and no partial folder is left.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "Installer.h"

namespace {

namespace fs = std::filesystem;

const fs::path& folder() {
  static const fs::path made = [] {
    auto path = fs::temp_directory_path() / ("vorel-fuzz-archive-" + std::to_string(getpid()));
    fs::create_directories(path);
    return path;
  }();
  return made;
}

void removeAll(const fs::path& top) {
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(top, error)) {
    if (entry.is_directory(error) && !entry.is_symlink(error)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
  }
  fs::remove_all(top, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vorel::linuxplatform;
  const fs::path root = folder() / "root";
  removeAll(root);
  fs::create_directories(root / "data");
  auto archive = root / "model.archive";
  std::ofstream(archive, std::ios::binary)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  auto store =
      std::make_shared<const ModelStore>(ModelStore::Locations{{}, root / "data" / "models", {}});
  ModelInstallation installation(store, {"fr-FR", "file://" + archive.string(), {}, {}});
  auto installed = installation.downloadAndInstall();

  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder(), error)) {
    if (entry.path() != root) std::abort();  // written beside the store's root
  }
  for (const auto& entry : fs::directory_iterator(root, error)) {
    auto name = entry.path().filename();
    if (name != "data" && name != "model.archive") std::abort();  // written beside the store
  }
  for (const auto& entry : fs::directory_iterator(root / "data", error)) {
    if (entry.path().filename() != "models") std::abort();
  }
  for (const auto& entry : fs::directory_iterator(root / "data" / "models", error)) {
    std::string name = entry.path().filename().string();
    if (name.find(".partial-") != std::string::npos) std::abort();  // a partial folder left
    if (name == "fr-FR" && !installed) std::abort();                // a failure that installed
  }
  return 0;
}
