// How the client words what it says to people: reasons on one line, counts, the helper's
// reasons with what to do about them.
#pragma once

#include <cstddef>
#include <string>

#include "Commands.h"
#include "SpeechWire.h"

namespace vorel::client {

// A reason on one line, whatever it holds (a path may hold a line feed).
std::string oneLine(const std::string& text);

// A count as people read it: "1 word", "12,345 words".
std::string counted(std::size_t n, const char* one, const char* many);

// Says the reason on standard error, as the client's; the exit status of a failure, 1.
int fail(const std::string& reason);

// The helper's reason with a path the client made up (standard input kept, or a file opened,
// as /dev/fd/N) named as the user knows it.
std::string named(std::string reason, const std::string& path, const std::string& shown);

// The helper's reason, with what to do about it where the client knows.
std::string withFix(const std::string& reason, const Options& options);

// Why a locale is not supported: models come from a catalog.
extern const std::string noModelOffered;

// A locale's state, for people: "en-US: installed".
std::string describe(const std::string& locale, const AssetState& state);

}  // namespace vorel::client
