// The writer's own words: their text read as words, pronunciations for the words the
// dictionary lacks, the n-gram model, and the whole through the client and the real recogniser.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "ChildProcess.h"
#include "Fixtures.h"
#include "NgramEstimator.h"
#include "PersonalText.h"
#include "Process.h"
#include "Pronunciation.h"
#include "TextFolder.h"

namespace vorel::testing {
namespace {

namespace fs = std::filesystem;
using linuxplatform::estimateArpa;
using linuxplatform::modelPhones;
using linuxplatform::readPersonalText;
using linuxplatform::sentencesOf;
using linuxplatform::TextFolder;

const std::string client = VOREL_CLIENT;
const fs::path generalDictionary = "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict";

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

void writeFile(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

TEST(PersonalWords, TextIsReadAsTheDictionarySpellsIt) {
  struct Case {
    std::string text;
    std::vector<std::string> sentences;
  } cases[] = {
      {"Dr. Novak met me at 10:30 on the 3rd. We paid 3,000 in 2024!",
       {"doctor novak met me at ten thirty on the third",
        "we paid three thousand in twenty twenty four"}},
      {"Don't tell O\u2019Brien's dog; it's 7:05 and 1.5% of 1999's 21st day",
       {"don't tell o'brien's dog",
        "it's seven oh five and one point five percent of nineteen "
        "ninety nine 's twenty first day"}},
      {"Z\u00f6e & \u0141\u00d3D\u0179 in 2000",
       {"z\u00f6e and \u0142\u00f3d\u017a in two thousand"}},
      // Accents composed or not are one letter; capitals lower by Unicode's own table.
      {"Siobha\u0301n and Siobh\u00e1n met \u0178vonne and \u1EB8mek\u00e1",
       {"siobh\u00e1n and siobh\u00e1n met \u00ffvonne and \u1eb9mek\u00e1"}},
      {"   \n\n...!?", {}},
      {"a 12345678901 long number",
       {"a one two three four five six seven eight nine zero one "
        "long number"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    for (const auto& sentence : sentencesOf(c.text)) got.push_back(joined(sentence));
    EXPECT_EQ(got, c.sentences) << c.text;
  }
  // Bytes that are not UTF-8 text are no text.
  EXPECT_TRUE(linuxplatform::isText("plain \u00e9 text\n\ttab"));
  for (std::string bad :
       {std::string("nul\0inside", 10), std::string("\xff\xfe"), std::string("\xc3"),
        std::string("\xed\xa0\x80"), std::string("\x1b[0m")}) {
    EXPECT_FALSE(linuxplatform::isText(bad)) << bad;
  }
}

TEST(PersonalWords, EspeakPhonemesMapOntoTheModelsPhones) {
  struct Case {
    std::string espeak;
    std::vector<std::string> phones;  // the usual reading, then the other, if any
  } cases[] = {
      {"k 'A: m b V tS @", {"K AA M B AH CH AH", "K AA M B AH CH IH"}},
      {"h @ l 'oU", {"HH AH L OW", "HH IH L OW"}},
      {"T 'O: t", {"TH AO T"}},
      {"dZ 'V dZ", {"JH AH JH"}},
      {"w 'O: t# 3", {"W AO T ER"}},
      {"S 'E s I n", {"SH EH S IH N"}},
      {"n 'i@3", {"N IH R"}},
      {"b 'OI", {"B OY"}},
      {"p 'U@", {"P UH R"}},
      {"m 'eI 3", {"M EY ER"}},
      {"k 'aU", {"K AW"}},
      {"b 'A@ t# 0 s z", {"B AA R T AA S Z", "B AA R T AO S Z"}},
      {"v 'a n I2 ? ,n-", {"V AE N IH N", "V AE N AH N"}},
      {"w 'I s p 3 r- 3 z", {"W IH S P ER ER Z"}},
      {"k 'a n I ; @ n z", {"K AE N IH AH N Z", "K AE N IH IH N Z"}},
      {"m 'e@ r a d", {"M EH R AE D"}},  // one R after an r-coloured vowel
      {"", {}},
      {"k 'Q m", {}},  // a phoneme the table does not know: no reading at all
      {"?", {}},       // nothing to say
  };
  for (const auto& c : cases) EXPECT_EQ(modelPhones(c.espeak), c.phones) << c.espeak;

  // espeak-ng itself, and every phone it gives is one the model has.
  std::set<std::string> modelSet;
  std::ifstream dictionary(generalDictionary);
  for (std::string line; std::getline(dictionary, line);) {
    std::istringstream fields(line);
    std::string phone;
    fields >> phone;
    while (fields >> phone) modelSet.insert(phone);
  }
  auto phonemiser = linuxplatform::Phonemiser::open("en-us");
  ASSERT_TRUE(phonemiser);
  EXPECT_EQ(modelPhones(phonemiser->phonemes("kombucha")).at(0), "K AA M B AH CH AH");
  EXPECT_EQ(modelPhones(phonemiser->phonemes("zumba")).at(0), "Z AH M B AH");
  for (std::string word : {"siobhan", "wojciech", "szczecin", "nkechi", "thandiwe", "bouldering",
                           "covid", "ukulele", "mcgillicuddy", "xylophone", "rhythm", "euro"}) {
    auto readings = modelPhones(phonemiser->phonemes(word));
    ASSERT_FALSE(readings.empty()) << word << ": " << phonemiser->phonemes(word);
    for (const auto& reading : readings) {
      std::istringstream phones(reading);
      for (std::string phone; phones >> phone;) {
        EXPECT_TRUE(modelSet.contains(phone)) << word << ": " << phone;
      }
    }
  }
}

// The probabilities of an ARPA model as the recogniser reads it (backing off to lower orders).
class Arpa {
 public:
  explicit Arpa(const std::string& text) {
    std::istringstream in(text);
    int order = 0;
    for (std::string line; std::getline(in, line);) {
      if (line.size() > 2 && line[0] == '\\' && line.ends_with("-grams:")) {
        order = line[1] - '0';
        continue;
      }
      if (order == 0 || line.empty() || line[0] == '\\') continue;
      std::istringstream fields(line);
      double p, backoff = 0;
      fields >> p;
      std::vector<std::string> words(order);
      for (auto& word : words) fields >> word;
      fields >> backoff;
      probability_[words] = p;
      backoff_[words] = backoff;
      if (order == 1) vocabulary.push_back(words[0]);
    }
  }
  // log10 P(word | history)
  double log10(std::vector<std::string> history, const std::string& word) const {
    auto ngram = history;
    ngram.push_back(word);
    if (auto found = probability_.find(ngram); found != probability_.end()) return found->second;
    double backoff = 0;
    if (auto found = backoff_.find(history); found != backoff_.end()) backoff = found->second;
    history.erase(history.begin());
    return backoff + log10(history, word);
  }
  std::vector<std::string> vocabulary;
  bool has(const std::vector<std::string>& ngram) const { return probability_.contains(ngram); }
  double raw(const std::vector<std::string>& ngram) const { return probability_.at(ngram); }

 private:
  std::map<std::vector<std::string>, double> probability_, backoff_;
};

TEST(PersonalWords, CmuLettersToSoundGiveASecondReadingAndPossessivesTheirEnding) {
  struct Case {
    std::string word;
    std::optional<std::string> reading;
  } cases[] = {
      {"priya", "P R IY IY AH"},  {"tadhg", "T AE D G"}, {"kyiv", "K IH V"},
      {"o'brien", std::nullopt},  // read whatever it is, but with the model's phones only
      {"z\u00f6e", std::nullopt}, {"", std::nullopt},    {"r2d2", std::nullopt},
  };
  for (const auto& c : cases) {
    auto reading = linuxplatform::cmuReading(c.word);
    if (c.word == "o'brien") {
      ASSERT_TRUE(reading) << c.word;
      continue;
    }
    EXPECT_EQ(reading, c.reading) << c.word;
  }
  EXPECT_EQ(linuxplatform::possessiveReading("EH M EH K AH"), "EH M EH K AH Z");
  EXPECT_EQ(linuxplatform::possessiveReading("HH AW TH"), "HH AW TH S");
  EXPECT_EQ(linuxplatform::possessiveReading("Y UW S AH F"), "Y UW S AH F S");
  EXPECT_EQ(linuxplatform::possessiveReading("R IH CH"), "R IH CH IH Z");
}

TEST(PersonalWords, TheNgramModelIsAProperDistribution) {
  std::vector<std::vector<std::string>> sentences;
  for (const auto& s : {"siobhan and i went bouldering", "i went to zumba with nkechi",
                        "nkechi and siobhan went bouldering again", "we went home",
                        "zumba zumba zumba", "i", "and i went"}) {
    sentences.push_back(sentencesOf(s).at(0));
  }
  Arpa model(estimateArpa(sentences));
  ASSERT_FALSE(model.vocabulary.empty());
  // Every history seen, and some never seen: the words after it sum to one.
  std::vector<std::vector<std::string>> histories = {
      {"<s>", "<s>"},         {"<s>", "siobhan"}, {"i", "went"},      {"and", "i"},
      {"went", "bouldering"}, {"zumba", "zumba"}, {"home", "nkechi"}, {"we", "we"}};
  for (const auto& history : histories) {
    double total = 0;
    for (const auto& word : model.vocabulary) {
      if (word != "<s>") total += std::pow(10.0, model.log10(history, word));
    }
    EXPECT_NEAR(total, 1.0, 1e-3) << history[0] << " " << history[1];
  }
  // Seen n-grams are more likely than unseen ones after the same words.
  EXPECT_GT(model.log10({"i", "went"}, "bouldering"), model.log10({"i", "went"}, "zumba"));

  // Filtered: only n-grams holding a chosen word have a probability; the shorter n-grams at
  // their start and end stay, without one; others are left out.
  Arpa own(estimateArpa(sentences, 3, [](const std::vector<std::string_view>& ngram) {
    return std::find(ngram.begin(), ngram.end(), "nkechi") != ngram.end();
  }));
  EXPECT_GT(own.raw({"nkechi"}), -5);
  EXPECT_GT(own.raw({"with", "nkechi"}), -5);
  EXPECT_GT(own.raw({"nkechi", "and"}), -5);
  EXPECT_EQ(own.raw({"went"}), -99);
  EXPECT_FALSE(own.has({"i", "went"}));
  EXPECT_FALSE(own.has({"siobhan", "and", "i"}));
  EXPECT_EQ(own.raw({"zumba", "with"}), -99);   // the start of "zumba with nkechi"
  EXPECT_EQ(own.raw({"and", "siobhan"}), -99);  // the end of "nkechi and siobhan"

  EXPECT_EQ(estimateArpa({}), "");
  EXPECT_EQ(estimateArpa({{}, {}}), "");
}

fs::path homeFor(const std::string& name) {
  auto home = scratch() / name;
  fs::create_directories(home);
  return home;
}

ProcessResult clientIn(const fs::path& home, std::vector<std::string> arguments,
                       const std::string& input = "") {
  ProcessOptions options;
  options.arguments = std::move(arguments);
  options.environment = {"XDG_DATA_HOME=" + home.string(), "LANG=en_US.UTF-8"};
  return runProcess(client, input, options);
}

fs::path builds(const fs::path& home) {
  return home / "vorel-speech" / "models" / ".personal" / "en-US";
}

std::vector<fs::path> entries(const fs::path& folder) {
  std::vector<fs::path> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) found.push_back(entry.path());
  return found;
}

// Speech flite makes of `text`, 16 kHz mono.
fs::path spoken(const std::string& name, const std::string& text) {
  auto raw = scratch() / (name + "-raw.wav");
  auto wav = scratch() / (name + ".wav");
  if (!fs::exists(wav)) {
    run("flite -voice slt -t '" + text + "' -o " + raw.string());
    run("sox -D " + raw.string() + " -r 16000 -c 1 -b 16 " + wav.string() + " pad 0.3 0.6");
  }
  return wav;
}

const std::string journal =
    "Went bouldering in Rathmines with Siobhan after work.\n"
    "Zumba class in Rathmines was packed tonight.\n"
    "Bouldering again on Sunday, then coffee in Rathmines.\n"
    "My arms ache from bouldering. Zumba tomorrow.\n";

TEST(PersonalWords, WordsTheDictionaryLacksAreHeardOnceLearnt) {
  auto home = homeFor("learns");
  auto wav = spoken("personal-speech", "we went bouldering in rathmines and then to zumba");
  auto before = clientIn(home, {"transcribe", wav.string(), "--format", "txt"});
  ASSERT_EQ(before.status, 0) << before.err;
  for (std::string word : {"bouldering", "Rathmines", "rathmines", "Zumba", "zumba"}) {
    EXPECT_EQ(before.out.find(word), std::string::npos) << before.out;
  }

  auto text = scratch() / "journal.txt";
  writeFile(text, journal);
  auto learnt = clientIn(home, {"learn", text.string()});
  ASSERT_EQ(learnt.status, 0) << learnt.err;
  EXPECT_NE(learnt.out.find("en-US: 30 words of your writing"), std::string::npos) << learnt.out;
  auto listed = clientIn(home, {"learn", "--list"});
  EXPECT_NE(listed.out.find("journal.txt"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("rathmines"), std::string::npos) << listed.out;
  auto status = clientIn(home, {"status", "en-US"});
  EXPECT_NE(status.out.find("30 words of your writing learnt"), std::string::npos) << status.out;

  auto after = clientIn(home, {"transcribe", wav.string(), "--format", "txt"});
  ASSERT_EQ(after.status, 0) << after.err;
  EXPECT_NE(after.out.find("rathmines"), std::string::npos) << after.out;
  EXPECT_NE(after.out.find("zumba"), std::string::npos) << after.out;

  // The folders and files are the writer's alone.
  auto textFolder = home / "vorel-speech" / "personal" / "en-US";
  struct stat info {};
  ASSERT_EQ(::stat(textFolder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((textFolder / "journal.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(builds(home).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  // Forgotten, the words are not heard any more.
  auto forgot = clientIn(home, {"forget"});
  EXPECT_EQ(forgot.status, 0) << forgot.err;
  EXPECT_EQ(forgot.out, "Forgot 1 file for en-US.\n");
  auto again = clientIn(home, {"transcribe", wav.string(), "--format", "txt"});
  EXPECT_EQ(again.out, before.out);
}

// A name the text writes only as it is is heard as a possessive too.
TEST(PersonalWords, APossessiveTheTextNeverWritesIsHeard) {
  auto home = homeFor("possessive");
  fs::remove_all(home / "vorel-speech");
  auto wav =
      spoken("possessive-speech", "we had dinner at emekas house on friday");  // said "emeka's"
  auto text = scratch() / "emeka.txt";
  writeFile(text,
            "Emeka cooked a lamb tagine.\nDinner with Emeka and his brother.\n"
            "Emeka came round on Friday.\n");
  ASSERT_EQ(clientIn(home, {"learn", text.string()}).status, 0);
  auto heard = clientIn(home, {"transcribe", wav.string(), "--format", "txt"});
  ASSERT_EQ(heard.status, 0) << heard.err;
  EXPECT_NE(heard.out.find("emeka's"), std::string::npos) << heard.out;
}

// The writer's rare words that the dictionary holds keep its reading first and gain the ones
// people also say; common words and words the text does not use are left as they are.
TEST(PersonalWords, RareWordsTheDictionaryHoldsGainOtherReadings) {
  auto home = homeFor("respelled");
  fs::remove_all(home / "vorel-speech");
  auto text = scratch() / "pilates.txt";
  writeFile(text,
            "Pilates with Mairead on Monday.\nMairead says pilates is good for the back.\n"
            "After pilates we walked home.\n");
  auto learnt = clientIn(home, {"learn", text.string()});
  ASSERT_EQ(learnt.status, 0) << learnt.err;
  std::vector<fs::path> built = entries(builds(home));
  std::erase_if(built, [](const fs::path& p) { return !fs::exists(p / "dictionary.dict"); });
  ASSERT_EQ(built.size(), 1u);
  std::map<std::string, std::vector<std::string>> readings;
  std::ifstream dictionary(built[0] / "dictionary.dict");
  for (std::string line; std::getline(dictionary, line);) {
    auto blank = line.find(' ');
    std::string word = line.substr(0, std::min(blank, line.find('(')));
    if (word == "pilates" || word == "mairead" || word == "walked" || word == "kayaking") {
      readings[word].push_back(line);
    }
  }
  EXPECT_EQ(readings["pilates"],
            (std::vector<std::string>{"pilates P IH L AA T IY S", "pilates(2) P IH L EY T S",
                                      "pilates(3) P AY L EY T S"}));
  ASSERT_GE(readings["mairead"].size(), 2u);
  EXPECT_EQ(readings["mairead"][0], "mairead M EY R EH");
  EXPECT_EQ(readings["mairead"][1], "mairead(2) M EH R AE D");
  EXPECT_EQ(readings["walked"], std::vector<std::string>{"walked W AO K T"});
  EXPECT_EQ(readings["kayaking"], std::vector<std::string>{"kayaking K AY AE K IH NG"});
}

// A text of more new words than a decode can carry keeps those written most.
TEST(PersonalWords, TheNewWordsWrittenMostAreKeptWhenThereAreTooMany) {
  auto home = homeFor("many-new-words");
  fs::remove_all(home / "vorel-speech");
  auto made = [](int i) {  // "vorzaaa", "vorzaab", ...: words no dictionary holds
    std::string word = "vorz";
    for (int place = 0; place < 3; ++place, i /= 26) word += static_cast<char>('a' + i % 26);
    return word;
  };
  std::string text;
  for (int i = 0; i < 6000; ++i) text += "the " + made(i) + (i < 50 ? " came again" : "") + "\n";
  for (int i = 0; i < 50; ++i) text += "with " + made(i) + " at home\n";
  auto file = scratch() / "many.txt";
  writeFile(file, text);
  auto learnt = clientIn(home, {"learn", file.string()});
  ASSERT_EQ(learnt.status, 0) << learnt.err;
  std::vector<fs::path> built = entries(builds(home));
  std::erase_if(built, [](const fs::path& p) { return !fs::exists(p / "personal.lm"); });
  ASSERT_EQ(built.size(), 1u);
  std::set<std::string> unigrams;
  std::ifstream model(built[0] / "personal.lm");
  bool inUnigrams = false;
  for (std::string line; std::getline(model, line);) {
    if (line.starts_with("\\")) inUnigrams = line == "\\1-grams:";
    std::istringstream fields(line);
    std::string probability, word;
    if (inUnigrams && fields >> probability >> word && word.starts_with("vorz") &&
        !word.ends_with("'s")) {
      unigrams.insert(word);
    }
  }
  EXPECT_EQ(unigrams.size(), 5000u);  // the most the recogniser is given
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(unigrams.contains(made(i))) << made(i);
}

TEST(PersonalWords, AChangedTextIsBuiltAgainAndAnUnchangedOneIsNot) {
  auto home = homeFor("rebuilds");
  auto folder = home / "vorel-speech" / "personal" / "en-US";
  fs::create_directories(folder);
  writeFile(folder / "journal.txt", journal);
  // Two at once, as two helpers starting together would: one whole build comes of it.
  ProcessResult first, second;
  std::thread other([&] { second = clientIn(home, {"learn", "--list"}); });
  first = clientIn(home, {"learn", "--list"});
  other.join();
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(first.out, second.out);
  auto built = entries(builds(home));
  ASSERT_EQ(built.size(), 1u);
  struct stat was {};
  ASSERT_EQ(::stat(built[0].c_str(), &was), 0);

  // Unchanged: the same build is used, not made again.
  EXPECT_EQ(clientIn(home, {"learn", "--list"}).status, 0);
  struct stat now {};
  ASSERT_EQ(::stat(built[0].c_str(), &now), 0);
  EXPECT_EQ(now.st_ino, was.st_ino);
  EXPECT_EQ(entries(builds(home)), built);

  // Changed: built again, and the old build goes.
  writeFile(folder / "journal.txt", journal + "Kombucha with Nkechi.\n");
  auto changed = clientIn(home, {"learn", "--list"});
  EXPECT_EQ(changed.status, 0) << changed.err;
  EXPECT_NE(changed.out.find("kombucha"), std::string::npos) << changed.out;
  auto rebuilt = entries(builds(home));
  ASSERT_EQ(rebuilt.size(), 1u);
  EXPECT_NE(rebuilt[0], built[0]);
}

TEST(PersonalWords, BadPersonalFilesAreSkippedAndRecognitionIsAsBefore) {
  auto home = homeFor("bad-files");
  auto folder = home / "vorel-speech" / "personal" / "en-US";
  fs::create_directories(folder);
  auto wav = spoken("personal-speech", "we went bouldering in rathmines and then to zumba");
  auto before = clientIn(home, {"transcribe", wav.string(), "--format", "txt"});
  ASSERT_EQ(before.status, 0) << before.err;

  writeFile(folder / "binary.txt", std::string("\x7f"
                                               "ELF\0\0\x01\xff",
                                               8));
  writeFile(scratch() / "outside.txt", journal);
  fs::create_symlink(scratch() / "outside.txt", folder / "link.txt");
  fs::create_directory(folder / "folder.txt");
  ASSERT_EQ(::mkfifo((folder / "fifo.txt").c_str(), 0600), 0);
  {  // a sparse file past the 20 MB read
    std::ofstream huge(folder / "huge.txt");
    huge.seekp((21 << 20) - 1);
    huge.put('a');
  }
  bool root = ::geteuid() == 0;  // root reads any file
  if (!root) {
    writeFile(folder / "unreadable.txt", journal);
    ::chmod((folder / "unreadable.txt").c_str(), 0);
  }
  writeFile(folder / "notes.md", journal);  // not a .txt: not the writer's text

  auto text = readPersonalText(folder);
  EXPECT_TRUE(text.files.empty());
  std::set<std::string> skipped;
  for (const auto& why : text.skipped) skipped.insert(why.substr(0, why.find(':')));
  std::set<std::string> expected = {"binary.txt", "link.txt", "folder.txt", "fifo.txt", "huge.txt"};
  if (!root) expected.insert("unreadable.txt");
  for (const auto& name : expected) EXPECT_TRUE(skipped.contains(name)) << name;

  auto after = clientIn(home, {"transcribe", wav.string(), "--format", "txt"});
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(after.out, before.out);
  auto listed = clientIn(home, {"learn", "--list"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.err.find("skipped fifo.txt"), std::string::npos) << listed.err;

  // What cannot be learnt is said, and nothing is kept.
  for (const auto& bad :
       {std::string("/"), (scratch() / "missing.txt").string(), (folder / "binary.txt").string()}) {
    auto refused = clientIn(home, {"learn", bad});
    EXPECT_EQ(refused.status, 1) << bad;
    EXPECT_NE(refused.err.find("vorel-speech-client: "), std::string::npos) << refused.err;
  }
  EXPECT_FALSE(fs::exists(folder / "missing.txt.txt"));
}

std::string contentOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

TEST(PersonalWords, ATextIsKeptBesideAnotherOfItsNameNeverOverIt) {
  auto folder = scratch() / "kept-texts" / "personal" / "en-US";
  fs::remove_all(folder.parent_path());
  auto opened = TextFolder::open(folder, true);
  ASSERT_TRUE(opened) << opened.error();
  using Kept = TextFolder::Kept;
  struct Step {
    std::string name, text;
    std::string keptAs;
    Kept how;
  } steps[] = {
      {"journal.txt", "Monday.\n", "journal.txt", Kept::added},
      {"journal.txt", "Monday.\n", "journal.txt", Kept::unchanged},           // the same again
      {"journal.txt", "Monday.\nTuesday.\n", "journal.txt", Kept::replaced},  // it grew
      {"journal.txt", "Another journal.\n", "journal-2.txt", Kept::added},    // another text
      {"journal.txt", "A third one.\n", "journal-3.txt", Kept::added},
      {"journal.txt", "Another journal.\n", "journal-2.txt", Kept::unchanged},
      {"journal.txt", "Another journal, and more.\n", "journal-4.txt", Kept::added},
  };
  for (const auto& step : steps) {
    auto kept = opened->keep(step.name, step.text);
    ASSERT_TRUE(kept) << kept.error();
    EXPECT_EQ(kept->name, step.keptAs) << step.text;
    EXPECT_EQ(kept->how, step.how) << step.text;
    EXPECT_EQ(contentOf(folder / kept->name), step.text);
  }
  EXPECT_EQ(contentOf(folder / "journal.txt"), "Monday.\nTuesday.\n");
  EXPECT_EQ(opened->names(), (std::vector<std::string>{"journal-2.txt", "journal-3.txt",
                                                       "journal-4.txt", "journal.txt"}));
  // Nothing of the writing is left beside the texts.
  EXPECT_EQ(entries(folder).size(), 4u);

  // Names as they are kept: the file's own, cut to fit with room beside it, never hidden.
  std::string longStem(246, 'x');
  std::string accented;
  for (int i = 0; i < 120; ++i) accented += "\u00e9";  // two bytes each
  struct Name {
    std::string given, kept;
  } names[] = {
      {"/home/a/journal.txt", "journal.txt"},
      {"notes", "notes.txt"},
      {"..hidden.txt", "hidden.txt"},
      {"...", "text.txt"},
      {longStem + ".txt", std::string(196, 'x') + ".txt"},
      {"a" + accented, "a" + accented.substr(0, 194) + ".txt"},
  };
  for (const auto& name : names) {
    EXPECT_EQ(linuxplatform::textNameFor(name.given), name.kept) << name.given;
  }
  auto longName = linuxplatform::textNameFor(longStem + ".txt");
  ASSERT_TRUE(opened->keep(longName, "one"));
  auto beside = opened->keep(longName, "two");
  ASSERT_TRUE(beside) << beside.error();
  EXPECT_EQ(beside->name, std::string(196, 'x') + "-2.txt");
}

TEST(PersonalWords, NoTextIsWrittenOrReadThroughALink) {
  struct Case {
    std::string what;
    std::string linked;  // "personal" or "personal/en-US"
  } cases[] = {{"the locale's folder is a link", "personal/en-US"},
               {"the texts' folder is a link", "personal"}};
  for (const auto& c : cases) {
    auto home = homeFor("linked-" + std::to_string(&c - cases));
    fs::remove_all(home);
    auto elsewhere = home / "elsewhere";
    fs::create_directories(elsewhere / "en-US");
    writeFile(elsewhere / "en-US" / "journal.txt", "the writer's own file\n");
    ::chmod((elsewhere / "en-US").c_str(), 0755);
    ::chmod((elsewhere / "en-US" / "journal.txt").c_str(), 0644);
    fs::create_directories(home / "vorel-speech" / "personal");
    if (c.linked == "personal") {
      fs::remove(home / "vorel-speech" / "personal");
      fs::create_directory_symlink(elsewhere, home / "vorel-speech" / "personal");
    } else {
      fs::create_directory_symlink(elsewhere / "en-US", home / "vorel-speech" / c.linked);
    }
    auto text = scratch() / "journal.txt";
    writeFile(text, journal);

    auto learnt = clientIn(home, {"learn", text.string()});
    EXPECT_EQ(learnt.status, 1) << c.what << ": " << learnt.err;
    EXPECT_NE(learnt.err.find("is a link, not a folder"), std::string::npos) << learnt.err;
    // The link's target is as it was: its file, its modes.
    EXPECT_EQ(contentOf(elsewhere / "en-US" / "journal.txt"), "the writer's own file\n");
    EXPECT_EQ(entries(elsewhere / "en-US").size(), 1u) << c.what;
    struct stat info {};
    ASSERT_EQ(::stat((elsewhere / "en-US").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u) << c.what;
    ASSERT_EQ(::stat((elsewhere / "en-US" / "journal.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u) << c.what;
    // Nor is it read, and saying so is no failure of the listing.
    EXPECT_TRUE(readPersonalText(home / "vorel-speech" / "personal" / "en-US").files.empty());
    auto listed = clientIn(home, {"learn", "--list"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.err.find("is a link, not a folder"), std::string::npos) << listed.err;
    EXPECT_EQ(clientIn(home, {"forget", "journal.txt"}).status, 1);
    EXPECT_TRUE(fs::exists(elsewhere / "en-US" / "journal.txt"));
  }
}

TEST(PersonalWords, EveryTextGivenIsKeptAndSaidSo) {
  auto home = homeFor("every-text");
  fs::remove_all(home / "vorel-speech");
  auto folder = home / "vorel-speech" / "personal" / "en-US";
  fs::create_directories(scratch() / "a");
  fs::create_directories(scratch() / "b");
  writeFile(scratch() / "a" / "journal.txt", "Bouldering with Siobhan.\n");
  writeFile(scratch() / "b" / "journal.txt", "Zumba in Rathmines.\n");

  auto first = clientIn(home, {"learn", (scratch() / "a" / "journal.txt").string()});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.err.find("Kept journal.txt: 3 words"), std::string::npos) << first.err;
  auto second = clientIn(home, {"learn", (scratch() / "b" / "journal.txt").string()});
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_NE(second.err.find("as journal-2.txt: 3 words (another text is kept as journal.txt)"),
            std::string::npos)
      << second.err;
  EXPECT_EQ(contentOf(folder / "journal.txt"), "Bouldering with Siobhan.\n");
  EXPECT_EQ(contentOf(folder / "journal-2.txt"), "Zumba in Rathmines.\n");

  // Two texts on standard input at the same moment: both kept.
  ProcessResult piped[2];
  std::thread other([&] { piped[1] = clientIn(home, {"learn", "-"}, "Kombucha with Nkechi.\n"); });
  piped[0] = clientIn(home, {"learn", "-"}, "Pilates with Priya.\n");
  other.join();
  EXPECT_EQ(piped[0].status, 0) << piped[0].err;
  EXPECT_EQ(piped[1].status, 0) << piped[1].err;
  std::set<std::string> texts;
  for (const auto& entry : entries(folder)) texts.insert(contentOf(entry));
  EXPECT_EQ(texts, (std::set<std::string>{"Bouldering with Siobhan.\n", "Zumba in Rathmines.\n",
                                          "Kombucha with Nkechi.\n", "Pilates with Priya.\n"}));

  // A file named twice is forgotten once.
  auto forgot = clientIn(home, {"forget", "journal.txt", "journal.txt"});
  EXPECT_EQ(forgot.status, 0) << forgot.err;
  EXPECT_EQ(forgot.out, "Forgot 1 file for en-US.\n");
  EXPECT_FALSE(fs::exists(folder / "journal.txt"));
  EXPECT_TRUE(fs::exists(folder / "journal-2.txt"));
}

// The client in a folder of its own, beside a model checker that is a script of the test's: the
// client finds the checker beside itself, and the helper where it was built.
class ClientWithChecker {
 public:
  explicit ClientWithChecker(const std::string& name) : folder_(scratch() / ("checker-" + name)) {
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    fs::copy_file(client, folder_ / "vorel-speech-client");
    home = homeFor("home-" + name);
    fs::remove_all(home / "vorel-speech");
  }
  // The checker: a shell script's body, or the real one when empty.
  void checker(const std::string& body) {
    auto path = folder_ / "vorel-speech-model-check";
    fs::remove(path);
    if (body.empty()) {
      fs::create_symlink(fs::path(VOREL_HELPER).parent_path() / "vorel-speech-model-check", path);
      return;
    }
    writeFile(path, "#!/bin/sh\n" + body + "\n");
    fs::permissions(path, fs::perms::owner_all);
  }
  std::string program() const { return (folder_ / "vorel-speech-client").string(); }
  ProcessResult run(std::vector<std::string> arguments) const {
    arguments.push_back("--helper=" + std::string(VOREL_HELPER));
    ProcessOptions options;
    options.arguments = std::move(arguments);
    options.environment = {"XDG_DATA_HOME=" + home.string(), "LANG=en_US.UTF-8"};
    return runProcess(program(), "", options);
  }
  fs::path home;

 private:
  fs::path folder_;
};

TEST(PersonalWords, APassingFailureIsTriedAgainAndOnlyTheTextsOwnIsKept) {
  struct Case {
    std::string name;
    std::string checker;  // a failing checker's script
    std::string reason;   // what the writer is told
    bool textsOwn;        // a failure of the text itself: not tried again
  } cases[] = {
      {"killed", "kill -9 $$", "the model checker was ended by a signal (Killed)", false},
      {"full-disk", "echo 'its model cannot be written in /x (No space left on device)'; exit 1",
       "its model cannot be written in /x (No space left on device)", false},
      {"no-words", "echo 'none of its words can be read or pronounced'; exit 4",
       "none of its words can be read or pronounced", true},
  };
  auto text = scratch() / "journal.txt";
  writeFile(text, journal);
  for (const auto& c : cases) {
    ClientWithChecker learner(c.name);
    learner.checker(c.checker);
    auto failed = learner.run({"learn", text.string()});
    EXPECT_EQ(failed.status, 1) << c.name << ": " << failed.err;
    std::string said = c.textsOwn ? "it cannot be learnt: " : "learning it failed: ";
    EXPECT_NE(failed.err.find("your text is kept, but " + said + c.reason), std::string::npos)
        << c.name << ": " << failed.err;
    // Requests go on without it, and do not try again at once what failed in passing.
    auto status = learner.run({"status", "en-US"});
    EXPECT_NE(status.out.find(c.textsOwn ? "not learnt: it cannot be learnt: " + c.reason
                                         : "not learnt: learning it failed a short while ago: " +
                                               c.reason),
              std::string::npos)
        << c.name << ": " << status.out;

    // With a checker that works, learn tries again what failed in passing, and only that.
    learner.checker("");
    auto again = learner.run({"learn", "--list"});
    EXPECT_EQ(again.status, c.textsOwn ? 1 : 0) << c.name << ": " << again.err;
    EXPECT_EQ(again.out.find("rathmines") != std::string::npos, !c.textsOwn)
        << c.name << ": " << again.out;
    for (const auto& entry : entries(builds(learner.home))) {
      EXPECT_FALSE(entry.filename().string().starts_with(".build-")) << c.name << ": " << entry;
    }
  }
}

TEST(PersonalWords, ALearnStoppedBySignalEndsAtOnceAndLeavesNothing) {
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  auto text = scratch() / "journal.txt";
  writeFile(text, journal);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    ClientWithChecker learner("stopped-" + std::to_string(signal));
    auto started = scratch() / ("checker-started-" + std::to_string(signal));
    fs::remove(started);
    // The mark is made by the shell itself: a child of the checker's (a touch still exiting as
    // the checker is killed) would be left to this process, and taken for the checker.
    learner.checker(": > '" + started.string() + "'; exec /bin/sleep 60");
    ChildOptions options;
    options.arguments = {"learn", text.string(), "--helper=" + std::string(VOREL_HELPER)};
    options.environment = {"XDG_DATA_HOME=" + learner.home.string()};
    options.output = options.error = ChildStream::null;
    auto child = ChildProcess::start(learner.program(), options);
    ASSERT_TRUE(child) << child.error();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(started)) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the checker never started";
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    child->kill(signal);
    auto ended = child->waitFor(std::chrono::seconds(2));
    ASSERT_TRUE(ended) << strsignal(signal) << ": still learning 2 s after the signal";
    EXPECT_EQ(ended->signal, 0) << strsignal(signal);
    EXPECT_EQ(ended->code, 128 + signal) << strsignal(signal);
    // Nothing left running (the checker was this process's grandchild) or behind.
    int status = 0;
    pid_t left = ::waitpid(-1, &status, WNOHANG);
    EXPECT_TRUE(left > 0 || (left < 0 && errno == ECHILD)) << "the checker is still running";
    while (::waitpid(-1, &status, WNOHANG) > 0) {
    }
    EXPECT_TRUE(entries(builds(learner.home)).empty()) << strsignal(signal);
    EXPECT_TRUE(fs::exists(learner.home / "vorel-speech" / "personal" / "en-US" / "journal.txt"));
  }
}

TEST(PersonalWords, ADamagedBuildIsNeverUsedAndIsBuiltAgain) {
  auto home = homeFor("damaged");
  fs::remove_all(home / "vorel-speech");
  auto wav = spoken("personal-speech", "we went bouldering in rathmines and then to zumba");
  auto general = clientIn(home, {"transcribe", wav.string(), "--format", "txt"});
  ASSERT_EQ(general.status, 0) << general.err;
  auto text = scratch() / "journal.txt";
  writeFile(text, journal);
  ASSERT_EQ(clientIn(home, {"learn", text.string()}).status, 0);
  auto built = entries(builds(home));
  ASSERT_EQ(built.size(), 1u);
  const fs::path folder = built[0];
  auto learnt = clientIn(home, {"transcribe", wav.string(), "--format", "txt"});
  ASSERT_NE(learnt.out.find("rathmines"), std::string::npos) << learnt.out;

  auto cut = [](const fs::path& file, double share) {
    fs::resize_file(file, static_cast<std::uintmax_t>(fs::file_size(file) * share));
  };
  struct Case {
    std::string name;
    std::function<void()> damage;
  } cases[] = {
      {"the language model cut short", [&] { cut(folder / "personal.lm", 0.5); }},
      {"the language model emptied", [&] { cut(folder / "personal.lm", 0); }},
      {"the language model random",
       [&] {
         std::string noise(fs::file_size(folder / "personal.lm"), '\0');
         std::mt19937 random(7);
         for (auto& byte : noise) byte = static_cast<char>(random());
         writeFile(folder / "personal.lm", noise);
       }},
      {"the dictionary emptied", [&] { cut(folder / "dictionary.dict", 0); }},
      {"half the dictionary", [&] { cut(folder / "dictionary.dict", 0.5); }},
      {"the summary gone", [&] { fs::remove(folder / "summary.json"); }},
      {"an empty folder in its place",
       [&] {
         fs::remove_all(folder);
         fs::create_directory(folder);
       }},
  };
  for (const auto& c : cases) {
    c.damage();
    // A request never uses it: the general model answers (and the text is learnt beside it).
    auto heard = clientIn(home, {"transcribe", wav.string(), "--format", "txt"});
    EXPECT_EQ(heard.status, 0) << c.name << ": " << heard.err;
    EXPECT_EQ(heard.out, general.out) << c.name;
    // learn builds it again, whole.
    auto relearnt = clientIn(home, {"learn", "--list"});
    EXPECT_EQ(relearnt.status, 0) << c.name << ": " << relearnt.err;
    EXPECT_NE(relearnt.out.find("rathmines"), std::string::npos) << c.name << ": " << relearnt.out;
    ASSERT_TRUE(fs::exists(folder / "summary.json")) << c.name;
  }
  auto healed = clientIn(home, {"transcribe", wav.string(), "--format", "txt"});
  EXPECT_EQ(healed.out, learnt.out);
}

}  // namespace
}  // namespace vorel::testing
