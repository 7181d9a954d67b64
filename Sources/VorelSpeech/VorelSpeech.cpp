#include "VorelSpeech.h"

namespace vorel::VorelSpeech {

PlatformStatus platform(const SpeechPlatform& platform) {
  auto version = platform.operatingSystemVersion();
  return PlatformStatus{version >= platformFloor, "macOS " + std::to_string(version.major) + "." +
                                                      std::to_string(version.minor) + "." +
                                                      std::to_string(version.patch)};
}

bool floorMet(const SpeechPlatform& platform) {
  return platform.operatingSystemVersion() >= platformFloor;
}

std::vector<std::string> supportedLocales(SpeechPlatform& platform) {
  if (!floorMet(platform)) return {};
  return SpeechEngine::supportedLocales(platform);
}

AssetState assetState(SpeechPlatform& platform, const std::string& locale) {
  if (!floorMet(platform)) return AssetState::unsupported();
  return SpeechEngine::assetState(platform, locale);
}

AssetState installAssets(SpeechPlatform& platform, const std::string& locale, OnChange onChange) {
  if (!floorMet(platform)) {
    onChange(AssetState::unsupported());
    return AssetState::unsupported();
  }
  return SpeechEngine::installAssets(platform, locale, std::move(onChange));
}

void transcribe(SpeechPlatform& platform, const std::string& path, const std::string& locale,
                OnEvent onEvent) {
  if (!floorMet(platform)) {
    onEvent(SpeechEvent::failed(std::string(belowFloorReason)));
    return;
  }
  SpeechEngine::transcribe(platform, path, locale, std::move(onEvent));
}

std::shared_ptr<LiveHandle> listen(SpeechPlatform& platform, const std::string& locale,
                                   OnEvent onEvent) {
  if (!floorMet(platform)) {
    onEvent(SpeechEvent::failed(std::string(belowFloorReason)));
    return std::make_shared<LiveHandle>();
  }
  return std::make_shared<LiveHandle>(SpeechSession::open(platform, locale, std::move(onEvent)));
}

}  // namespace vorel::VorelSpeech
