// Building a personal model from the writer's text (see PersonalModel): the model checker's
// work, in a process of its own.
#pragma once

#include <filesystem>
#include <string>

#include "ModelFiles.h"
#include "PersonalModel.h"

namespace vorel::linuxplatform {

struct PersonalBuildResult {
  PersonalBuild outcome = PersonalBuild::built;
  std::string reason;  // why it was not built, for people
};

// Builds the model of the text in `textFolder` (which must still have `textDigest`) into the
// folder `into`, new words pronounced by espeak-ng's `voice`, and loads it in the recogniser.
PersonalBuildResult buildPersonalModel(const std::filesystem::path& textFolder,
                                       const std::string& textDigest,
                                       const std::filesystem::path& into, const ModelFiles& general,
                                       const std::string& voice);

}  // namespace vorel::linuxplatform
