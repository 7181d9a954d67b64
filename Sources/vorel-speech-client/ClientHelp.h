// The client's help texts and its usage errors.
#pragma once

#include <map>
#include <string>

namespace vorel::client {

inline constexpr int usageError = 2;

// Help for each command by name; "" is the overview.
extern const std::map<std::string, std::string> helpTexts;

// Says what is wrong with a command line, then the command's help, on standard error; returns
// the usage error status.
int usage(const std::string& command, const std::string& problem);

}  // namespace vorel::client
