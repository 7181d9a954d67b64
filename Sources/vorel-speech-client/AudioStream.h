// Audio for a dictation: sent to the helper as length-prefixed 100 ms frames.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "HelperProcess.h"

namespace vorel::client {

inline constexpr std::size_t frameBytes = 9600;  // 100 ms of 48 kHz 16-bit mono

// Sends a file converted to the live format, or standard input ("-") as it is, then closes the
// helper's input; at the pace of speech when `realtime`. Stops early once `interrupted` is set.
void streamAudio(HelperProcess& helper, const std::string& source, bool realtime,
                 const std::atomic<bool>& interrupted);

}  // namespace vorel::client
