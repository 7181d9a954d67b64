#include "SpeechWire.h"

#include <array>
#include <nlohmann/json.hpp>
#include <optional>
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

// Reads the keys of one JSON object; every key read is required and must have its type. The
// first problem is kept, and what is read after it is empty: a decoder reads what it needs, then
// asks whether all of it was there.
class Reader {
 public:
  explicit Reader(const Json& value) : object_(&value) {
    if (!value.is_object()) problem_ = WireError{"expected a JSON object"};
  }

  std::string string(const char* key) {
    const Json* v = field(
        key, [](const Json& j) { return j.is_string(); }, "a string");
    return v ? v->get<std::string>() : std::string();
  }
  std::uint64_t unsignedInteger(const char* key) {
    const Json* v = field(
        key, [](const Json& j) { return j.is_number_unsigned(); }, "an unsigned 64-bit integer");
    return v ? v->get<std::uint64_t>() : 0;
  }
  bool boolean(const char* key) {
    const Json* v = field(
        key, [](const Json& j) { return j.is_boolean(); }, "a boolean");
    return v && v->get<bool>();
  }
  const Json& array(const char* key) {
    static const Json none = Json::array();
    const Json* v = field(
        key, [](const Json& j) { return j.is_array(); }, "an array");
    return v ? *v : none;
  }

  // Whether a read has failed; the first problem.
  bool failed() const { return problem_.has_value(); }
  std::unexpected<WireError> problem() const { return std::unexpected(*problem_); }

  // `record` when every read found its value, else the first problem.
  template <class Record>
  Decoded<Record> result(Record record) const {
    if (problem_) return problem();
    return record;
  }

 private:
  const Json* field(const char* key, bool (*is)(const Json&), const char* expected) {
    if (problem_) return nullptr;
    auto found = object_->find(key);
    if (found == object_->end()) {
      problem_ = WireError{std::string("no value for the key \"") + key + "\""};
      return nullptr;
    }
    if (!is(*found)) {
      problem_ = WireError{std::string("the value for the key \"") + key + "\" is not " + expected};
      return nullptr;
    }
    return &*found;
  }

  const Json* object_;
  std::optional<WireError> problem_;
};

// --- SpeechSegment -----------------------------------------------------------------------

Json toJson(const SpeechSegment& segment) {
  return Json{{"text", segment.text}, {"startMs", segment.startMs}, {"endMs", segment.endMs}};
}

Decoded<SpeechSegment> segmentFrom(const Json& value) {
  Reader reader(value);
  auto text = reader.string("text");
  auto start = reader.unsignedInteger("startMs");
  auto end = reader.unsignedInteger("endMs");
  return reader.result(SpeechSegment{std::move(text), start, end});
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
  Reader reader(value);
  auto kind = reader.string("kind");
  if (reader.failed()) return reader.problem();
  if (kind == "progress") {
    auto done = reader.unsignedInteger("done");
    auto total = reader.unsignedInteger("total");
    return reader.result(SpeechEvent::progress(done, total));
  }
  if (kind == "segments") {
    const Json& list = reader.array("segments");
    std::vector<SpeechSegment> segments;
    for (const auto& item : list) {
      auto segment = segmentFrom(item);
      if (!segment) return std::unexpected(segment.error());
      segments.push_back(std::move(*segment));
    }
    return reader.result(SpeechEvent::segments(std::move(segments)));
  }
  if (kind == "volatile") return reader.result(SpeechEvent::volatileText(reader.string("text")));
  if (kind == "done") return SpeechEvent::done();
  if (kind == "failed") return reader.result(SpeechEvent::failed(reader.string("reason")));
  if (kind == "cancelled") return SpeechEvent::cancelled();
  return fail("unknown speech event " + kind);
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
  Reader reader(value);
  auto kind = reader.string("kind");
  if (reader.failed()) return reader.problem();
  if (kind == "installed") return AssetState::installed();
  if (kind == "supported") return AssetState::supported();
  if (kind == "downloading") {
    auto done = reader.unsignedInteger("done");
    auto total = reader.unsignedInteger("total");
    return reader.result(AssetState::downloading(done, total));
  }
  if (kind == "unsupported") return AssetState::unsupported();
  if (kind == "failed") return reader.result(AssetState::failed(reader.string("reason")));
  return fail("unknown asset state " + kind);
}

// --- Platform status, locales, voice events ------------------------------------------------

Decoded<PlatformStatus> platformStatusFrom(const Json& value) {
  Reader reader(value);
  auto floorMet = reader.boolean("floorMet");
  auto osVersion = reader.string("osVersion");
  return reader.result(PlatformStatus{floorMet, std::move(osVersion)});
}

Decoded<LocalesLine> localesLineFrom(const Json& value) {
  Reader reader(value);
  const Json& list = reader.array("locales");
  if (reader.failed()) return reader.problem();
  LocalesLine line;
  for (const auto& item : list) {
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
  Reader reader(value);
  auto kind = reader.string("kind");
  if (reader.failed()) return reader.problem();
  auto event = voiceEventFromJson(Json(kind));
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
