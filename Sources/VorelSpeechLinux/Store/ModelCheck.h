// Proving that a model loads before the helper trusts it.
//
// PocketSphinx ends the process itself on some damaged model files (a fatal error and exit, or a
// crash inside the library), which would leave the client without a last line. A model is
// therefore first loaded, and a moment of silence decoded, by vorel-speech-model-check, a
// program beside the running one, in a process of its own (a fresh one: a forked copy of a
// process with threads may inherit a lock some other thread held). A model that
// passed is remembered by a fingerprint of its files (device, inode, size, modification and
// change time of each, and the content of the small ones), so that the check costs one model
// load per model and change, not one per request.
#pragma once

#include <expected>
#include <filesystem>
#include <string>

#include "ModelFiles.h"

namespace vorel::linuxplatform {

// The checker's name, and its exit status for a model that loads.
inline constexpr const char* modelCheckerName = "vorel-speech-model-check";

// Where the checker is: beside the running program (the helper, and everything in the build
// folder), or in the installation's folder of parts (the client, installed on the PATH).
std::filesystem::path modelChecker();

// What identifies a model's files as they are now: a proof is kept under this name.
std::expected<std::string, std::string> modelFingerprint(const ModelFiles& model);

// Loads the model in a child process; fails with a readable reason when the child does not come
// back healthy. Proofs are kept in proofs (nothing is kept when that is empty or not writable).
std::expected<void, std::string> proveLoadable(const ModelFiles& model,
                                               const std::filesystem::path& proofs);

}  // namespace vorel::linuxplatform
