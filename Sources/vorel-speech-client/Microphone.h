// The default microphone, as dictation's audio.
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "AudioInput.h"

namespace vorel::client {

// The default microphone through PulseAudio (PipeWire serves the same API). Fails with a line
// for people; waiting for the sound server ends, with no microphone, once `stop` is raised.
std::expected<std::unique_ptr<AudioInput>, std::string> openMicrophone(const Stop& stop);

}  // namespace vorel::client
