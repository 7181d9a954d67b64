// Live dictation through the built helper on the real platform: 48 kHz frames in over a pipe,
// volatile text, final segments and one end event out.
#include <gtest/gtest.h>

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
