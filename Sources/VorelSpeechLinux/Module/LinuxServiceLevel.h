#pragma once

#include "SpeechPlatform.h"

namespace vorel {

// The level of speech services this Linux platform provides, in the system's version terms.
inline constexpr OperatingSystemVersion linuxServiceLevel{26, 0, 0};

}  // namespace vorel
