#include "ModelFiles.h"

#include <algorithm>
#include <initializer_list>

namespace vorel::linuxplatform {
namespace {

bool hasExtension(const std::filesystem::path& file, std::initializer_list<const char*> endings) {
  std::string name = file.filename().string();
  return std::any_of(endings.begin(), endings.end(),
                     [&](const char* e) { return name.ends_with(e); });
}

}  // namespace

std::expected<ModelFiles, std::string> findModel(const std::filesystem::path& folder) {
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) return std::unexpected("no model folder");
  ModelFiles files;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const auto& path = entry.path();
    if (entry.is_directory(error) && std::filesystem::exists(path / "mdef", error) &&
        std::filesystem::exists(path / "means", error)) {
      files.acousticModel = path;
    } else if (entry.is_regular_file(error)) {
      // A phonetic language model (en-us-phone.lm.bin) decodes phones, not words.
      bool phonetic = path.filename().string().find("phone") != std::string::npos;
      if (hasExtension(path, {".lm.bin", ".lm", ".DMP", ".dmp"}) && !phonetic) {
        files.languageModel = path;
      }
      if (hasExtension(path, {".dict"})) files.dictionary = path;
    }
  }
  if (files.acousticModel.empty()) return std::unexpected("no acoustic model");
  if (files.languageModel.empty()) return std::unexpected("no language model");
  if (files.dictionary.empty()) return std::unexpected("no dictionary");
  return files;
}

}  // namespace vorel::linuxplatform
