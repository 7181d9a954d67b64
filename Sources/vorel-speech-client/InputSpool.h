// Standard input kept whole in an unnamed file, for what can only be read from a file (the
// helper's transcription, FLAC and MP3).
#pragma once

#include <expected>
#include <string>

#include "Stop.h"

namespace vorel::client {

// An unnamed file in $TMPDIR or /tmp, which nothing can leave behind, holding `start` and the
// rest of standard input (at most 4 GiB), behind a WAV header when `raw` (samples in the live
// format); its descriptor, at its start, opened with `flags` beside O_RDWR. Fails with a line
// for people; fails with "stopped" once `stop` is raised.
std::expected<int, std::string> spoolStandardInput(const std::string& start, const Stop& stop,
                                                   int flags, bool raw = false);

// Everything on standard input (an audio file, or raw samples in the live format, which are
// given a WAV header), kept as spoolStandardInput() keeps it: its descriptor, open for reading
// and inherited by children (a child reads it as /dev/fd/N).
std::expected<int, std::string> keepStandardInput(const Stop& stop);

}  // namespace vorel::client
