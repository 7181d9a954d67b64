// The seam between the helper and its recogniser module, which the helper loads beside itself
// on the first operation that needs it: one C entry point, which hands over a versioned table.
// Only that symbol is visible outside the module. Both sides are built from the same tree; the
// version tells a module left over from another build from one that fits.
#pragma once

#include <cstdint>

#include "SpeechPlatform.h"

namespace vorel {

// The module's file name, looked for beside the program.
inline constexpr const char* platformModuleFile = "vorel-speech-platform.so";
// The one symbol the module exports: `const PlatformModuleEntry* vorel_speech_platform_entry()`.
inline constexpr const char* platformModuleEntrySymbol = "vorel_speech_platform_entry";
// Raised whenever the platform interface or this table changes.
inline constexpr std::uint32_t platformModuleVersion = 1;

struct PlatformModuleEntry {
  std::uint32_t version;              // platformModuleVersion of the module's build
  std::uint32_t size;                 // sizeof(PlatformModuleEntry) of the module's build
  SpeechPlatform* (*makePlatform)();  // a new platform, owned by the caller
};

}  // namespace vorel
