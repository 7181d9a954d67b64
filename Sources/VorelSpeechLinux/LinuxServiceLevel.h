#pragma once

#include "SpeechPlatform.h"

namespace vorel {

// The level of speech services this Linux platform provides, in the system's version terms.
inline constexpr OperatingSystemVersion linuxServiceLevel{26, 0, 0};

// The symbol the recogniser module exports: makes the real platform.
inline constexpr const char* platformFactorySymbol = "vorel_make_speech_platform";
// The module's file name, looked for beside the program.
inline constexpr const char* platformModuleName = "vorel-speech-platform.so";

}  // namespace vorel
