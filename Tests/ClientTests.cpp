// vorel-speech-client driven as people and scripts use it, against the built helper.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "ClientFormat.h"
#include "Fixtures.h"
#include "Process.h"

namespace vorel::testing {
namespace {

const std::string client = VOREL_CLIENT;

ProcessResult use(std::vector<std::string> arguments, const std::string& input = "") {
  ProcessOptions options;
  options.arguments = std::move(arguments);
  options.environment = {"XDG_DATA_HOME=" + (scratch() / "client-home").string(),
                         "LANG=en_US.UTF-8"};
  return runProcess(client, input, options);
}

std::uint64_t parseClock(const std::string& text) {  // 00:00:07,080 or 00:00:07.080
  unsigned h, m, s, ms;
  char sep;
  EXPECT_EQ(std::sscanf(text.c_str(), "%u:%u:%u%c%u", &h, &m, &s, &sep, &ms), 5) << text;
  return ((h * 60ull + m) * 60 + s) * 1000 + ms;
}

// The segments as the helper reports them, through the client's JSON format.
std::vector<SpeechSegment> jsonSegments(const std::filesystem::path& file) {
  auto result = use({"transcribe", file.string(), "--format", "json"});
  EXPECT_EQ(result.status, 0) << result.err;
  std::vector<SpeechSegment> segments;
  std::string body = result.out;
  // [{...},{...}]: split at the "},{" between objects.
  for (std::size_t at = 1; at < body.size() && body[at] == '{';) {
    auto end = body.find('}', at);
    auto segment = Wire::decode<SpeechSegment>(body.substr(at, end - at + 1));
    EXPECT_TRUE(segment.has_value());
    if (segment) segments.push_back(*segment);
    at = end + 2;
  }
  return segments;
}

TEST(Client, TranscribesToTimestampedTextSrtAndWebVtt) {
  auto file = librivox("0870");
  auto expected = jsonSegments(file);
  ASSERT_FALSE(expected.empty());

  auto text = use({"transcribe", file.string()});
  EXPECT_EQ(text.status, 0);
  auto lines = linesOf(text.out);
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i], "[" + client::clock(expected[i].startMs) + " --> " +
                            client::clock(expected[i].endMs) + "]  " + expected[i].text);
  }

  // SubRip: index, times with commas, text, a blank line.
  auto srt = use({"transcribe", file.string(), "--format", "srt"});
  EXPECT_EQ(srt.status, 0);
  std::istringstream in(srt.out);
  std::vector<SpeechSegment> parsed;
  for (std::string index, times, words, blank; std::getline(in, index);) {
    ASSERT_TRUE(std::getline(in, times) && std::getline(in, words));
    std::getline(in, blank);
    EXPECT_EQ(index, std::to_string(parsed.size() + 1));
    EXPECT_EQ(blank, "");
    ASSERT_EQ(times.substr(12, 5), " --> ") << times;
    EXPECT_EQ(times[8], ',');
    parsed.push_back({words, parseClock(times.substr(0, 12)), parseClock(times.substr(17))});
  }
  EXPECT_EQ(parsed, expected);

  // WebVTT: a header, then cues of times with dots and text.
  auto vtt = use({"transcribe", file.string(), "--format", "vtt", "--locale", "en-US"});
  EXPECT_EQ(vtt.status, 0);
  std::istringstream cues(vtt.out);
  std::string header, blank;
  std::getline(cues, header);
  std::getline(cues, blank);
  EXPECT_EQ(header, "WEBVTT");
  parsed.clear();
  for (std::string times, words; std::getline(cues, times) && std::getline(cues, words);) {
    std::getline(cues, blank);
    EXPECT_EQ(times[8], '.');
    parsed.push_back({words, parseClock(times.substr(0, 12)), parseClock(times.substr(17))});
  }
  EXPECT_EQ(parsed, expected);
}

TEST(Client, DictatesAFileAndStandardInput) {
  auto file = librivox("0880");
  auto raw = scratch() / "0880-48k.raw";
  run("sox -D " + file.string() + " -r 48000 -c 1 -b 16 -e signed-integer -t raw " + raw.string());
  std::ifstream in(raw, std::ios::binary);
  std::string audio((std::istreambuf_iterator<char>(in)), {});

  auto fromFile = use({"dictate", file.string()});
  auto fromInput = use({"dictate", "-"}, audio);
  for (const auto* result : {&fromFile, &fromInput}) {
    EXPECT_EQ(result->status, 0) << result->err;
    ASSERT_FALSE(result->out.empty());
    EXPECT_EQ(result->out.front(), '[');
    EXPECT_NE(result->out.find("young man"), std::string::npos) << result->out;
  }
  EXPECT_EQ(fromFile.out, fromInput.out) << "the same audio is heard the same way";
}

TEST(Client, FailuresShowTheHelpersReasonAndExitNonZero) {
  struct Case {
    std::vector<std::string> arguments;
    std::string reason;
  };
  auto missing = (scratch() / "missing.wav").string();
  for (const auto& c : std::vector<Case>{
           {{"transcribe", missing}, "vorel-speech-client: there is no audio file at " + missing},
           {{"dictate", missing}, "vorel-speech-client: there is no audio file at " + missing},
           {{"dictate", librivox("0880").string(), "--locale", "xx-YY"},
            "vorel-speech-client: the speech engine does not offer xx-YY"},
           {{"transcribe", librivox("0880").string(), "--locale", "xx-YY"},
            "vorel-speech-client: the speech engine has no model installed for xx-YY"},
           {{"install", "xx-YY"}, "vorel-speech-client: xx-YY is not supported"},
           {{"status", "xx-YY"}, ""},
           {{"--helper", "/no/such/helper", "platform"},
            "vorel-speech-client: cannot start the speech helper /no/such/helper"},
       }) {
    auto result = use(c.arguments);
    EXPECT_EQ(result.status, 1) << c.arguments[0] << ": " << result.err;
    EXPECT_TRUE(result.err.starts_with(c.reason)) << result.err;
  }
}

TEST(Client, HelpEverywhereAndUsageErrors) {
  for (const auto& command :
       {"", "platform", "locales", "status", "install", "transcribe", "dictate"}) {
    std::vector<std::string> arguments;
    if (*command) arguments.push_back(command);
    arguments.push_back("--help");
    auto result = use(arguments);
    EXPECT_EQ(result.status, 0) << command;
    EXPECT_TRUE(result.out.starts_with("usage: vorel-speech-client")) << command;
  }
  for (const auto& arguments :
       std::vector<std::vector<std::string>>{{},
                                             {"fly"},
                                             {"status"},
                                             {"transcribe"},
                                             {"transcribe", "a.wav", "--format", "doc"},
                                             {"platform", "--frobnicate"},
                                             {"dictate", "a.wav", "b.wav"}}) {
    auto result = use(arguments);
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("usage: vorel-speech-client"), std::string::npos);
  }
}

TEST(Client, ReadableAnswersAndJsonPassedThrough) {
  EXPECT_EQ(use({"platform"}).out, "Speech is available (macOS 26.0.0).\n");
  EXPECT_EQ(use({"platform", "--json"}).out,
            "{\"floorMet\":true,\"osVersion\":\"macOS 26.0.0\"}\n");
  EXPECT_EQ(use({"locales"}).out.substr(0, 5), "en-US");
  EXPECT_EQ(use({"status", "en_US", "--json"}).out, "{\"kind\":\"installed\"}\n");
  EXPECT_EQ(use({"status", "en-US"}).out, "en-US: installed\n");
}

TEST(ClientFormat, LinesFitTheirWidth) {
  EXPECT_EQ(client::clock(3723456), "01:02:03.456");
  EXPECT_EQ(client::clock(7080, ','), "00:00:07,080");
  EXPECT_EQ(client::shortClock(125000), "2:05");
  EXPECT_EQ(client::bytes(37867520), "37.9 MB");
  for (int width : {20, 40, 79, 120}) {
    for (double fraction : {0.0, 0.5, 1.0, 7.0}) {
      auto line =
          client::progressLine("Installing fr-FR", fraction, "15.9 MB / 37.9 MB  12.3 MB/s", width);
      EXPECT_LE(line.size(), static_cast<std::size_t>(width) + 2)
          << line;  // "…" is 3 bytes, 1 column
      EXPECT_NE(line.find(fraction >= 1 ? "100%" : "%"), std::string::npos) << line;
    }
  }
  EXPECT_EQ(client::progressLine("T", 0.5, "", 20), "T [#####......]  50%");  // 20 columns
  EXPECT_EQ(client::tailToWidth("hello world", 6), "…world");
  EXPECT_EQ(client::tailToWidth("héllo", 5), "héllo");
}

}  // namespace
}  // namespace vorel::testing
