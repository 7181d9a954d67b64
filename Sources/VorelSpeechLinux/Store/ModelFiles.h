// A PocketSphinx model on disk: where its three parts are.
#pragma once

#include <expected>
#include <filesystem>
#include <string>

namespace vorel::linuxplatform {

struct ModelFiles {
  std::filesystem::path acousticModel;  // a folder holding mdef, means, variances ...
  std::filesystem::path languageModel;  // *.lm.bin, *.lm or *.DMP
  std::filesystem::path dictionary;     // *.dict
  // The writer's own words, once learnt: `dictionary` is then the general one with the words it
  // lacked, and this an n-gram model of their text, mixed with the general language model.
  std::filesystem::path personalLanguageModel;
};

// Finds the three parts in a model folder, or says what is missing.
std::expected<ModelFiles, std::string> findModel(const std::filesystem::path& folder);

}  // namespace vorel::linuxplatform
