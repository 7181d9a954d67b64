// The records that leave the helper, and their one-line JSON form.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vorel {

// One recognised stretch of speech, with times in milliseconds on the audio's timeline.
struct SpeechSegment {
  std::string text;
  std::uint64_t startMs = 0;
  std::uint64_t endMs = 0;
  bool operator==(const SpeechSegment&) const = default;
};

// What a transcription or a live session reports.
struct SpeechEvent {
  struct Progress {
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    bool operator==(const Progress&) const = default;
  };
  struct Segments {
    std::vector<SpeechSegment> segments;
    bool operator==(const Segments&) const = default;
  };
  struct Volatile {
    std::string text;
    bool operator==(const Volatile&) const = default;
  };
  struct Failed {
    std::string reason;
    bool operator==(const Failed&) const = default;
  };
  struct Done {
    bool operator==(const Done&) const = default;
  };
  struct Cancelled {
    bool operator==(const Cancelled&) const = default;
  };

  std::variant<Progress, Segments, Volatile, Failed, Done, Cancelled> value;

  static SpeechEvent progress(std::uint64_t done, std::uint64_t total) {
    return {Progress{done, total}};
  }
  static SpeechEvent segments(std::vector<SpeechSegment> list) {
    return {Segments{std::move(list)}};
  }
  static SpeechEvent volatileText(std::string text) { return {Volatile{std::move(text)}}; }
  static SpeechEvent failed(std::string reason) { return {Failed{std::move(reason)}}; }
  static SpeechEvent done() { return {Done{}}; }
  static SpeechEvent cancelled() { return {Cancelled{}}; }

  template <class Case>
  bool is() const {
    return std::holds_alternative<Case>(value);
  }
  bool isTerminal() const { return is<Failed>() || is<Done>() || is<Cancelled>(); }
  bool operator==(const SpeechEvent&) const = default;
};

// Receives the events of a transcription or live session, on the thread that produced them.
using OnEvent = std::function<void(const SpeechEvent&)>;

// The state of a locale's speech model assets.
struct AssetState {
  struct Downloading {
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    bool operator==(const Downloading&) const = default;
  };
  struct Failed {
    std::string reason;
    bool operator==(const Failed&) const = default;
  };
  struct Installed {
    bool operator==(const Installed&) const = default;
  };
  struct Supported {
    bool operator==(const Supported&) const = default;
  };
  struct Unsupported {
    bool operator==(const Unsupported&) const = default;
  };

  std::variant<Downloading, Failed, Installed, Supported, Unsupported> value;

  static AssetState downloading(std::uint64_t done, std::uint64_t total) {
    return {Downloading{done, total}};
  }
  static AssetState failed(std::string reason) { return {Failed{std::move(reason)}}; }
  static AssetState installed() { return {Installed{}}; }
  static AssetState supported() { return {Supported{}}; }
  static AssetState unsupported() { return {Unsupported{}}; }

  template <class Case>
  bool is() const {
    return std::holds_alternative<Case>(value);
  }
  bool operator==(const AssetState&) const = default;
};

// Receives the states of an installation as they change, on the installing thread.
using OnChange = std::function<void(const AssetState&)>;

// Whether the system can serve speech at all.
struct PlatformStatus {
  bool floorMet = false;
  std::string osVersion;
  bool operator==(const PlatformStatus&) const = default;
};

// The locales speech recognition supports, the user's own first.
struct LocalesLine {
  std::vector<std::string> locales;
  bool operator==(const LocalesLine&) const = default;
};

// Occurrences around a voice recording, on the wire as fixed strings.
enum class VoiceEvent {
  stopRequested,
  interrupted,
  captureLost,
  recordRequested,
  activityDismissed
};

std::string_view voiceEventValue(VoiceEvent event);
std::optional<VoiceEvent> voiceEventFrom(std::string_view value);

struct VoiceEventEnvelope {
  VoiceEvent kind = VoiceEvent::stopRequested;
  bool operator==(const VoiceEventEnvelope&) const = default;
};

struct WireError {
  std::string message;
  bool operator==(const WireError&) const = default;
};

// One record to one compact JSON document (no line end) and back. Keys are sorted at every
// level, "/" is written bare, text is UTF-8 and unsigned numbers are exact.
namespace Wire {

std::expected<std::string, WireError> encode(const SpeechSegment& record);
std::expected<std::string, WireError> encode(const SpeechEvent& record);
std::expected<std::string, WireError> encode(const AssetState& record);
std::expected<std::string, WireError> encode(const PlatformStatus& record);
std::expected<std::string, WireError> encode(const LocalesLine& record);
std::expected<std::string, WireError> encode(const VoiceEvent& record);
std::expected<std::string, WireError> encode(const VoiceEventEnvelope& record);

template <class Record>
std::expected<Record, WireError> decode(std::string_view bytes);

template <>
std::expected<SpeechSegment, WireError> decode(std::string_view bytes);
template <>
std::expected<SpeechEvent, WireError> decode(std::string_view bytes);
template <>
std::expected<AssetState, WireError> decode(std::string_view bytes);
template <>
std::expected<PlatformStatus, WireError> decode(std::string_view bytes);
template <>
std::expected<LocalesLine, WireError> decode(std::string_view bytes);
template <>
std::expected<VoiceEvent, WireError> decode(std::string_view bytes);
template <>
std::expected<VoiceEventEnvelope, WireError> decode(std::string_view bytes);

}  // namespace Wire
}  // namespace vorel
