// Where the running program lies: the programs and modules it starts are installed beside it,
// or, for the programs on the PATH, in a folder of parts of their own.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string_view>

namespace vorel {

// The running program's own path; empty when the system does not tell.
inline std::filesystem::path thisProgram() {
  std::error_code error;
  auto program = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : program;
}

inline std::filesystem::path besideThisProgram(std::string_view name) {
  auto program = thisProgram();
  return (program.empty() ? std::filesystem::path(".") : program.parent_path()) / name;
}

// A part of the installation: beside this program (the build tree, and the helper's own
// folder), else in `partsFolder`, given relative to this program's folder (the client in bindir
// finds the helper in libexecdir this way, wherever the whole was installed).
inline std::filesystem::path partOfThisProgram(std::string_view name,
                                               std::string_view partsFolder) {
  auto beside = besideThisProgram(name);
  if (partsFolder.empty() || ::access(beside.c_str(), F_OK) == 0) return beside;
  return (beside.parent_path() / partsFolder / name).lexically_normal();
}

}  // namespace vorel
