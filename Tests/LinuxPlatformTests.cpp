// The real platform's locales and model store, in process.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "Fixtures.h"
#include "FrontEnd.h"
#include "LinuxPlatform.h"
#include "Locales.h"
#include "SoxrConverter.h"
#include "SpeechEngine.h"
#include "SpeechListening.h"
#include "Transcript.h"

namespace vorel::linuxplatform {
namespace {

TEST(Locales, RenderAsBcp47) {
  for (const auto& [name, canonical] :
       std::vector<std::pair<std::string, std::optional<std::string>>>{
           {"en_US.UTF-8", "en-US"},
           {"en-us", "en-US"},
           {"EN_us@euro", "en-US"},
           {"zh_hans_cn", "zh-Hans-CN"},
           {"es-419", "es-419"},
           {"fr", "fr"},
           {"C", std::nullopt},
           {"POSIX", std::nullopt},
           {"", std::nullopt},
           {"../x", std::nullopt},
           {"en US", std::nullopt},
       }) {
    EXPECT_EQ(canonicalLocale(name), canonical) << name;
  }
}

TEST(Locales, EquivalentToWhatIsOffered) {
  const std::vector<std::string> offered = {"de-DE", "en-US", "en-GB"};
  for (const auto& [asked, equivalent] :
       std::vector<std::pair<std::string, std::optional<std::string>>>{
           {"en-US", "en-US"},
           {"en_US", "en-US"},
           {"en-us", "en-US"},
           {"en_GB.UTF-8", "en-GB"},
           {"en", "en-US"},  // a language alone takes its first offered locale
           {"de", "de-DE"},
           {"en-AU", std::nullopt},
           {"fr", std::nullopt},
           {"", std::nullopt},
       }) {
    EXPECT_EQ(equivalentLocale(asked, offered), equivalent) << asked;
  }
}

// A store in a folder of the test's own, with a catalog entry and a model copied in.
struct Store {
  std::filesystem::path root = testing::scratch() / "store";
  ModelStore::Locations locations{
      {"/usr/share/pocketsphinx/model"}, root / "models", {root / "catalog.json"}};
  Store() {
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(locations.userStore);
    std::ofstream(root / "catalog.json")
        << R"({"models":[{"locale":"fr_FR","url":"http://127.0.0.1:9/fr.tar.gz","sha256":"AB12"},)"
        << R"({"url":"no locale"},{"locale":"de-DE","url":"http://127.0.0.1:9/de.tar.gz"}]})";
  }
  void installCopyAs(const std::string& locale) {
    std::filesystem::copy("/usr/share/pocketsphinx/model/en-us", locations.userStore / locale,
                          std::filesystem::copy_options::recursive);
  }
};

TEST(ModelStore, OffersSystemStoredAndCatalogedLocales) {
  Store store;
  store.installCopyAs("de-DE");
  ModelStore models(store.locations);
  EXPECT_EQ(models.offeredLocales(), (std::vector<std::string>{"en-US", "de-DE", "fr-FR"}));
  EXPECT_TRUE(models.installedModel("en-US"));
  EXPECT_TRUE(models.installedModel("de-DE"));
  EXPECT_FALSE(models.installedModel("fr-FR"));
  EXPECT_FALSE(models.installedModel("../../../usr/share/pocketsphinx/model/en-us"));
  auto entry = models.catalogEntry("fr-FR");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->sha256, "ab12");
}

TEST(ModelStore, SaysWhyACatalogIsSkipped) {
  Store store;
  auto catalog = store.root / "catalog.json";
  EXPECT_TRUE(ModelStore(store.locations).catalogProblems().empty());
  struct Case {
    std::string text;  // nothing: a folder in its place
    std::string problem;
  } cases[] = {
      {"{\"models\":[\n{\"locale\":\"fr-FR\",}\n]}", "parse error at line 2, column 19"},
      {"{\"model\":[]}", "no \"models\" list"},
      {"", "not a readable file"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(catalog);
    if (c.text.empty()) {
      std::filesystem::create_directory(catalog);
    } else {
      std::ofstream(catalog) << c.text;
    }
    auto problems = ModelStore(store.locations).catalogProblems();
    ASSERT_EQ(problems.size(), 1u) << c.problem;
    EXPECT_TRUE(problems[0].starts_with(catalog.string() + ": ")) << problems[0];
    EXPECT_NE(problems[0].find(c.problem), std::string::npos) << problems[0];
  }
  std::filesystem::remove_all(catalog);
  EXPECT_TRUE(ModelStore(store.locations).catalogProblems().empty()) << "no catalog is fine";
}

TEST(ModelStore, AssetStatesFollowTheStore) {
  Store store;
  LinuxSpeechPlatform platform{ModelStore(store.locations)};
  EXPECT_EQ(SpeechEngine::assetState(platform, "en_US"), AssetState::installed());
  EXPECT_EQ(SpeechEngine::assetState(platform, "fr"), AssetState::supported());
  EXPECT_EQ(SpeechEngine::assetState(platform, "ja-JP"), AssetState::unsupported());
  store.installCopyAs("fr-FR");
  EXPECT_EQ(SpeechEngine::assetState(platform, "fr-FR"), AssetState::installed());
}

TEST(ModelStore, AModelMissingAPartIsNotInstalled) {
  Store store;
  store.installCopyAs("fr-FR");
  std::filesystem::remove(store.locations.userStore / "fr-FR" / "cmudict-en-us.dict");
  EXPECT_FALSE(ModelStore(store.locations).installedModel("fr-FR"));
  auto missing = findModel(store.locations.userStore / "fr-FR");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "no dictionary");
}

}  // namespace
}  // namespace vorel::linuxplatform

namespace vorel::linuxplatform {
namespace {

void append(std::vector<std::int16_t>& out, const PcmBuffer& buffer) {
  for (std::uint32_t i = 0; i < buffer.frameLength; ++i) {
    out.push_back(buffer.format.commonFormat == CommonFormat::int16
                      ? buffer.int16[i]
                      : static_cast<std::int16_t>(buffer.float32[i] * 32767));
  }
}

// Converts a second of a 440 Hz tone, in 100 ms chunks, the way a live session does; with
// flushed, what the converter holds at the end too.
std::vector<std::int16_t> convertTone(double analyzerRate, CommonFormat type,
                                      bool flushed = false) {
  const AudioFormat input = SpeechSession::inputFormat();
  const AudioFormat analyzer{type, analyzerRate, 1, true};
  auto converter = SoxrConverter::make(input, analyzer);
  EXPECT_TRUE(converter);
  std::vector<std::int16_t> out;
  for (int chunk = 0; chunk < 10; ++chunk) {
    std::string bytes;
    for (int i = 0; i < 4800; ++i) {
      double t = (chunk * 4800 + i) / 48000.0;
      auto sample = static_cast<std::int16_t>(10000 * std::sin(2 * M_PI * 440 * t));
      bytes.push_back(static_cast<char>(sample & 0xff));
      bytes.push_back(static_cast<char>((sample >> 8) & 0xff));
    }
    auto buffer = SpeechSession::convert(bytes, input, *converter, analyzer);
    EXPECT_TRUE(buffer);
    if (!buffer) break;
    append(out, *buffer);
  }
  if (flushed) {
    auto rest = SpeechSession::flush(*converter, analyzer);
    EXPECT_TRUE(rest);
    if (rest) append(out, *rest);
  }
  return out;
}

TEST(Transcript, WritesTheRecognisersWordsAsPeopleDo) {
  for (const auto& [words, written] : std::vector<std::pair<std::string, std::string>>{
           {"", ""},
           {"hello world", "Hello world"},
           {"i think i'm late and i'll run", "I think I'm late and I'll run"},
           {"we've said i'd and i've", "We've said I'd and I've"},
           {"it's icy in idaho", "It's icy in idaho"},
           {"the ice is thin i", "The ice is thin I"},
           {"'til then", "'til then"},
           {"on monday and in june i may march", "On Monday and in June I may march"},
       }) {
    EXPECT_EQ(asWritten(words), written) << words;
  }
  EXPECT_EQ(asWritten("then on friday", /*sentenceStart=*/false), "then on Friday");
}

// A capital where a sentence may start: the first words, and after a whole pause or the end of
// the audio; never after speech was cut (pause 0) or a short pause inside a long utterance.
TEST(Transcript, CapitalsOnlyWhereASentenceMayStart) {
  struct Heard {
    const char* words;
    int pauseMs;  // after them
    const char* written;
    const char* next;  // the provisional text "so it goes" would then be written as
  };
  Sentences sentences;
  EXPECT_EQ(sentences.preview("so it goes"), "So it goes");
  for (const auto& h : std::vector<Heard>{
           {"we walked up to the", 0, "We walked up to the", "so it goes"},
           {"lake above the village", 200, "lake above the village", "so it goes"},
           {"and i swam", 400, "and I swam", "So it goes"},
           {"", 0, "", "So it goes"},
           {"the water was cold", -1, "The water was cold", "So it goes"},
           {"then we went home", 350, "Then we went home", "So it goes"},
       }) {
    EXPECT_EQ(sentences.write(h.words, sentenceMayEnd(h.pauseMs)), h.written) << h.words;
    EXPECT_EQ(sentences.preview("so it goes"), h.next) << h.words;
  }
}

TEST(Transcript, CutsLongUtterancesIntoPhrasesAtTheirWidestPauses) {
  using Words = std::vector<std::pair<int, int>>;
  using Ranges = std::vector<std::pair<std::size_t, std::size_t>>;
  struct Case {
    const char* name;
    Words words;
    int longest;
    Ranges phrases;
  };
  for (const auto& c : std::vector<Case>{
           {"no words", {}, 700, {}},
           {"short enough", {{0, 50}, {55, 100}, {120, 700}}, 700, {{0, 3}}},
           {"cut at the widest pause",
            {{0, 100}, {110, 200}, {260, 300}, {305, 400}, {410, 700}},
            500,
            {{0, 2}, {2, 5}}},
           {"equal pauses: the later",
            {{0, 100}, {110, 200}, {210, 300}, {310, 400}},
            350,
            {{0, 3}, {3, 4}}},
           {"one word longer than a phrase", {{0, 900}, {900, 950}}, 700, {{0, 1}, {1, 2}}},
           {"many phrases",
            {{0, 300}, {300, 600}, {650, 950}, {950, 1250}, {1300, 1600}},
            700,
            {{0, 2}, {2, 4}, {4, 5}}},
       }) {
    EXPECT_EQ(phrases(c.words, c.longest), c.phrases) << c.name;
  }
}

TEST(NoiseLevel, TellsNoiseFromQuietBetweenWords) {
  // 20 ms blocks: a loud one (about -13 dBFS), then one at a given level, over and over.
  auto block = [](double amplitude) {
    std::vector<std::int16_t> samples(Denoiser::blockSamples);
    for (std::size_t i = 0; i < samples.size(); ++i) {
      samples[i] = static_cast<std::int16_t>(amplitude * std::sin(i * 0.3));
    }
    return samples;
  };
  auto loud = block(8000), silence = block(0), noise20 = block(800), noise40 = block(80);
  NoiseLevel level;
  auto feed = [&](const std::vector<std::int16_t>& between, int pairs) {
    for (int i = 0; i < pairs; ++i) {
      level.add(loud);
      level.add(between);
    }
  };
  feed(noise20, 70);
  EXPECT_FALSE(level.noisy()) << "not judged in the first three seconds";
  feed(noise20, 10);
  EXPECT_TRUE(level.noisy()) << "the quiet blocks stand 20 dB below the loud ones";
  feed(noise40, 100);
  EXPECT_FALSE(level.noisy()) << "40 dB apart is clean";
  feed(silence, 300);
  EXPECT_FALSE(level.noisy());
}

TEST(SoxrConverter, ResamplesLiveChunksTheSameWayEveryTime) {
  auto first = convertTone(16000, CommonFormat::int16);
  EXPECT_EQ(first, convertTone(16000, CommonFormat::int16)) << "no dither, no randomness";
  EXPECT_GT(first.size(), 15000u) << "a second of audio, less the resampler's delay";
  EXPECT_LE(first.size(), 16000u);
  std::int16_t peak = *std::max_element(first.begin() + 1000, first.end());
  EXPECT_NEAR(peak, 10000, 300);
  auto floats = convertTone(16000, CommonFormat::float32);
  EXPECT_EQ(floats.size(), first.size());
  EXPECT_FALSE(SoxrConverter::make(SpeechSession::inputFormat(),
                                   AudioFormat{CommonFormat::int16, 16000, 2, true}));
}

TEST(SoxrConverter, FlushingAtTheEndKeepsEveryMillisecond) {
  auto held = convertTone(16000, CommonFormat::int16);
  auto flushed = convertTone(16000, CommonFormat::int16, /*flushed=*/true);
  EXPECT_LT(held.size(), 16000u) << "the resampler holds the last few milliseconds back";
  EXPECT_NEAR(static_cast<double>(flushed.size()), 16000.0, 1.0) << "a second in, a second out";
  EXPECT_TRUE(std::equal(held.begin(), held.end(), flushed.begin()));
}

}  // namespace
}  // namespace vorel::linuxplatform
