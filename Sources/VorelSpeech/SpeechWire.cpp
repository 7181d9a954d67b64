#include "SpeechWire.h"

#include <array>
#include <nlohmann/json.hpp>
#include <utility>

namespace vorel {
namespace {

using Json = nlohmann::json;

template <class T>
using Decoded = std::expected<T, WireError>;

std::unexpected<WireError> fail(std::string message) {
  return std::unexpected(WireError{std::move(message)});
}

// Compact, sorted (nlohmann keeps object keys in a std::map), "/" bare, raw UTF-8. Text that is
// not UTF-8 is written with U+FFFD in place of each ill-formed sequence rather than refused, so
// that a failure whose reason quotes a foreign path still reaches the client.
std::expected<std::string, WireError> serialise(const Json& document) {
  try {
    return document.dump(-1, ' ', false, Json::error_handler_t::replace);
  } catch (const std::exception& error) {
    return fail(error.what());
  }
}

Decoded<Json> parse(std::string_view bytes) {
  try {
    Json document = Json::parse(bytes, nullptr, /*allow_exceptions=*/false,
                                /*ignore_comments=*/false);
    if (document.is_discarded()) return fail("the data is not one valid JSON document");
    return document;
  } catch (const std::exception& error) {
    return fail(error.what());
  }
}

// Reads the keys of one JSON object; every key read is required and must have its type.
class Reader {
 public:
  static Decoded<Reader> open(const Json& value) {
    if (!value.is_object()) return fail("expected a JSON object");
    return Reader(value);
  }

  Decoded<std::string> string(const char* key) const {
    auto v = field(key);
    if (!v) return std::unexpected(v.error());
    if (!(*v)->is_string()) return typeError(key, "a string");
    return (*v)->get<std::string>();
  }
  Decoded<std::uint64_t> unsignedInteger(const char* key) const {
    auto v = field(key);
    if (!v) return std::unexpected(v.error());
    if (!(*v)->is_number_unsigned()) return typeError(key, "an unsigned 64-bit integer");
    return (*v)->get<std::uint64_t>();
  }
  Decoded<bool> boolean(const char* key) const {
    auto v = field(key);
    if (!v) return std::unexpected(v.error());
    if (!(*v)->is_boolean()) return typeError(key, "a boolean");
    return (*v)->get<bool>();
  }
  Decoded<const Json*> array(const char* key) const {
    auto v = field(key);
    if (!v) return std::unexpected(v.error());
    if (!(*v)->is_array()) return typeError(key, "an array");
    return *v;
  }

 private:
  explicit Reader(const Json& object) : object_(&object) {}

  Decoded<const Json*> field(const char* key) const {
    auto found = object_->find(key);
    if (found == object_->end()) return fail(std::string("no value for the key \"") + key + "\"");
    return &*found;
  }
  static std::unexpected<WireError> typeError(const char* key, const char* expected) {
    return fail(std::string("the value for the key \"") + key + "\" is not " + expected);
  }

  const Json* object_;
};

// --- SpeechSegment -----------------------------------------------------------------------

Json toJson(const SpeechSegment& segment) {
  return Json{{"text", segment.text}, {"startMs", segment.startMs}, {"endMs", segment.endMs}};
}

Decoded<SpeechSegment> segmentFrom(const Json& value) {
  auto reader = Reader::open(value);
  if (!reader) return std::unexpected(reader.error());
  auto text = reader->string("text");
  if (!text) return std::unexpected(text.error());
  auto start = reader->unsignedInteger("startMs");
  if (!start) return std::unexpected(start.error());
  auto end = reader->unsignedInteger("endMs");
  if (!end) return std::unexpected(end.error());
  return SpeechSegment{*text, *start, *end};
}

// --- SpeechEvent ---------------------------------------------------------------------------

Json toJson(const SpeechEvent& event) {
  struct Visitor {
    Json operator()(const SpeechEvent::Progress& p) const {
      return {{"kind", "progress"}, {"done", p.done}, {"total", p.total}};
    }
    Json operator()(const SpeechEvent::Segments& s) const {
      Json list = Json::array();
      for (const auto& segment : s.segments) list.push_back(toJson(segment));
      return {{"kind", "segments"}, {"segments", std::move(list)}};
    }
    Json operator()(const SpeechEvent::Volatile& v) const {
      return {{"kind", "volatile"}, {"text", v.text}};
    }
    Json operator()(const SpeechEvent::Failed& f) const {
      return {{"kind", "failed"}, {"reason", f.reason}};
    }
    Json operator()(const SpeechEvent::Done&) const { return {{"kind", "done"}}; }
    Json operator()(const SpeechEvent::Cancelled&) const { return {{"kind", "cancelled"}}; }
  };
  return std::visit(Visitor{}, event.value);
}

Decoded<SpeechEvent> eventFrom(const Json& value) {
  auto reader = Reader::open(value);
  if (!reader) return std::unexpected(reader.error());
  auto kind = reader->string("kind");
  if (!kind) return std::unexpected(kind.error());
  if (*kind == "progress") {
    auto done = reader->unsignedInteger("done");
    if (!done) return std::unexpected(done.error());
    auto total = reader->unsignedInteger("total");
    if (!total) return std::unexpected(total.error());
    return SpeechEvent::progress(*done, *total);
  }
  if (*kind == "segments") {
    auto list = reader->array("segments");
    if (!list) return std::unexpected(list.error());
    std::vector<SpeechSegment> segments;
    for (const auto& item : **list) {
      auto segment = segmentFrom(item);
      if (!segment) return std::unexpected(segment.error());
      segments.push_back(std::move(*segment));
    }
    return SpeechEvent::segments(std::move(segments));
  }
  if (*kind == "volatile") {
    auto text = reader->string("text");
    if (!text) return std::unexpected(text.error());
    return SpeechEvent::volatileText(std::move(*text));
  }
  if (*kind == "done") return SpeechEvent::done();
  if (*kind == "failed") {
    auto reason = reader->string("reason");
    if (!reason) return std::unexpected(reason.error());
    return SpeechEvent::failed(std::move(*reason));
  }
  if (*kind == "cancelled") return SpeechEvent::cancelled();
  return fail("unknown speech event " + *kind);
}

// --- AssetState ----------------------------------------------------------------------------

Json toJson(const AssetState& state) {
  struct Visitor {
    Json operator()(const AssetState::Downloading& d) const {
      return {{"kind", "downloading"}, {"done", d.done}, {"total", d.total}};
    }
    Json operator()(const AssetState::Failed& f) const {
      return {{"kind", "failed"}, {"reason", f.reason}};
    }
    Json operator()(const AssetState::Installed&) const { return {{"kind", "installed"}}; }
    Json operator()(const AssetState::Supported&) const { return {{"kind", "supported"}}; }
    Json operator()(const AssetState::Unsupported&) const { return {{"kind", "unsupported"}}; }
  };
  return std::visit(Visitor{}, state.value);
}

Decoded<AssetState> assetStateFrom(const Json& value) {
  auto reader = Reader::open(value);
  if (!reader) return std::unexpected(reader.error());
  auto kind = reader->string("kind");
  if (!kind) return std::unexpected(kind.error());
  if (*kind == "installed") return AssetState::installed();
  if (*kind == "supported") return AssetState::supported();
  if (*kind == "downloading") {
    auto done = reader->unsignedInteger("done");
    if (!done) return std::unexpected(done.error());
    auto total = reader->unsignedInteger("total");
    if (!total) return std::unexpected(total.error());
    return AssetState::downloading(*done, *total);
  }
  if (*kind == "unsupported") return AssetState::unsupported();
  if (*kind == "failed") {
    auto reason = reader->string("reason");
    if (!reason) return std::unexpected(reason.error());
    return AssetState::failed(std::move(*reason));
  }
  return fail("unknown asset state " + *kind);
}

// --- Platform status, locales, voice events ------------------------------------------------

Decoded<PlatformStatus> platformStatusFrom(const Json& value) {
  auto reader = Reader::open(value);
  if (!reader) return std::unexpected(reader.error());
  auto floorMet = reader->boolean("floorMet");
  if (!floorMet) return std::unexpected(floorMet.error());
  auto osVersion = reader->string("osVersion");
  if (!osVersion) return std::unexpected(osVersion.error());
  return PlatformStatus{*floorMet, std::move(*osVersion)};
}

Decoded<LocalesLine> localesLineFrom(const Json& value) {
  auto reader = Reader::open(value);
  if (!reader) return std::unexpected(reader.error());
  auto list = reader->array("locales");
  if (!list) return std::unexpected(list.error());
  LocalesLine line;
  for (const auto& item : **list) {
    if (!item.is_string())
      return fail("the value for the key \"locales\" is not an array of strings");
    line.locales.push_back(item.get<std::string>());
  }
  return line;
}

Decoded<VoiceEvent> voiceEventFromJson(const Json& value) {
  if (!value.is_string()) return fail("expected a voice event string");
  const auto& text = value.get_ref<const std::string&>();
  auto event = voiceEventFrom(text);
  if (!event) return fail("unknown voice event " + text);
  return *event;
}

Decoded<VoiceEventEnvelope> envelopeFrom(const Json& value) {
  auto reader = Reader::open(value);
  if (!reader) return std::unexpected(reader.error());
  auto kind = reader->string("kind");
  if (!kind) return std::unexpected(kind.error());
  auto event = voiceEventFromJson(Json(*kind));
  if (!event) return std::unexpected(event.error());
  return VoiceEventEnvelope{*event};
}

template <class Record, class From>
Decoded<Record> decodeWith(std::string_view bytes, From from) {
  auto document = parse(bytes);
  if (!document) return std::unexpected(document.error());
  try {
    return from(*document);
  } catch (const std::exception& error) {
    return fail(error.what());
  }
}

constexpr std::array<std::pair<VoiceEvent, std::string_view>, 5> voiceEventValues{{
    {VoiceEvent::stopRequested, "stop-requested"},
    {VoiceEvent::interrupted, "interrupted"},
    {VoiceEvent::captureLost, "capture-lost"},
    {VoiceEvent::recordRequested, "record-requested"},
    {VoiceEvent::activityDismissed, "activity-dismissed"},
}};

}  // namespace

std::string_view voiceEventValue(VoiceEvent event) {
  for (const auto& [candidate, value] : voiceEventValues) {
    if (candidate == event) return value;
  }
  return {};
}

std::optional<VoiceEvent> voiceEventFrom(std::string_view value) {
  for (const auto& [event, candidate] : voiceEventValues) {
    if (candidate == value) return event;
  }
  return std::nullopt;
}

namespace Wire {

std::expected<std::string, WireError> encode(const SpeechSegment& record) {
  return serialise(toJson(record));
}
std::expected<std::string, WireError> encode(const SpeechEvent& record) {
  return serialise(toJson(record));
}
std::expected<std::string, WireError> encode(const AssetState& record) {
  return serialise(toJson(record));
}
std::expected<std::string, WireError> encode(const PlatformStatus& record) {
  return serialise(Json{{"floorMet", record.floorMet}, {"osVersion", record.osVersion}});
}
std::expected<std::string, WireError> encode(const LocalesLine& record) {
  return serialise(Json{{"locales", record.locales}});
}
std::expected<std::string, WireError> encode(const VoiceEvent& record) {
  return serialise(Json(std::string(voiceEventValue(record))));
}
std::expected<std::string, WireError> encode(const VoiceEventEnvelope& record) {
  return serialise(Json{{"kind", std::string(voiceEventValue(record.kind))}});
}

template <>
std::expected<SpeechSegment, WireError> decode(std::string_view bytes) {
  return decodeWith<SpeechSegment>(bytes, segmentFrom);
}
template <>
std::expected<SpeechEvent, WireError> decode(std::string_view bytes) {
  return decodeWith<SpeechEvent>(bytes, eventFrom);
}
template <>
std::expected<AssetState, WireError> decode(std::string_view bytes) {
  return decodeWith<AssetState>(bytes, assetStateFrom);
}
template <>
std::expected<PlatformStatus, WireError> decode(std::string_view bytes) {
  return decodeWith<PlatformStatus>(bytes, platformStatusFrom);
}
template <>
std::expected<LocalesLine, WireError> decode(std::string_view bytes) {
  return decodeWith<LocalesLine>(bytes, localesLineFrom);
}
template <>
std::expected<VoiceEvent, WireError> decode(std::string_view bytes) {
  return decodeWith<VoiceEvent>(bytes, voiceEventFromJson);
}
template <>
std::expected<VoiceEventEnvelope, WireError> decode(std::string_view bytes) {
  return decodeWith<VoiceEventEnvelope>(bytes, envelopeFrom);
}

}  // namespace Wire
}  // namespace vorel
