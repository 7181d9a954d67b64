// The engine's decisions around the recogniser, against the scripted platform.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "ScriptedPlatform.h"
#include "SpeechEngine.h"
#include "VorelSpeech.h"

namespace vorel {
namespace {

using testing::ScriptedPlatform;
using testing::ScriptedResult;

constexpr std::uint64_t maxU64 = std::numeric_limits<std::uint64_t>::max();

TEST(SupportedLocales, PutTheUsersLocaleFirstAndSortTheRest) {
  struct Case {
    const char* name;
    std::vector<std::string> offered;
    std::string current;
    std::vector<std::string> expected;
  };
  for (const auto& c : std::vector<Case>{
           {"current listed once, at the head",
            {"fr-FR", "en-US", "de-DE"},
            "en_US",
            {"en-US", "de-DE", "fr-FR"}},
           {"no equivalent: simply sorted",
            {"fr-FR", "en-US", "de-DE"},
            "ja-JP",
            {"de-DE", "en-US", "fr-FR"}},
           {"duplicates other than the current stay",
            {"fr-FR", "en-US", "fr-FR"},
            "en-US",
            {"en-US", "fr-FR", "fr-FR"}},
           {"upper case sorts before lower case",
            {"zh-Hans", "en-us", "en-US"},
            "",
            {"en-US", "en-us", "zh-Hans"}},
       }) {
    ScriptedPlatform platform;
    platform.locales = c.offered;
    platform.current = c.current;
    EXPECT_EQ(SpeechEngine::supportedLocales(platform), c.expected) << c.name;
  }
}

TEST(SupportedLocales, CurrentEquivalentComesFirstEvenWhenNotListed) {
  ScriptedPlatform platform;
  platform.locales = {};
  platform.current = "en_US";  // resolved through an equivalence, though nothing is listed
  EXPECT_EQ(SpeechEngine::supportedLocales(platform), std::vector<std::string>{"en-US"});
  platform.current = "";
  EXPECT_EQ(SpeechEngine::supportedLocales(platform), std::vector<std::string>{});
}

TEST(AssetState, MapsTheInventory) {
  struct Case {
    AssetStatus status;
    AssetState expected;
  };
  for (const auto& c : std::vector<Case>{{AssetStatus::unsupported, AssetState::unsupported()},
                                         {AssetStatus::supported, AssetState::supported()},
                                         {AssetStatus::downloading, AssetState::downloading(0, 0)},
                                         {AssetStatus::installed, AssetState::installed()},
                                         {AssetStatus::unknown, AssetState::unsupported()}}) {
    ScriptedPlatform platform;
    platform.status = c.status;
    EXPECT_EQ(SpeechEngine::assetState(platform, "en_US"), c.expected);
  }
}

TEST(AssetState, ALocaleWithoutEquivalentIsUnsupportedWithoutAskingTheInventory) {
  ScriptedPlatform platform;
  EXPECT_EQ(SpeechEngine::assetState(platform, "fr-FR"), AssetState::unsupported());
  EXPECT_TRUE(platform.calls().empty());
}

TEST(Gate, BelowTheFloorEveryOperationGivesItsFixedAnswer) {
  ScriptedPlatform platform;
  platform.version = {15, 6, 1};
  EXPECT_EQ(VorelSpeech::platform(platform), (PlatformStatus{false, "macOS 15.6.1"}));
  EXPECT_TRUE(VorelSpeech::supportedLocales(platform).empty());
  EXPECT_EQ(VorelSpeech::assetState(platform, ""), AssetState::unsupported());
  std::vector<AssetState> states;
  EXPECT_EQ(VorelSpeech::installAssets(platform, "en-US",
                                       [&](const AssetState& s) { states.push_back(s); }),
            AssetState::unsupported());
  EXPECT_EQ(states, std::vector{AssetState::unsupported()});
  std::vector<SpeechEvent> events;
  VorelSpeech::transcribe(platform, "/x.wav", "en-US",
                          [&](const SpeechEvent& e) { events.push_back(e); });
  EXPECT_EQ(events, std::vector{SpeechEvent::failed("Voice needs iOS 26")});
  EXPECT_TRUE(platform.calls().empty()) << "nothing below the floor reaches the recogniser";
}

TEST(Gate, ComparesMajorThenMinorThenPatch) {
  struct Case {
    OperatingSystemVersion version;
    PlatformStatus expected;
  };
  for (const auto& c : std::vector<Case>{{{26, 0, 0}, {true, "macOS 26.0.0"}},
                                         {{26, 1, 0}, {true, "macOS 26.1.0"}},
                                         {{25, 9, 9}, {false, "macOS 25.9.9"}},
                                         {{27, 0, 0}, {true, "macOS 27.0.0"}},
                                         {{15, 6, 1}, {false, "macOS 15.6.1"}}}) {
    ScriptedPlatform platform;
    platform.version = c.version;
    EXPECT_EQ(VorelSpeech::platform(platform), c.expected);
    EXPECT_EQ(VorelSpeech::floorMet(platform), c.expected.floorMet);
  }
}

TEST(Milliseconds, RoundsHalfAwayFromZeroAndClamps) {
  struct Case {
    MediaTime time;
    std::uint64_t ms;
  };
  MediaTime infinite = MediaTime::make(1, 1);
  infinite.flags |= MediaTime::positiveInfinity;
  for (const auto& c : std::vector<Case>{
           {MediaTime::make(1, 2000), 1},          // 0.5 ms rounds up
           {MediaTime::make(5, 2000), 3},          // 2.5 ms
           {MediaTime::make(2499, 1'000'000), 2},  // 2.499 ms
           {MediaTime::make(-1, 600), 0},          // negative
           {MediaTime::invalid(), 0},              // not numeric
           {infinite, 0},
           {MediaTime::make(1480, 1000), 1480},
           {MediaTime::make(std::numeric_limits<std::int64_t>::max(), 1), maxU64},  // saturates
       }) {
    EXPECT_EQ(SpeechEngine::milliseconds(c.time), c.ms) << c.time.value << "/" << c.time.timescale;
  }
}

TEST(FileDuration, TruncatesAndSaturates) {
  EXPECT_EQ(SpeechEngine::fileDurationMs(48000, 120), 2u);  // 2.5 ms
  EXPECT_EQ(SpeechEngine::fileDurationMs(16000, 16000), 1000u);
  EXPECT_EQ(SpeechEngine::fileDurationMs(0, 16000), 0u);
  EXPECT_EQ(SpeechEngine::fileDurationMs(std::nan(""), 16000), 0u);
  EXPECT_EQ(SpeechEngine::fileDurationMs(16000, -160000), 0u);
  EXPECT_EQ(SpeechEngine::fileDurationMs(1e-300, std::numeric_limits<std::int64_t>::max()), maxU64);
}

TEST(Trimmed, RemovesOnlyOuterWhiteSpace) {
  EXPECT_EQ(SpeechEngine::trimmed(" good  morning \n"), "good  morning");
  EXPECT_EQ(SpeechEngine::trimmed("\u00A0\u3000x y\u2028\t"), "x y");
  EXPECT_EQ(SpeechEngine::trimmed(" \r\n "), "");
  EXPECT_EQ(SpeechEngine::trimmed("café"), "café");
}

// Runs a transcription and collects its events.
struct Transcription {
  ScriptedPlatform platform;
  std::vector<SpeechEvent> events;
  std::mutex mutex;

  void run(const std::string& locale = "en-US", std::stop_token cancel = {}) {
    SpeechEngine::transcribe(
        platform, "/audio.wav", locale,
        [this](const SpeechEvent& e) {
          std::lock_guard guard(mutex);
          events.push_back(e);
        },
        cancel);
  }
  std::size_t count() {
    std::lock_guard guard(mutex);
    return events.size();
  }
};

TEST(Transcribe, ReportsSegmentsAndProgressThenDone) {
  Transcription t;
  t.platform.fileSampleRate = 48000;
  t.platform.fileFrames = 120;                                 // 2.5 ms, truncated to 2
  t.platform.results = {{" Good morning. \n", 0, 5.0 / 2000},  // ends at 2.5 ms: rounds to 3
                        {" \n ", 0.001, 0.002},                // no text: progress only
                        {"again", 0.0005, 0.0015}};
  t.run();
  EXPECT_EQ(t.events, (std::vector<SpeechEvent>{
                          SpeechEvent::segments({{"Good morning.", 0, 3}}),
                          SpeechEvent::progress(2, 2),
                          SpeechEvent::progress(2, 2),
                          SpeechEvent::segments({{"again", 1, 2}}),
                          SpeechEvent::progress(2, 2),
                          SpeechEvent::done(),
                      }));
  EXPECT_EQ(t.platform.calls(), (std::vector<std::string>{"transcriber en-US", "open /audio.wav",
                                                          "analyzeSequence", "finalizeAndFinish"}));
}

TEST(Transcribe, ZeroSampleRateGivesZeroTotals) {
  Transcription t;
  t.platform.fileSampleRate = 0;
  t.platform.results = {{"hello", 1, 2}};
  t.run();
  EXPECT_EQ(t.events, (std::vector<SpeechEvent>{SpeechEvent::segments({{"hello", 1000, 2000}}),
                                                SpeechEvent::progress(0, 0), SpeechEvent::done()}));
}

TEST(Transcribe, AFileThatDoesNotOpenIsOneFailure) {
  Transcription t;
  t.platform.openError = "there is no audio file at /audio.wav";
  t.run();
  EXPECT_EQ(t.events, std::vector{SpeechEvent::failed("there is no audio file at /audio.wav")});
  EXPECT_EQ(t.platform.calls(), (std::vector<std::string>{"transcriber en-US", "open /audio.wav"}));
}

TEST(Transcribe, NoAudioStopsTheAnalyzerAndStillEndsDone) {
  Transcription t;
  t.platform.lastSample.reset();
  t.run();
  EXPECT_EQ(t.events, std::vector{SpeechEvent::done()});
  auto calls = t.platform.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "finalizeAndFinish"), 0);
}

TEST(Transcribe, PlatformFailuresEndInOneFailedWithTheirDescription) {
  struct Case {
    const char* name;
    std::function<void(ScriptedPlatform&)> script;
  };
  for (const auto& c : std::vector<Case>{
           {"analysis", [](ScriptedPlatform& p) { p.analyzeError = "boom"; }},
           {"finishing", [](ScriptedPlatform& p) { p.finishError = "boom"; }},
           {"result stream", [](ScriptedPlatform& p) { p.resultsError = "boom"; }},
       }) {
    Transcription t;
    t.platform.results = {{"one", 0, 0.5}};
    c.script(t.platform);
    t.run();
    ASSERT_FALSE(t.events.empty()) << c.name;
    EXPECT_EQ(t.events.back(), SpeechEvent::failed("boom")) << c.name;
    EXPECT_EQ(std::count_if(t.events.begin(), t.events.end(),
                            [](const SpeechEvent& e) { return e.isTerminal(); }),
              1)
        << c.name;
  }
}

TEST(Transcribe, ALocaleWithoutEquivalentIsTriedAsSent) {
  Transcription t;
  t.platform.results = {{"bonjour", 0, 1}};
  t.run("xx-YY");
  EXPECT_EQ(t.platform.calls().front(), "transcriber xx-YY");
  EXPECT_EQ(t.events.back(), SpeechEvent::done());
}

TEST(Transcribe, CancellingDuringTheAnalysisEndsCancelledAndKeepsWhatWasSaid) {
  Transcription t;
  t.platform.results = {{"first words", 0, 1}};
  t.platform.analyzing.close();
  std::stop_source cancel;
  std::thread running([&] { t.run("en-US", cancel.get_token()); });
  t.platform.analyzing.awaitArrival();
  while (t.count() < 2) std::this_thread::yield();  // the segment and its progress
  cancel.request_stop();
  running.join();
  ASSERT_EQ(t.events.size(), 3u);
  EXPECT_EQ(t.events[0], SpeechEvent::segments({{"first words", 0, 1000}}));
  EXPECT_EQ(t.events[2], SpeechEvent::cancelled());
}

TEST(Transcribe, AlreadyCancelledEndsCancelled) {
  Transcription t;
  std::stop_source cancel;
  cancel.request_stop();
  t.platform.analyzing.close();
  t.run("en-US", cancel.get_token());
  ASSERT_FALSE(t.events.empty());
  EXPECT_EQ(t.events.back(), SpeechEvent::cancelled());
}

}  // namespace
}  // namespace vorel
