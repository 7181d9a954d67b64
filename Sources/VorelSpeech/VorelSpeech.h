// The front door of the speech engine: the platform floor, and every speech operation gated
// behind it.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "SpeechEngine.h"
#include "SpeechListening.h"
#include "SpeechPlatform.h"
#include "SpeechWire.h"

namespace vorel::VorelSpeech {

inline constexpr std::string_view belowFloorReason = "Voice needs iOS 26";
inline constexpr OperatingSystemVersion platformFloor{26, 0, 0};

// Never gated: the system's version and whether it is at or above the floor.
PlatformStatus platform(const SpeechPlatform& platform);
bool floorMet(const SpeechPlatform& platform);

std::vector<std::string> supportedLocales(SpeechPlatform& platform);
AssetState assetState(SpeechPlatform& platform, const std::string& locale);
AssetState installAssets(SpeechPlatform& platform, const std::string& locale, OnChange onChange);
void transcribe(SpeechPlatform& platform, const std::string& path, const std::string& locale,
                OnEvent onEvent);
std::shared_ptr<LiveHandle> listen(SpeechPlatform& platform, const std::string& locale,
                                   OnEvent onEvent);

}  // namespace vorel::VorelSpeech
