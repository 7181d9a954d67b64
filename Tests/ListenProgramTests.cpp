// Live dictation through the built helper on the real platform: 48 kHz frames in over a pipe,
// volatile text, final segments and one end event out.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "Fixtures.h"
#include "HelperProtocol.h"
#include "Process.h"
#include "SpeechWire.h"

namespace vorel::testing {
namespace {

const std::string helper = VOREL_HELPER;
constexpr std::size_t frameBytes = 9600;  // 100 ms at 48 kHz

std::string header(std::uint32_t n) {
  return frameHeader(n);
}

// Raw 48 kHz 16-bit mono bytes of an audio file, optionally cut to its first seconds.
std::string audio48k(const std::filesystem::path& file, double seconds = 0) {
  auto raw = scratch() / (file.stem().string() + "-" + std::to_string(seconds) + ".raw");
  run("sox -D " + file.string() + " -r 48000 -c 1 -b 16 -e signed-integer -t raw " + raw.string() +
      (seconds > 0 ? " trim 0 " + std::to_string(seconds) : ""));
  std::ifstream in(raw, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string framed(const std::string& audio) {
  std::string stream;
  for (std::size_t at = 0; at < audio.size(); at += frameBytes) {
    std::string payload = audio.substr(at, frameBytes);
    stream += encodeFrame(payload);
  }
  return stream;
}

ProcessResult listen(const std::string& locale, const std::string& frames) {
  ProcessOptions options;
  options.environment = {"XDG_DATA_HOME=" + (scratch() / "listen-home").string()};
  return runProcess(helper, R"({"op":"listen","locale":")" + locale + "\"}\n" + frames, options);
}

struct Heard {
  std::vector<SpeechEvent> events;
  std::vector<SpeechSegment> segments;
  int volatiles = 0;
  std::string text;
};

Heard decode(const ProcessResult& result) {
  Heard heard;
  for (const auto& line : linesOf(result.out)) {
    auto event = Wire::decode<SpeechEvent>(line);
    EXPECT_TRUE(event.has_value()) << line;
    if (!event) continue;
    heard.events.push_back(*event);
    if (event->is<SpeechEvent::Volatile>()) ++heard.volatiles;
    if (auto* s = std::get_if<SpeechEvent::Segments>(&event->value)) {
      EXPECT_EQ(s->segments.size(), 1u);
      heard.segments.push_back(s->segments.front());
      heard.text += (heard.text.empty() ? "" : " ") + s->segments.front().text;
    }
  }
  return heard;
}

std::string transcribedText(const std::filesystem::path& file) {
  ProcessOptions options;
  auto result = runProcess(
      helper, R"({"op":"transcribe","locale":"en-US","path":")" + file.string() + "\"}\n", options);
  std::string text;
  for (const auto& line : linesOf(result.out)) {
    auto event = Wire::decode<SpeechEvent>(line);
    if (auto* s = event ? std::get_if<SpeechEvent::Segments>(&event->value) : nullptr) {
      text += (text.empty() ? "" : " ") + s->segments.front().text;
    }
  }
  return text;
}

TEST(Listen, DictatesARecordingLikeTranscribingIt) {
  auto file = librivox("0870");
  auto audio = audio48k(file);
  auto result = listen("en-US", framed(audio));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  auto heard = decode(result);
  ASSERT_FALSE(heard.events.empty());
  EXPECT_EQ(heard.events.back(), SpeechEvent::done());
  EXPECT_GT(heard.volatiles, 0);
  ASSERT_FALSE(heard.segments.empty());
  std::uint64_t durationMs = audio.size() / 96;
  std::uint64_t previousEnd = 0;
  for (const auto& s : heard.segments) {
    EXPECT_LT(s.startMs, s.endMs);
    EXPECT_GE(s.startMs, previousEnd) << "segment times rise";
    EXPECT_LE(s.endMs, durationMs);
    previousEnd = s.endMs;
  }
  auto transcribed = transcribedText(file);
  double wer = wordErrorRate(transcribed, heard.text);
  std::printf("listen:     %s\ntranscribe: %s\nword error rate between them: %.3f\n",
              heard.text.c_str(), transcribed.c_str(), wer);
  EXPECT_LE(wer, 0.05);
}

// Speech flite makes of `text`, 16 kHz, with `before` and `after` seconds of silence around it
// (the silence flite puts before its first word taken off).
std::filesystem::path spoken(const std::string& name, const std::string& text, double before,
                             double after) {
  auto raw = scratch() / (name + "-raw.wav");
  auto file = scratch() / (name + ".wav");
  run("flite -voice slt -t '" + text + "' -o " + raw.string());
  run("sox -D " + raw.string() + " -r 16000 -c 1 -b 16 " + file.string() +
      " silence 1 0.01 1% pad " + std::to_string(before) + " " + std::to_string(after));
  return file;
}

// A recording that starts in its first word still gives its words, in a file and live.
TEST(Listen, SpeechFromTheFirstFrameIsHeard) {
  auto file = spoken("first-frame", "my name is anna", 0, 0);
  auto live = decode(listen("en-US", framed(audio48k(file))));
  EXPECT_NE(live.text.find("name"), std::string::npos) << "live: " << live.text;
  auto transcribed = transcribedText(file);
  EXPECT_NE(transcribed.find("name"), std::string::npos) << "file: " << transcribed;
}

// Half a minute of speech without a pause: its final text comes in pieces while it goes on, each
// piece at most ten seconds, contiguous and in order, and the words are all there.
TEST(Listen, ALongPassageWithoutPausesSettlesAsItGoesOn) {
  const std::string passage =
      "last summer we drove to the mountains for a week. the road was narrow and the car was "
      "full of bags and boxes. on the first day it rained so we played cards in the kitchen. "
      "then the sky cleared and we walked up to the lake above the village. the water was so "
      "cold that nobody wanted to swim. my son found a small green frog and carried it all the "
      "way back";
  auto file = spoken("passage", passage, 0.3, 0.5);
  auto heard = decode(listen("en-US", framed(audio48k(file))));
  ASSERT_GE(heard.segments.size(), 3u) << heard.text;
  ASSERT_EQ(heard.events.back(), SpeechEvent::done());
  // The first final comes before the provisional text of the speech after it.
  auto first = std::find_if(heard.events.begin(), heard.events.end(),
                            [](const SpeechEvent& e) { return e.is<SpeechEvent::Segments>(); });
  EXPECT_TRUE(std::any_of(first, heard.events.end(), [](const SpeechEvent& e) {
    auto* v = std::get_if<SpeechEvent::Volatile>(&e.value);
    return v && !v->text.empty();
  })) << "the first final came only once the speech had ended";
  EXPECT_LE(heard.segments.front().endMs, 10500u);
  std::uint64_t previousEnd = 0;
  for (const auto& s : heard.segments) {
    SCOPED_TRACE(s.text);
    EXPECT_LE(s.endMs - s.startMs, 10000u);
    EXPECT_GE(s.startMs, previousEnd);
    previousEnd = s.endMs;
  }
  std::string words = passage;
  std::erase(words, '.');
  EXPECT_LE(wordErrorRate(words, heard.text), 0.2) << heard.text;
}

// Once a phrase's final text is out, no provisional text follows it: the silence after it and the
// end of the audio bring only the end of the session.
TEST(Listen, NoProvisionalTextFollowsTheFinalOfTheSameSpeech) {
  auto file = spoken("then-quiet", "please remember to water the plants on the balcony", 0.5, 2.5);
  auto heard = decode(listen("en-US", framed(audio48k(file))));
  ASSERT_EQ(heard.segments.size(), 1u) << heard.text;
  auto final = std::find_if(heard.events.begin(), heard.events.end(),
                            [](const SpeechEvent& e) { return e.is<SpeechEvent::Segments>(); });
  EXPECT_EQ(std::vector<SpeechEvent>(final + 1, heard.events.end()),
            std::vector{SpeechEvent::done()});
}

TEST(Listen, TheLastWordsArriveWhenTheAudioStopsMidSentence) {
  // 0880 is "he was not an ill disposed young man": cut it after "ill".
  auto audio = audio48k(librivox("0880"), 1.6);
  auto heard = decode(listen("en-US", framed(audio)));
  ASSERT_GE(heard.events.size(), 2u);
  EXPECT_EQ(heard.events.back(), SpeechEvent::done());
  ASSERT_FALSE(heard.segments.empty());
  EXPECT_TRUE(heard.events[heard.events.size() - 2].is<SpeechEvent::Segments>());
  EXPECT_NE(heard.text.find("was not"), std::string::npos) << heard.text;
}

TEST(Listen, ABrokenFrameStreamEndsWithItsFailureAndStatus2) {
  const std::string prefix = "the speech helper could not read the audio: ";
  auto speech = framed(audio48k(librivox("0880"), 1.0));
  struct Case {
    const char* name;
    std::string tail;
    std::string reason;
  };
  for (const auto& c : std::vector<Case>{
           {"cut inside a header", std::string("\x10\x00", 2), "truncated"},
           {"cut inside a payload", header(9600) + std::string(100, '\0'), "truncated"},
           {"odd length", header(3) + "abc", "malformedLength(3)"},
           {"too long", header(960002), "malformedLength(960002)"},
       }) {
    SCOPED_TRACE(c.name);
    auto result = listen("en-US", speech + c.tail);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "");
    auto lines = linesOf(result.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), R"({"kind":"failed","reason":")" + prefix + c.reason + "\"}");
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
      auto event = Wire::decode<SpeechEvent>(lines[i]);
      ASSERT_TRUE(event.has_value());
      EXPECT_FALSE(event->isTerminal()) << "the session had not ended: " << lines[i];
    }
  }
}

TEST(Listen, AnUnsupportedLocaleFailsOnceAndTheFramesAreDropped) {
  auto speech = framed(audio48k(librivox("0880"), 1.0));
  auto result = listen("xx-YY", speech);
  EXPECT_EQ(linesOf(result.out),
            std::vector<std::string>{
                R"({"kind":"failed","reason":"the speech engine does not offer xx-YY"})"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
}

}  // namespace
}  // namespace vorel::testing
