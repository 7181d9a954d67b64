// Audio for a dictation: sent to the helper as length-prefixed 100 ms frames.
#pragma once

#include <cstddef>
#include <expected>
#include <string>

#include "AudioInput.h"
#include "HelperProcess.h"
#include "Stop.h"

namespace vorel::client {

inline constexpr std::size_t frameBytes = 9600;  // 100 ms of 48 kHz 16-bit mono

// Sends the input's audio, then closes the helper's input; at the pace of speech when
// `realtime` (a live input has that pace by itself). Stops early once `stop` is raised. Counts
// the bytes of audio sent into `sent`.
std::expected<void, std::string> streamAudio(HelperProcess& helper, AudioInput& input,
                                             bool realtime, const Stop& stop, std::size_t& sent);

}  // namespace vorel::client
