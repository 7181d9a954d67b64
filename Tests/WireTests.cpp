#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "SpeechWire.h"

namespace vorel {
namespace {

constexpr std::uint64_t maxU64 = std::numeric_limits<std::uint64_t>::max();

struct EncodeCase {
  const char* name;
  std::function<std::expected<std::string, WireError>()> encode;
  std::string line;
};

// Every record as the client reads it, byte for byte.
TEST(Wire, EncodesEveryRecordExactly) {
  const std::vector<EncodeCase> cases = {
      {"progress", [] { return Wire::encode(SpeechEvent::progress(3, 10)); },
       R"({"done":3,"kind":"progress","total":10})"},
      {"segments",
       [] {
         return Wire::encode(SpeechEvent::segments({{"Good morning.", 0, 1480}}));
       },
       R"({"kind":"segments","segments":[{"endMs":1480,"startMs":0,"text":"Good morning."}]})"},
      {"empty segments", [] { return Wire::encode(SpeechEvent::segments({})); },
       R"({"kind":"segments","segments":[]})"},
      {"volatile", [] { return Wire::encode(SpeechEvent::volatileText("Good mor")); },
       R"({"kind":"volatile","text":"Good mor"})"},
      {"failed",
       [] { return Wire::encode(SpeechEvent::failed("the speech engine fell a minute behind")); },
       R"({"kind":"failed","reason":"the speech engine fell a minute behind"})"},
      {"done", [] { return Wire::encode(SpeechEvent::done()); }, R"({"kind":"done"})"},
      {"cancelled", [] { return Wire::encode(SpeechEvent::cancelled()); },
       R"({"kind":"cancelled"})"},
      {"path stays bare", [] { return Wire::encode(SpeechEvent::failed("no /tmp/a b/c.wav")); },
       R"({"kind":"failed","reason":"no /tmp/a b/c.wav"})"},
      {"line break escaped", [] { return Wire::encode(SpeechEvent::volatileText("a\nb\"c\\")); },
       R"({"kind":"volatile","text":"a\nb\"c\\"})"},
      {"raw UTF-8", [] { return Wire::encode(SpeechEvent::volatileText("café")); },
       R"({"kind":"volatile","text":"café"})"},
      {"ill-formed UTF-8 replaced",
       [] { return Wire::encode(SpeechEvent::failed("bad \xff\xfe name \xc3")); },
       "{\"kind\":\"failed\",\"reason\":\"bad \xEF\xBF\xBD\xEF\xBF\xBD name \xEF\xBF\xBD\"}"},
      {"full 64-bit range",
       [] {
         return Wire::encode(SpeechSegment{"x", 0, maxU64});
       },
       R"({"endMs":18446744073709551615,"startMs":0,"text":"x"})"},
      {"downloading", [] { return Wire::encode(AssetState::downloading(512, 1000)); },
       R"({"done":512,"kind":"downloading","total":1000})"},
      {"downloading zero", [] { return Wire::encode(AssetState::downloading(0, 0)); },
       R"({"done":0,"kind":"downloading","total":0})"},
      {"downloading past total", [] { return Wire::encode(AssetState::downloading(7, 5)); },
       R"({"done":7,"kind":"downloading","total":5})"},
      {"asset failed", [] { return Wire::encode(AssetState::failed("disk full")); },
       R"({"kind":"failed","reason":"disk full"})"},
      {"installed", [] { return Wire::encode(AssetState::installed()); },
       R"({"kind":"installed"})"},
      {"supported", [] { return Wire::encode(AssetState::supported()); },
       R"({"kind":"supported"})"},
      {"unsupported", [] { return Wire::encode(AssetState::unsupported()); },
       R"({"kind":"unsupported"})"},
      {"platform",
       [] {
         return Wire::encode(PlatformStatus{true, "macOS 26.0.1"});
       },
       R"({"floorMet":true,"osVersion":"macOS 26.0.1"})"},
      {"platform below floor",
       [] {
         return Wire::encode(PlatformStatus{false, "macOS 15.5.0"});
       },
       R"({"floorMet":false,"osVersion":"macOS 15.5.0"})"},
      {"locales",
       [] {
         return Wire::encode(LocalesLine{{"en-US", "fr-FR"}});
       },
       R"({"locales":["en-US","fr-FR"]})"},
      {"no locales", [] { return Wire::encode(LocalesLine{}); }, R"({"locales":[]})"},
      {"voice event", [] { return Wire::encode(VoiceEvent::captureLost); }, R"("capture-lost")"},
      {"voice envelope", [] { return Wire::encode(VoiceEventEnvelope{VoiceEvent::captureLost}); },
       R"({"kind":"capture-lost"})"},
  };
  for (const auto& c : cases) {
    auto bytes = c.encode();
    ASSERT_TRUE(bytes.has_value()) << c.name;
    EXPECT_EQ(*bytes, c.line) << c.name;
  }
}

template <class Record>
void expectRoundTrip(const Record& record) {
  auto bytes = Wire::encode(record);
  ASSERT_TRUE(bytes.has_value());
  auto back = Wire::decode<Record>(*bytes);
  ASSERT_TRUE(back.has_value()) << *bytes << ": " << back.error().message;
  EXPECT_TRUE(*back == record) << *bytes;
}

TEST(Wire, EveryRecordRoundTrips) {
  for (const auto& event :
       {SpeechEvent::progress(0, maxU64), SpeechEvent::segments({{"a", 1, 2}, {"b/ç", 3, maxU64}}),
        SpeechEvent::segments({}), SpeechEvent::volatileText(""), SpeechEvent::failed("x\ny"),
        SpeechEvent::done(), SpeechEvent::cancelled()}) {
    expectRoundTrip(event);
  }
  for (const auto& state :
       {AssetState::downloading(4, 10), AssetState::failed("r"), AssetState::installed(),
        AssetState::supported(), AssetState::unsupported()}) {
    expectRoundTrip(state);
  }
  expectRoundTrip(SpeechSegment{"Good morning.", 0, maxU64});
  expectRoundTrip(PlatformStatus{false, "macOS 15.6.1"});
  expectRoundTrip(LocalesLine{{"en-US", "en-US", "fr-FR"}});
  for (auto event : {VoiceEvent::stopRequested, VoiceEvent::interrupted, VoiceEvent::captureLost,
                     VoiceEvent::recordRequested, VoiceEvent::activityDismissed}) {
    expectRoundTrip(event);
    expectRoundTrip(VoiceEventEnvelope{event});
    EXPECT_EQ(voiceEventFrom(voiceEventValue(event)), event);
  }
}

TEST(Wire, DecodesKeysInAnyOrderAndIgnoresExtras) {
  EXPECT_EQ(Wire::decode<SpeechEvent>(R"({"reason":"x","kind":"done"})"), SpeechEvent::done());
  EXPECT_EQ(Wire::decode<AssetState>(R"({"total":10,"kind":"downloading","done":4,"extra":true})"),
            AssetState::downloading(4, 10));
  EXPECT_EQ(Wire::decode<SpeechEvent>(" {\"total\":10,\"done\":3,\"kind\":\"progress\"}\r\n"),
            SpeechEvent::progress(3, 10));
}

struct DecodeFailure {
  const char* bytes;
  const char* message;  // empty where the decoder's own wording is free
};

TEST(Wire, RefusesWhatIsNotTheRecord) {
  const std::vector<DecodeFailure> events = {
      {R"({"kind":"Done"})", "unknown speech event Done"},
      {R"({"kind":"paused"})", "unknown speech event paused"},
      {R"({"kind":"progress","done":3})", ""},
      {R"({"done":3,"total":10})", ""},
      {R"({"kind":"progress","done":-3,"total":10})", ""},
      {R"({"kind":"progress","done":3.5,"total":10})", ""},
      {R"({"kind":"progress","done":18446744073709551616,"total":10})", ""},
      {R"({"kind":"progress","done":"3","total":10})", ""},
      {R"({"kind":"segments","segments":[{"text":"a","startMs":0}]})", ""},
      {R"({"kind":5})", ""},
      {R"([{"kind":"done"}])", ""},
      {R"({"kind":"done"} {"kind":"done"})", ""},
      {R"({"kind":"done"} // note)", ""},
      {"", ""},
  };
  for (const auto& c : events) {
    auto decoded = Wire::decode<SpeechEvent>(c.bytes);
    ASSERT_FALSE(decoded.has_value()) << c.bytes;
    if (*c.message) {
      EXPECT_EQ(decoded.error().message, c.message);
    }
  }
  const std::vector<DecodeFailure> states = {
      {R"({"kind":"Installed"})", "unknown asset state Installed"},
      {R"({"kind":"downloading","done":1})", ""},
      {R"({"kind":"failed"})", ""},
  };
  for (const auto& c : states) {
    auto decoded = Wire::decode<AssetState>(c.bytes);
    ASSERT_FALSE(decoded.has_value()) << c.bytes;
    if (*c.message) {
      EXPECT_EQ(decoded.error().message, c.message);
    }
  }
  EXPECT_FALSE(Wire::decode<PlatformStatus>(R"({"floorMet":1,"osVersion":"x"})"));
  EXPECT_FALSE(Wire::decode<PlatformStatus>(R"({"floorMet":true})"));
  EXPECT_FALSE(Wire::decode<LocalesLine>(R"({"locales":["en-US",3]})"));
  EXPECT_FALSE(Wire::decode<LocalesLine>(R"({})"));
  for (const char* bad : {R"("Capture-Lost")", R"("capture_lost")", "3"}) {
    EXPECT_FALSE(Wire::decode<VoiceEvent>(bad)) << bad;
  }
  EXPECT_FALSE(Wire::decode<VoiceEventEnvelope>(R"({"kind":"paused"})"));
  EXPECT_EQ(voiceEventFrom("Capture-Lost"), std::nullopt);
}

}  // namespace
}  // namespace vorel
