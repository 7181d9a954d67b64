// Locales, asset states and file transcription through the built helper on the real platform:
// PocketSphinx, libsndfile and libsoxr, over real pipes.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "Fixtures.h"
#include "Process.h"
#include "SpeechWire.h"

namespace vorel::testing {
namespace {

const std::string helper = VOREL_HELPER;

std::vector<std::string> realEnvironment() {
  auto data = scratch() / "data-home";
  std::filesystem::create_directories(data);
  return {"LANG=en_US.UTF-8", "LC_ALL=", "LC_MESSAGES=", "XDG_DATA_HOME=" + data.string()};
}

ProcessResult ask(const std::string& request) {
  ProcessOptions options;
  options.environment = realEnvironment();
  return runProcess(helper, request + "\n", options);
}

std::string transcribeRequest(const std::filesystem::path& file) {
  return R"({"op":"transcribe","locale":"en-US","path":")" + file.string() + "\"}";
}

// The events of a run, decoded, with the checks every transcription must pass: one terminal
// event, last; a progress event after every result; nothing on standard error.
std::vector<SpeechEvent> transcribe(const std::filesystem::path& file) {
  auto result = ask(transcribeRequest(file));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  std::vector<SpeechEvent> events;
  for (const auto& line : linesOf(result.out)) {
    auto event = Wire::decode<SpeechEvent>(line);
    EXPECT_TRUE(event.has_value()) << line;
    if (event) events.push_back(*event);
  }
  return events;
}

std::vector<SpeechSegment> segmentsOf(const std::vector<SpeechEvent>& events) {
  std::vector<SpeechSegment> segments;
  for (const auto& e : events) {
    if (auto* s = std::get_if<SpeechEvent::Segments>(&e.value)) {
      EXPECT_EQ(s->segments.size(), 1u);
      segments.insert(segments.end(), s->segments.begin(), s->segments.end());
    }
  }
  return segments;
}

std::string textOf(const std::vector<SpeechSegment>& segments) {
  std::string text;
  for (const auto& s : segments) text += (text.empty() ? "" : " ") + s.text;
  return text;
}

void expectWellFormedRun(const std::vector<SpeechEvent>& events, std::uint64_t durationMs) {
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), SpeechEvent::done());
  std::uint64_t lastStart = 0, lastDone = 0;
  for (std::size_t i = 0; i + 1 < events.size(); ++i) {
    const auto& e = events[i];
    EXPECT_FALSE(e.isTerminal()) << "only the last event ends the run";
    if (e.is<SpeechEvent::Segments>()) {
      ASSERT_TRUE(events[i + 1].is<SpeechEvent::Progress>()) << "a progress follows each segment";
      const auto& segment = std::get<SpeechEvent::Segments>(e.value).segments.front();
      EXPECT_LT(segment.startMs, segment.endMs);
      EXPECT_LE(segment.endMs, durationMs);
      EXPECT_FALSE(segment.text.empty());
      EXPECT_GE(segment.startMs, lastStart) << "segments come in time order";
      lastStart = segment.startMs;
    }
    if (auto* p = std::get_if<SpeechEvent::Progress>(&e.value)) {
      EXPECT_EQ(p->total, durationMs);
      EXPECT_LE(p->done, p->total);
      EXPECT_GE(p->done, lastDone) << "progress never goes back";
      lastDone = p->done;
    }
  }
}

TEST(RealPlatform, ListsAndResolvesLocales) {
  auto locales = ask(R"({"op":"locales"})");
  auto line = Wire::decode<LocalesLine>(linesOf(locales.out).at(0));
  ASSERT_TRUE(line.has_value());
  ASSERT_FALSE(line->locales.empty());
  EXPECT_EQ(line->locales.front(), "en-US");

  for (const auto& [locale, answer] : std::vector<std::pair<std::string, std::string>>{
           {"en-US", R"({"kind":"installed"})"},
           {"en_us", R"({"kind":"installed"})"},
           {"en", R"({"kind":"installed"})"},
           {"fr-FR", R"({"kind":"unsupported"})"},
           {"../../etc", R"({"kind":"unsupported"})"},
       }) {
    auto result = ask(R"({"op":"asset-state","locale":")" + locale + "\"}");
    EXPECT_EQ(linesOf(result.out), std::vector<std::string>{answer}) << locale;
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
  }
}

TEST(RealPlatform, TranscribesARecordedReading) {
  auto events = transcribe(librivox("0870"));
  expectWellFormedRun(events, 7100);
  auto segments = segmentsOf(events);
  ASSERT_FALSE(segments.empty());
  double wer = wordErrorRate(librivoxTranscript("0870"), textOf(segments));
  std::printf("word error rate against the transcript: %.2f\n", wer);
  EXPECT_LT(wer, 0.5) << textOf(segments);
}

TEST(RealPlatform, TranscribesOtherRatesChannelsAndFormats) {
  auto wav = librivox("0880");
  auto flac = scratch() / "0880-44k-stereo.flac";
  auto ogg = scratch() / "0880-44k-stereo.ogg";
  run("sox -D " + wav.string() + " -r 44100 -c 2 " + flac.string());
  run("sox -D " + wav.string() + " -r 44100 -c 2 " + ogg.string());
  for (const auto& file : {flac, ogg}) {
    auto events = transcribe(file);
    expectWellFormedRun(events, 2990);
    auto text = textOf(segmentsOf(events));
    EXPECT_LE(wordErrorRate(librivoxTranscript("0880"), text), 0.4) << file << ": " << text;
    EXPECT_NE(text.find("young man"), std::string::npos) << text;
  }
}

const std::vector<std::string> threePhrases = {"the quick brown fox jumps over the lazy dog",
                                               "good morning how are you today",
                                               "please call me tomorrow afternoon"};

// Where a clean recording's speech is, in seconds: 10 ms frames louder than a whisper, grouped
// across short gaps.
std::vector<std::pair<double, double>> speechIn(const std::filesystem::path& file) {
  std::vector<std::pair<double, double>> speech;
  auto samples = readWav16(file);
  for (std::size_t f = 0; f * 160 + 160 <= samples.size(); ++f) {
    double sum = 0;
    for (std::size_t i = 0; i < 160; ++i) sum += std::pow(samples[f * 160 + i], 2);
    if (std::sqrt(sum / 160) < 100) continue;
    double at = f * 0.01;
    if (!speech.empty() && at - speech.back().second < 0.5) {
      speech.back().second = at + 0.01;
    } else {
      speech.push_back({at, at + 0.01});
    }
  }
  return speech;
}

// The three phrases apart by known silences (1, 2, 1.5 and 1 s), and where their speech really
// is.
struct ThreePhrases {
  std::filesystem::path file;
  std::vector<std::pair<double, double>> speech;
};

const ThreePhrases& threePhraseRecording() {
  static const ThreePhrases recording = [] {
    const std::vector<double> gaps = {1.0, 2.0, 1.5, 1.0};  // before, between and after
    std::string parts;
    for (std::size_t i = 0; i < threePhrases.size(); ++i) {
      auto raw = scratch() / ("phrase" + std::to_string(i) + ".wav");
      auto wav = scratch() / ("phrase" + std::to_string(i) + "-16k.wav");
      run("flite -voice slt -t '" + threePhrases[i] + "' -o " + raw.string());
      run("sox -D " + raw.string() + " -r 16000 -c 1 -b 16 " + wav.string());
      auto gap = scratch() / ("gap" + std::to_string(i) + ".wav");
      run("sox -D -n -r 16000 -c 1 -b 16 " + gap.string() + " trim 0 " + std::to_string(gaps[i]));
      parts += gap.string() + " " + wav.string() + " ";
    }
    auto tail = scratch() / "gap-tail.wav";
    run("sox -D -n -r 16000 -c 1 -b 16 " + tail.string() + " trim 0 " +
        std::to_string(gaps.back()));
    ThreePhrases made{scratch() / "three-phrases.wav", {}};
    run("sox -D " + parts + tail.string() + " " + made.file.string());
    made.speech = speechIn(made.file);
    return made;
  }();
  return recording;
}

// Each segment lies where its phrase's speech does.
void expectSegmentsOnThePhrases(const std::vector<SpeechSegment>& segments) {
  const auto& speech = threePhraseRecording().speech;
  ASSERT_EQ(speech.size(), threePhrases.size());
  ASSERT_EQ(segments.size(), threePhrases.size()) << textOf(segments);
  for (std::size_t i = 0; i < threePhrases.size(); ++i) {
    SCOPED_TRACE(segments[i].text);
    EXPECT_NEAR(segments[i].startMs / 1000.0, speech[i].first, 0.3);
    EXPECT_NEAR(segments[i].endMs / 1000.0, speech[i].second, 0.3);
  }
}

TEST(RealPlatform, SegmentTimesAreTrueToTheAudio) {
  auto segments = segmentsOf(transcribe(threePhraseRecording().file));
  expectSegmentsOnThePhrases(segments);
  for (std::size_t i = 0; i < segments.size() && i < threePhrases.size(); ++i) {
    EXPECT_LE(wordErrorRate(threePhrases[i], segments[i].text), 0.34) << segments[i].text;
  }
}

// Pink noise about 15 dB below the speech, from the very start: the phrases are still found
// where they are, and the noise is taken out before the recogniser hears them (without that, the
// second phrase comes out as "my name down an saying").
TEST(RealPlatform, NoiseIsSuppressedAndThePhrasesStillFound) {
  auto clean = threePhraseRecording().file;
  auto noise = scratch() / "pink.wav";
  auto noisy = scratch() / "three-phrases-noisy.wav";
  run("sox -R -D -n -r 16000 -c 1 -b 16 " + noise.string() + " synth $(soxi -D " + clean.string() +
      ") pinknoise vol 0.1");
  run("sox -D -m " + clean.string() + " " + noise.string() + " " + noisy.string());
  auto segments = segmentsOf(transcribe(noisy));
  expectSegmentsOnThePhrases(segments);
  ASSERT_EQ(segments.size(), 3u);
  EXPECT_EQ(wordErrorRate(threePhrases[1], segments[1].text), 0) << segments[1].text;
  std::string reference;
  for (const auto& phrase : threePhrases) reference += phrase + " ";
  double wer = wordErrorRate(reference, textOf(segments));
  std::printf("noisy three phrases: %s (word error rate %.2f)\n", textOf(segments).c_str(), wer);
  EXPECT_LE(wer, 0.4);
}

// A phrase in noise as loud as the speech itself: an energy detector on the noisy audio hears
// only its loudest syllable; after the noise is taken out the whole phrase is found.
TEST(RealPlatform, APhraseInLoudNoiseIsFoundWhole) {
  auto raw = scratch() / "loud-noise-raw.wav";
  auto phrase = scratch() / "loud-noise-phrase.wav";
  auto gap = scratch() / "loud-noise-gap.wav";
  auto clean = scratch() / "loud-noise-clean.wav";
  run("flite -voice slt -t 'please call me tomorrow afternoon' -o " + raw.string());
  run("sox -D " + raw.string() + " -r 16000 -c 1 -b 16 " + phrase.string());
  run("sox -D -n -r 16000 -c 1 -b 16 " + gap.string() + " trim 0 2");
  run("sox -D " + gap.string() + " " + phrase.string() + " " + gap.string() + " " + clean.string());
  auto noise = scratch() / "loud-pink.wav";
  auto noisy = scratch() / "loud-noise-noisy.wav";
  run("sox -R -D -n -r 16000 -c 1 -b 16 " + noise.string() + " synth $(soxi -D " + clean.string() +
      ") pinknoise vol 0.5");
  run("sox -D -m " + clean.string() + " " + noise.string() + " " + noisy.string());
  auto speech = speechIn(clean);
  ASSERT_EQ(speech.size(), 1u);
  auto segments = segmentsOf(transcribe(noisy));
  ASSERT_EQ(segments.size(), 1u) << textOf(segments);
  EXPECT_NEAR(segments[0].startMs / 1000.0, speech[0].first, 0.3);
  EXPECT_NEAR(segments[0].endMs / 1000.0, speech[0].second, 0.3);
}

// Utterances are decoded on every core: a long file's results still come back in time order,
// each where its own phrase is, with progress that never goes back.
TEST(RealPlatform, ManyPhrasesComeBackInOrder) {
  auto once = threePhraseRecording().file;
  auto four = scratch() / "three-phrases-four-times.wav";
  run("sox -D " + once.string() + " " + once.string() + " " + once.string() + " " + once.string() +
      " " + four.string());
  auto events = transcribe(four);
  double seconds = readWav16(four).size() / 16000.0;
  expectWellFormedRun(events, static_cast<std::uint64_t>(std::llround(seconds * 1000)));
  auto segments = segmentsOf(events);
  ASSERT_EQ(segments.size(), 12u) << textOf(segments);
  double length = readWav16(once).size() / 16000.0;
  const auto& speech = threePhraseRecording().speech;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    SCOPED_TRACE(segments[i].text);
    EXPECT_NEAR(segments[i].startMs / 1000.0, (i / 3) * length + speech[i % 3].first, 0.3);
    EXPECT_LE(wordErrorRate(threePhrases[i % 3], segments[i].text), 0.34);
  }
}

// Twenty seconds of speech without a pause long enough to end an utterance come back as
// phrases a reader can take in, and lose nothing at the start. It is one sentence: only its
// first phrase starts with a capital.
TEST(RealPlatform, ALongStretchOfSpeechComesBackInPhrases) {
  const std::string paragraph =
      "the quick brown fox jumps over the lazy dog while the farmer watches from his porch and "
      "wonders about the weather that will come tomorrow because the radio said there would be "
      "rain across the valley and the hills and the children would have to stay inside all day "
      "reading books and playing games with their grandmother who always tells the best stories "
      "about the old days when she was young and the town was much smaller than it is now";
  auto raw = scratch() / "paragraph.wav";
  run("flite -voice slt -t '" + paragraph + "' -o " + raw.string());
  auto segments = segmentsOf(transcribe(raw));
  ASSERT_GE(segments.size(), 3u) << textOf(segments);
  std::uint64_t previousEnd = 0;
  for (const auto& segment : segments) {
    SCOPED_TRACE(segment.text);
    EXPECT_LE(segment.endMs - segment.startMs, 7100u);
    EXPECT_GE(segment.startMs, previousEnd);
    EXPECT_EQ(std::isupper(static_cast<unsigned char>(segment.text[0])) != 0,
              &segment == &segments.front());
    previousEnd = segment.endMs;
  }
  EXPECT_LT(segments.front().startMs, 500u) << "the first words are there";
  EXPECT_LE(wordErrorRate(paragraph, textOf(segments)), 0.3) << textOf(segments);
}

TEST(RealPlatform, FilesThatCannotBeReadFailOnceWithAReason) {
  auto notAudio = scratch() / "notes.wav";
  std::ofstream(notAudio) << "these are not the samples you are looking for\n";
  struct Case {
    std::filesystem::path path;
    std::string reason;
  };
  for (const auto& c : std::vector<Case>{
           {scratch() / "missing.wav",
            "there is no audio file at " + (scratch() / "missing.wav").string()},
           {scratch(), scratch().string() + " is a folder, not an audio file"},
           {notAudio, "the audio file " + notAudio.string() + " could not be read"},
       }) {
    auto result = ask(transcribeRequest(c.path));
    auto lines = linesOf(result.out);
    ASSERT_EQ(lines.size(), 1u) << result.out;
    auto event = Wire::decode<SpeechEvent>(lines[0]);
    ASSERT_TRUE(event && event->is<SpeechEvent::Failed>()) << lines[0];
    EXPECT_TRUE(std::get<SpeechEvent::Failed>(event->value).reason.starts_with(c.reason))
        << lines[0];
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
  }
}

}  // namespace
}  // namespace vorel::testing
