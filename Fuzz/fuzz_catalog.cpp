// Fuzzes the model store's catalog reader: any bytes as a catalog file. Every locale it offers
// is a canonical identifier with a catalog entry, whose URL came from the file.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "Locales.h"
#include "ModelStore.h"

namespace {

const std::filesystem::path& folder() {
  static const std::filesystem::path made = [] {
    auto path =
        std::filesystem::temp_directory_path() / ("vorel-fuzz-catalog-" + std::to_string(getpid()));
    std::filesystem::create_directories(path);
    return path;
  }();
  return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vorel::linuxplatform;
  auto catalog = folder() / "catalog.json";
  std::ofstream(catalog, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  ModelStore store({{}, folder() / "models", {catalog}});
  std::string text(reinterpret_cast<const char*>(data), size);
  for (const auto& locale : store.offeredLocales()) {
    if (canonicalLocale(locale) != locale) std::abort();
    auto entry = store.catalogEntry(locale);
    if (!entry || entry->locale != locale) std::abort();
    if (size <= ModelStore::largestCatalog && entry->url.empty() &&
        text.find("\"url\"") == std::string::npos) {
      std::abort();
    }
    if (entry->sha256 && entry->sha256->find_first_of("ABCDEF") != std::string::npos) std::abort();
  }
  return 0;
}
