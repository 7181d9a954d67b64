// vorel-speech-client driven as people and scripts use it, against the built helper.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "ClientFormat.h"
#include "Fixtures.h"
#include "HttpServer.h"
#include "Process.h"
#include "Sha256.h"

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
  EXPECT_FALSE(nlohmann::json::parse(body, nullptr, false).is_discarded()) << body;
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

// The cues of a SubRip or WebVTT document; a malformed document fails the test.
std::vector<client::Cue> parseCues(const std::string& document, bool srt) {
  std::istringstream in(document);
  std::string line;
  if (!srt) {
    std::getline(in, line);
    EXPECT_EQ(line, "WEBVTT");
    std::getline(in, line);
    EXPECT_EQ(line, "");
  }
  std::vector<client::Cue> cues;
  while (std::getline(in, line)) {
    if (srt) {
      EXPECT_EQ(line, std::to_string(cues.size() + 1));
      if (!std::getline(in, line)) break;
    }
    client::Cue cue;
    EXPECT_EQ(line.substr(12, 5), " --> ") << line;
    EXPECT_EQ(line[8], srt ? ',' : '.') << line;
    cue.startMs = parseClock(line.substr(0, 12));
    cue.endMs = parseClock(line.substr(17));
    while (std::getline(in, line) && !line.empty()) cue.lines.push_back(line);
    EXPECT_FALSE(cue.lines.empty());
    cues.push_back(cue);
  }
  return cues;
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

  // SubRip and WebVTT: cues of times and one or two lines, a blank line after each; together
  // they hold every segment's words, within the segment's time, in order.
  for (auto format : {"srt", "vtt"}) {
    auto document = use({"transcribe", file.string(), "--format", format, "--locale", "en-US"});
    EXPECT_EQ(document.status, 0) << document.err;
    auto cues = parseCues(document.out, format == std::string("srt"));
    ASSERT_FALSE(cues.empty()) << document.out;
    std::string heard, said;
    for (const auto& segment : expected) said += (said.empty() ? "" : " ") + segment.text;
    std::size_t segment = 0;
    for (const auto& cue : cues) {
      EXPECT_LE(cue.lines.size(), 2u);
      for (const auto& line : cue.lines) EXPECT_LE(line.size(), 42u) << line;
      EXPECT_LE(cue.endMs - cue.startMs, 7000u);
      while (segment < expected.size() && cue.startMs >= expected[segment].endMs) ++segment;
      ASSERT_LT(segment, expected.size()) << "a cue after every segment";
      EXPECT_GE(cue.startMs, expected[segment].startMs);
      EXPECT_LE(cue.endMs, expected[segment].endMs);
      for (const auto& line : cue.lines) heard += (heard.empty() ? "" : " ") + line;
    }
    EXPECT_EQ(heard, said) << format;
  }
}

std::string bytesOf(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// The same reading as a file, as raw live audio, and as WAV and FLAC streams on standard input
// (told by their headers, not heard as samples) is heard the same.
TEST(Client, DictatesAFileAndStandardInputInAnyForm) {
  auto file = librivox("0880");
  auto raw = scratch() / "0880-48k.raw";
  auto wav = scratch() / "0880-stereo.wav";  // 16 kHz, two channels: not the live format
  auto flac = scratch() / "0880.flac";
  run("sox -D " + file.string() + " -r 48000 -c 1 -b 16 -e signed-integer -t raw " + raw.string());
  run("sox -D " + file.string() + " -c 2 " + wav.string());
  run("sox -D " + file.string() + " " + flac.string());

  auto fromFile = use({"dictate", file.string()});
  EXPECT_EQ(fromFile.status, 0) << fromFile.err;
  ASSERT_FALSE(fromFile.out.empty());
  EXPECT_EQ(fromFile.out.front(), '[');
  EXPECT_NE(fromFile.out.find("young man"), std::string::npos) << fromFile.out;
  for (const auto& input : {raw, wav, flac}) {
    auto fromInput = use({"dictate", "-"}, bytesOf(input));
    EXPECT_EQ(fromInput.status, 0) << input << ": " << fromInput.err;
    EXPECT_EQ(fromInput.out, fromFile.out) << input;
  }

  auto transcribed = use({"transcribe", "-", "--format", "txt"}, bytesOf(flac));
  EXPECT_EQ(transcribed.status, 0) << transcribed.err;
  EXPECT_NE(transcribed.out.find("young man"), std::string::npos) << transcribed.out;
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
  // A usage error is one line that points to the help.
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {},
           {"fly"},
           {"status"},
           {"transcribe"},
           {"transcribe", "a.wav", "--format", "doc"},
           {"platform", "--frobnicate"},
           {"dictate", "a.wav", "b.wav"},
           {"transcribe", "a.wav", "--realtime"},
           {"dictate", "--format", "srt"},
           {"status", "en-US", "--locale", "fr-FR"},
           {"transcribe", "a.wav", "--max-line-width", "30"},  // the text format has no cues
           {"transcribe", "a.wav", "--format", "srt", "--max-line-width", "0"},
           {"transcribe", "a.wav", "--format", "srt", "--max-line-width", "abc"},
           {"transcribe", "a.wav", "--format", "vtt", "--max-duration", "-3"},
           {"transcribe", "a.wav", "b.wav", "-o", "out.txt"},
           {"transcribe", "a.wav", "-o"}}) {
    auto result = use(arguments);
    std::string shown = arguments.empty() ? "(nothing)" : arguments[0];
    EXPECT_EQ(result.status, 2) << shown;
    EXPECT_EQ(linesOf(result.err).size(), 1u) << result.err;
    EXPECT_TRUE(result.err.starts_with("vorel-speech-client: ")) << result.err;
    EXPECT_NE(result.err.find("--help"), std::string::npos) << result.err;
  }
  auto version = use({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(version.out.starts_with("vorel-speech-client ")) << version.out;
}

TEST(Client, OutputFileSeveralFilesAndFormatInAnyCase) {
  auto first = scratch() / "several-0880.wav";
  auto second = scratch() / "several-0930.wav";
  std::filesystem::copy_file(librivox("0880"), first,
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::copy_file(librivox("0930"), second,
                             std::filesystem::copy_options::overwrite_existing);
  auto out = scratch() / "one.txt";
  std::filesystem::remove(out);
  auto written = use({"transcribe", first.string(), "--format", "TXT", "-o", out.string()});
  EXPECT_EQ(written.status, 0) << written.err;
  EXPECT_EQ(written.out, "");
  std::ifstream in(out);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(text.find("young man"), std::string::npos) << text;

  auto both = use({"transcribe", first.string(), second.string(), "--format", "txt"});
  EXPECT_EQ(both.status, 0) << both.err;
  auto lines = linesOf(both.out);
  ASSERT_GE(lines.size(), 4u) << both.out;
  EXPECT_EQ(lines[0], "==> " + first.string() + " <==");
  EXPECT_NE(both.out.find("\n==> " + second.string() + " <==\n"), std::string::npos) << both.out;
  EXPECT_NE(both.out.find("amiable"), std::string::npos) << both.out;

  // Subtitles of several files go beside each.
  auto beside = use({"transcribe", first.string(), second.string(), "--format", "Srt"});
  EXPECT_EQ(beside.status, 0) << beside.err;
  for (const auto& audio : {first, second}) {
    auto subtitles = std::filesystem::path(audio).replace_extension(".srt");
    std::ifstream srt(subtitles);
    std::string document((std::istreambuf_iterator<char>(srt)), {});
    EXPECT_FALSE(parseCues(document, true).empty()) << subtitles;
  }
}

// The command line as getopt_long tools read theirs; exit statuses that do not depend on --json.
TEST(Client, OptionFormsOfCommandLineTools) {
  auto reading = scratch() / "forms-0880.wav";
  std::filesystem::copy_file(librivox("0880"), reading,
                             std::filesystem::copy_options::overwrite_existing);
  auto path = reading.string();
  auto output = [](const std::string& name) {
    auto file = scratch() / ("forms-" + name);
    std::filesystem::remove(file);
    return file;
  };
  auto srt = output("out.srt"), vtt = output("out.vtt"), json = output("out.json");
  auto other = output("out.notes");
  struct Case {
    std::vector<std::string> arguments;
    std::filesystem::path file;  // where the text goes; standard output when empty
    std::string starts;          // how the text starts
  };
  for (const auto& c : std::vector<Case>{
           {{"transcribe", "--format=txt", path}, {}, "He was not"},
           {{"transcribe", path, "-o", "-"}, {}, "[00:00:0"},
           {{"transcribe", path, "-o-", "--format", "txt"}, {}, "He was not"},
           {{"transcribe", path, "-o", srt.string()}, srt, "1\n00:00:0"},
           {{"transcribe", path, "--output=" + vtt.string()}, vtt, "WEBVTT\n"},
           {{"transcribe", path, "-o" + json.string()}, json, "[{"},
           {{"transcribe", path, "-o", other.string()}, other, "[00:00:0"},
           {{"transcribe", "--format", "txt", "--", path}, {}, "He was not"},
       }) {
    auto result = use(c.arguments);
    std::string shown = c.arguments[1] + " " + c.arguments[2];
    EXPECT_EQ(result.status, 0) << shown << ": " << result.err;
    std::string text = c.file.empty() ? result.out : bytesOf(c.file);
    EXPECT_TRUE(text.starts_with(c.starts)) << shown << ": " << text;
    EXPECT_NE(text.find("oung man"), std::string::npos) << shown << ": " << text;
    if (!c.file.empty()) {
      EXPECT_EQ(result.out, "") << shown;
    }
  }
  EXPECT_FALSE(std::filesystem::exists("-")) << "-o - wrote a file named -";

  // "--" lets a file start with a dash.
  auto dashed = scratch() / "-dashed.wav";
  std::filesystem::copy_file(librivox("0880"), dashed,
                             std::filesystem::copy_options::overwrite_existing);
  ProcessOptions inScratch;
  inScratch.arguments = {"-c", R"(cd "$1" && exec "$0" transcribe --format txt -- -dashed.wav)",
                         client, scratch().string()};
  inScratch.environment = {"XDG_DATA_HOME=" + (scratch() / "client-home").string()};
  auto fromDashed = runProcess("/bin/sh", "", inScratch);
  EXPECT_EQ(fromDashed.status, 0) << fromDashed.err;
  EXPECT_TRUE(fromDashed.out.starts_with("He was not")) << fromDashed.out;

  EXPECT_EQ(use({"help", "transcribe"}).out, use({"transcribe", "--help"}).out);
  EXPECT_EQ(use({"help"}).out, use({"--help"}).out);

  // Near misses are named; outcomes keep their status with --json.
  struct Usage {
    std::vector<std::string> arguments;
    int status;
    std::string said;
  };
  for (const auto& c : std::vector<Usage>{
           {{"trancribe", path}, 2, "did you mean transcribe?"},
           {{"help", "dictat"}, 2, "did you mean dictate?"},
           {{"transcribe", path, "--fromat", "srt"}, 2, "did you mean --format?"},
           {{"transcribe", path, "--format", "str"}, 2, "did you mean srt?"},
           {{"platform", "--json=yes"}, 2, "--json takes no value"},
           {{"xyzzy"}, 2, "unknown command xyzzy ("},
           {{"status", "xx-YY", "--json"}, 1, ""},
           {{"status", "xx-YY"}, 1, "xx-YY: not supported"},
           {{"status", "en-US", "--json"}, 0, ""},
       }) {
    auto result = use(c.arguments);
    EXPECT_EQ(result.status, c.status) << c.arguments[0] << ": " << result.err;
    EXPECT_NE((result.err + result.out).find(c.said), std::string::npos)
        << c.arguments[0] << ": " << result.err << result.out;
  }
}

// Standard input in every form people pipe: MP3 with a tag, an empty tag or none (told by its
// frames), raw samples also for transcribe; failures name standard input, never a file the client
// made; a name that is not UTF-8 is still transcribed.
TEST(Client, StandardInputAndNamesInAnyForm) {
  auto reading = librivox("0880");
  auto tagged = scratch() / "0880.mp3";
  auto raw = scratch() / "0880-stdin-48k.raw";
  run("sox -D " + reading.string() + " -r 44100 " + tagged.string());
  run("sox -D " + reading.string() + " -r 48000 -c 1 -b 16 -e signed-integer -t raw " +
      raw.string());
  // The frames alone (without the tag sox may write), then with a tag holding a title, and with
  // an empty tag.
  std::string untagged = bytesOf(tagged);
  if (untagged.starts_with("ID3")) {
    std::size_t tagSize = 10;
    for (int i = 6; i < 10; ++i) {
      tagSize += static_cast<std::size_t>(untagged[i] & 0x7f) << (7 * (9 - i));
    }
    untagged = untagged.substr(tagSize);
  }
  ASSERT_EQ(static_cast<unsigned char>(untagged[0]), 0xff);
  std::string title("TIT2\0\0\0\x06\0\0\0Walks", 15);
  std::string mp3 =
      std::string("ID3\x03\0\0\0\0\0", 9) + static_cast<char>(title.size()) + title + untagged;
  std::string emptyTag = std::string("ID3\x03\0\0\0\0\0\0", 10) + untagged;
  struct Input {
    std::string name;
    std::string bytes;
  };
  auto aiff = scratch() / "0880.aiff";
  auto au = scratch() / "0880.au";
  run("sox -D " + reading.string() + " " + aiff.string());
  run("sox -D " + reading.string() + " " + au.string());
  for (const auto& input : std::vector<Input>{{"MP3 with its tag", mp3},
                                              {"MP3 without a tag", untagged},
                                              {"MP3 with an empty tag", emptyTag},
                                              {"AIFF", bytesOf(aiff)},
                                              {"AU", bytesOf(au)},
                                              {"raw samples", bytesOf(raw)}}) {
    for (const auto& command : {"dictate", "transcribe"}) {
      auto result = use({command, "-"}, input.bytes);
      EXPECT_EQ(result.status, 0) << input.name << ", " << command << ": " << result.err;
      EXPECT_NE(result.out.find("young man"), std::string::npos)
          << input.name << ", " << command << ": " << result.out;
    }
  }
  for (const auto& input : std::vector<Input>{
           {"standard input is empty", ""},
           {"holds an ID3 tag and no MP3 audio after it",
            std::string("ID3\x03\0\0\0\0\0\0", 10) + std::string(4000, 'x')},
           // Input that is no audio is not heard as raw samples.
           {"standard input holds text, not audio", "# Notes\n\nA README, not a recording.\n"},
           {"standard input holds a PDF document, not audio",
            "%PDF-1.4\n" + std::string(6000, '\0')},
           {"MP4 or M4A, which is not read", std::string("\0\0\0\x20"
                                                         "ftypM4A \0\0\0\0",
                                                         16) +
                                                 std::string(6000, '\x01')},
       }) {
    for (const auto& command : {"dictate", "transcribe"}) {
      auto result = use({command, "-"}, input.bytes);
      EXPECT_EQ(result.status, 1) << command << ": " << result.err;
      EXPECT_NE(result.err.find(input.name), std::string::npos) << command << ": " << result.err;
    }
  }
  // Silence is no failure, but is said.
  for (const auto& command : {"dictate", "transcribe"}) {
    auto silence = use({command, "-"}, std::string(96000, '\0'));
    EXPECT_EQ(silence.status, 0) << command << ": " << silence.err;
    EXPECT_EQ(silence.out, "") << command;
    EXPECT_NE(silence.err.find("no speech was heard in standard input"), std::string::npos)
        << command << ": " << silence.err;
  }
  // An Ogg header with nothing readable after it: the helper's failure names standard input.
  auto broken = use({"transcribe", "-"}, "OggS" + std::string(4000, '\x01'));
  EXPECT_EQ(broken.status, 1);
  EXPECT_NE(broken.err.find("standard input"), std::string::npos) << broken.err;
  EXPECT_EQ(broken.err.find("/dev/fd"), std::string::npos) << broken.err;
  EXPECT_EQ(broken.err.find("/tmp"), std::string::npos) << broken.err;

  auto latin1 = scratch() / "caf\xe9-0880.wav";  // "café" in Latin-1: not UTF-8
  std::filesystem::copy_file(reading, latin1, std::filesystem::copy_options::overwrite_existing);
  auto named = use({"transcribe", "--format", "txt", latin1.string()});
  EXPECT_EQ(named.status, 0) << named.err;
  EXPECT_NE(named.out.find("young man"), std::string::npos) << named.out;
}

// With this process a subreaper, a helper the client left behind becomes its child: whether
// one is still running after a minute (children that have ended are reaped).
bool childLeftRunning() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  pid_t child;
  int status;
  while ((child = waitpid(-1, &status, WNOHANG)) >= 0 &&
         std::chrono::steady_clock::now() < deadline) {
    if (child == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return child != -1;
}

// Ctrl-C in the middle of a transcription: the helper is stopped and reaped, what was done is a
// whole document, the exit status is 130.
TEST(Client, CtrlCStopsTheHelperAndKeepsAWholeDocument) {
  // Orphans are handed to this process instead of init, so a helper left behind is seen.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  auto file = scratch() / "readings.wav";
  std::string list;
  for (auto n : {"0870", "0880", "0890", "0920", "0930", "0870", "0880", "0890"}) {
    list += librivox(n).string() + " ";
  }
  run("sox -D " + list + file.string());
  struct Case {
    const char* format;
    std::function<bool(const std::string&)> begun;
  } cases[] = {
      {"srt", [](const std::string& out) { return out.find(" --> ") != std::string::npos; }},
      {"json", [](const std::string& out) { return out.find('{') != std::string::npos; }},
  };
  for (const auto& c : cases) {
    ProcessOptions options;
    options.arguments = {"transcribe", file.string(), "--format", c.format};
    options.environment = {"XDG_DATA_HOME=" + (scratch() / "client-home").string()};
    options.killWhen = c.begun;
    options.killSignal = SIGINT;
    auto result = runProcess(client, "", options);
    EXPECT_EQ(result.status, 130) << c.format << ": " << result.err;
    if (std::string(c.format) == "srt") {
      EXPECT_FALSE(parseCues(result.out, true).empty()) << result.out;
    } else {
      auto document = nlohmann::json::parse(result.out, nullptr, false);
      ASSERT_FALSE(document.is_discarded()) << result.out;
      EXPECT_TRUE(document.is_array() && !document.empty()) << result.out;
    }
    EXPECT_NE(result.err.find("stopped"), std::string::npos) << result.err;
    EXPECT_FALSE(childLeftRunning()) << "a helper was left behind";
  }
}

TEST(Client, ReadableAnswersAndJsonPassedThrough) {
  EXPECT_EQ(use({"platform"}).out, "Speech is available (speech services level 26.0.0).\n");
  EXPECT_EQ(use({"platform", "--json"}).out,
            "{\"floorMet\":true,\"osVersion\":\"macOS 26.0.0\"}\n");
  EXPECT_EQ(use({"locales"}).out.substr(0, 5), "en-US");
  EXPECT_EQ(use({"status", "en_US", "--json"}).out, "{\"kind\":\"installed\"}\n");
  EXPECT_EQ(use({"status", "en-US"}).out, "en-US: installed\n");
}

// Ctrl-C, SIGTERM or SIGHUP in the middle of an installation: the helper is stopped, nothing is
// installed and nothing of the download left, 128 + the signal.
TEST(Client, AStopSignalEndsAnInstallationAndLeavesNothingInstalled) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  auto archive = scratch() / "ctrl-c-model.tar";
  run("tar -cf " + archive.string() + " -C /usr/share/pocketsphinx/model en-us");
  std::string bytes = bytesOf(archive);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    HttpServer server;
    server.serve("/fr.tar", bytes, HttpServer::Fault::stallHalfway);
    auto home = scratch() / "ctrl-c-install";
    std::filesystem::remove_all(home);
    std::filesystem::create_directories(home / "vorel-speech");
    std::ofstream(home / "vorel-speech" / "catalog.json")
        << R"({"models":[{"locale":"fr-FR","url":")" << server.url("/fr.tar") << R"(","sha256":")"
        << linuxplatform::sha256Hex(bytes) << R"(","size":)" << bytes.size() << "}]}";
    ProcessOptions options;
    options.arguments = {"install", "fr-FR", "--json"};
    options.environment = {"XDG_DATA_HOME=" + home.string()};
    options.killWhen = [](const std::string& out) { return out.find("downloading") != out.npos; };
    options.killSignal = signal;
    auto result = runProcess(client, "", options);
    server.release();
    EXPECT_EQ(result.status, 128 + signal) << strsignal(signal) << ": " << result.err;
    EXPECT_NE(result.err.find("stopped: fr-FR is not installed"), std::string::npos) << result.err;
    EXPECT_FALSE(childLeftRunning()) << strsignal(signal) << ": a helper was left behind";
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home)) {
      EXPECT_EQ(entry.path().filename().string().find(".partial-"), std::string::npos)
          << strsignal(signal) << ": left behind: " << entry.path();
    }
    ProcessOptions asking;
    asking.arguments = {"status", "fr-FR"};
    asking.environment = {"XDG_DATA_HOME=" + home.string()};
    auto after = runProcess(client, "", asking);
    EXPECT_TRUE(after.out.starts_with("fr-FR: supported, not installed")) << after.out;
  }
}

// Without --locale: the user's locale when installed, else the first installed, said; the
// installed ones marked; a catalog that does not parse reported.
TEST(Client, ChoosesAnInstalledLocaleAndReportsABrokenCatalog) {
  auto home = scratch() / "locale-home";
  std::filesystem::remove_all(home);
  std::filesystem::create_directories(home / "vorel-speech");
  auto catalog = home / "vorel-speech" / "catalog.json";
  auto run = [&](std::vector<std::string> arguments, const std::string& lang) {
    ProcessOptions options;
    options.arguments = std::move(arguments);
    options.environment = {"XDG_DATA_HOME=" + home.string(), "LANG=" + lang,
                           "LC_ALL=", "LC_MESSAGES="};
    return runProcess(client, "", options);
  };
  auto reading = librivox("0930").string();

  std::ofstream(catalog) << R"({"models":[{"locale":"fr-FR","url":"https://example.org/fr.tgz"}]})";
  auto listed = run({"locales"}, "fr_FR.UTF-8");
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out, "fr-FR, en-US (installed)\n");
  auto french = run({"transcribe", reading, "--format", "txt"}, "fr_FR.UTF-8");
  EXPECT_EQ(french.status, 0) << french.err;
  EXPECT_NE(french.out.find("amiable"), std::string::npos);
  EXPECT_NE(french.err.find("using en-US: fr-FR is not installed (vorel-speech-client install "
                            "fr-FR)"),
            std::string::npos)
      << french.err;
  auto english = run({"transcribe", reading, "--format", "txt"}, "en_US.UTF-8");
  EXPECT_EQ(english.status, 0);
  EXPECT_EQ(english.err, "") << "the user's own locale needs no word";

  std::ofstream(catalog) << "{\"models\": [\n  {\"locale\": \"fr-FR\"\n";
  auto broken = run({"locales"}, "en_US.UTF-8");
  EXPECT_EQ(broken.status, 0);
  EXPECT_EQ(broken.out, "en-US (installed)\n");
  EXPECT_NE(broken.err.find(catalog.string() + ": parse error at line 3"), std::string::npos)
      << broken.err;
}

TEST(ClientFormat, CuesKeepToTheirLayoutAndLoseNoWord) {
  const std::string phrase =
      "today i woke up early and went for a long walk by the river and the morning was cold but "
      "the sun came out after breakfast and i called my sister to ask about her new job";
  struct Case {
    std::string text;
    std::uint64_t startMs, endMs;
    client::CueLayout layout;
    std::size_t fewest;  // cues at the least
  } cases[] = {
      {"he was not an ill disposed young man", 1000, 3000, {}, 1},
      {phrase, 0, 7000, {}, 2},          // 169 characters: two lines of 42 hold 85 at most
      {phrase, 5000, 24000, {}, 3},      // 19 s: at most 7 s a cue
      {phrase, 0, 7000, {20, 2000}, 5},  // 41 characters a cue at most
      {"supercalifragilisticexpialidociousness is long", 0, 2000, {10, 7000}, 1},
  };
  for (const auto& c : cases) {
    auto cues = client::cuesOf({c.text, c.startMs, c.endMs}, c.layout);
    EXPECT_GE(cues.size(), c.fewest) << c.text;
    std::string words;
    std::uint64_t at = c.startMs;
    for (const auto& cue : cues) {
      EXPECT_EQ(cue.startMs, at) << "cues follow each other";
      EXPECT_LE(cue.startMs, cue.endMs);
      EXPECT_LE(cue.endMs - cue.startMs, c.layout.maxDurationMs) << cue.lines[0];
      ASSERT_FALSE(cue.lines.empty());
      EXPECT_LE(cue.lines.size(), 2u);
      for (const auto& line : cue.lines) {
        bool oneWord = line.find(' ') == std::string::npos;
        EXPECT_TRUE(line.size() <= static_cast<std::size_t>(c.layout.maxLineWidth) || oneWord)
            << line;
        words += (words.empty() ? "" : " ") + line;
      }
      at = cue.endMs;
    }
    EXPECT_EQ(at, c.endMs);
    EXPECT_EQ(words, c.text);
  }
  EXPECT_TRUE(client::cuesOf({"", 0, 1000}, {}).empty());
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
