// The speech engine's decisions around the platform recogniser: locales, model assets and file
// transcription. Called only when the platform floor is met.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "SpeechPlatform.h"
#include "SpeechWire.h"

namespace vorel {

// Turns an installation's progress into "downloading" states, passing each on only when its
// per-mille value differs from the previous report's.
class ProgressReporter {
 public:
  explicit ProgressReporter(OnChange onChange) : onChange_(std::move(onChange)) {}
  void report(const Progress& progress);

 private:
  OnChange onChange_;
  std::mutex lock_;  // guards last_
  std::optional<std::uint64_t> last_;
};

namespace SpeechEngine {

// The recogniser's locales as BCP 47 identifiers: the user's own first, then the rest sorted.
std::vector<std::string> supportedLocales(SpeechPlatform& platform);
AssetState assetState(SpeechPlatform& platform, const std::string& locale);
// Makes sure the locale's assets are installed, handing every state to onChange; returns the
// last one.
AssetState installAssets(SpeechPlatform& platform, const std::string& locale, OnChange onChange);
// Transcribes one audio file into segments and progress, ending with exactly one of done,
// cancelled (once cancel is requested) or failed.
void transcribe(SpeechPlatform& platform, const std::string& path, const std::string& locale,
                OnEvent onEvent, std::stop_token cancel = {});

// A platform time in whole milliseconds: 0 when not numeric or negative, rounded half away from
// zero, saturating at the largest 64-bit value.
std::uint64_t milliseconds(const MediaTime& time);
// A file's length in whole milliseconds (truncated), 0 without a positive sample rate.
std::uint64_t fileDurationMs(double sampleRate, std::int64_t frames);
// Text with white space and line breaks removed from both ends.
std::string_view trimmed(std::string_view text);

}  // namespace SpeechEngine
}  // namespace vorel
