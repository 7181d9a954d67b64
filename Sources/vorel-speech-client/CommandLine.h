// The client's command line, read the way getopt_long tools read theirs: long options with
// their value after a space or "=", "-o FILE" or "-oFILE", "--" before arguments that start with
// a dash, and "-" for standard input or output.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include "Commands.h"

namespace vorel::client {

// The options, or the usage error's status once the error has been said.
std::expected<Options, int> parseCommandLine(const std::vector<std::string>& args);

}  // namespace vorel::client
