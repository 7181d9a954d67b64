// Where the running program lies: the programs and modules it starts are installed beside it.
#pragma once

#include <filesystem>
#include <string_view>

namespace vorel {

inline std::filesystem::path besideThisProgram(std::string_view name) {
  std::error_code error;
  auto program = std::filesystem::read_symlink("/proc/self/exe", error);
  return (error ? std::filesystem::path(".") : program.parent_path()) / name;
}

}  // namespace vorel
