#include "PersonalBuild.h"

#include <fcntl.h>
#include <ngram_model.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

#include "ChildProcess.h"
#include "Decoder.h"
#include "NgramEstimator.h"
#include "PersonalText.h"
#include "Pronunciation.h"
#include "Sha256.h"

namespace vorel::linuxplatform {
namespace {

namespace fs = std::filesystem;

// Words rarer than this in the general model are the writer's own when their text uses them.
// Measured: at -5.0, common words of the text ("baked") were given weight and general journals
// lost words; at -5.5 they come out as without a personal text.
constexpr double rareBelowLog10 = -5.5;
// The most new words given a possessive: a decade of journals names a few hundred people and
// places; past that, each one more only slows every decode.
constexpr std::size_t mostPossessives = 500;
// The most of the writer's rare words that the dictionary holds given other readings.
constexpr std::size_t mostRespelled = 500;
// The most words the general model lacks that a text adds to the recogniser's vocabulary: each
// one widens the search of every decode. A decade of journals names a few thousand; 60,000 (a
// journal of words drawn at random from the dictionary) made a request 2.3 times as slow as
// without a text, 10,000 2.05 times, 5,000 2.0 times.
constexpr std::size_t mostLackedWords = 5'000;

// The sentences cut where `leftOut` takes a word, its pieces kept.
std::vector<std::vector<std::string>> cutAt(
    const std::vector<std::vector<std::string>>& sentences,
    const std::function<bool(const std::string&)>& leftOut) {
  std::vector<std::vector<std::string>> pieces;
  for (const auto& sentence : sentences) {
    std::vector<std::string> piece;
    for (const auto& word : sentence) {
      if (!leftOut(word)) {
        piece.push_back(word);
      } else if (!piece.empty()) {
        pieces.push_back(std::move(piece));
        piece.clear();
      }
    }
    if (!piece.empty()) pieces.push_back(std::move(piece));
  }
  return pieces;
}

struct Dictionary {
  std::string text;
  std::unordered_set<std::string> words;
  std::unordered_set<std::string> phones;
};

std::optional<Dictionary> readDictionary(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream all;
  all << in.rdbuf();
  Dictionary dictionary{all.str(), {}, {}};
  std::istringstream lines(dictionary.text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string word, phone;
    if (!(fields >> word)) continue;
    if (auto variant = word.find('('); variant != std::string::npos && variant > 0) {
      word.resize(variant);
    }
    dictionary.words.insert(word);
    while (fields >> phone) dictionary.phones.insert(phone);
  }
  return dictionary;
}

// The readings a dictionary's text lists for each of `words`, in its order.
using Readings = std::unordered_map<std::string, std::vector<std::string>>;
Readings listedReadings(const std::string& dictionaryText, const std::vector<std::string>& words) {
  Readings listed;
  for (const auto& word : words) listed[word];
  std::istringstream lines(dictionaryText);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string word, phone, reading;
    if (!(fields >> word)) continue;
    if (auto variant = word.find('('); variant != std::string::npos && variant > 0) {
      word.resize(variant);
    }
    auto found = listed.find(word);
    if (found == listed.end()) continue;
    while (fields >> phone) reading += (reading.empty() ? "" : " ") + phone;
    found->second.push_back(std::move(reading));
  }
  return listed;
}

// What a build's summary says of one of its files, so that damage is seen when it is used.
nlohmann::json record(std::string_view content) {
  return {{"size", content.size()}, {"sha256", sha256Hex(content)}};
}

bool writeFile(const fs::path& path, std::string_view content) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  bool written = writeAll(fd, content);
  written = ::fsync(fd) == 0 && written;
  return ::close(fd) == 0 && written;
}

// The writer's own words: those of the sentences that the general language model lacks or
// gives a unigram probability below `rareBelowLog10`.
struct OwnWords {
  std::unordered_set<std::string> words;
  std::vector<std::string> lacked;  // those the general model lacks
};

std::optional<OwnWords> ownWords(const ModelFiles& general,
                                 const std::vector<std::vector<std::string>>& sentences) {
  logmath_t* logmath = logmath_init(1.0001, 0, 0);
  if (!logmath) return std::nullopt;
  ngram_model_t* model =
      ngram_model_read(nullptr, general.languageModel.c_str(), NGRAM_AUTO, logmath);
  if (!model) {
    logmath_free(logmath);
    return std::nullopt;
  }
  OwnWords own;
  std::unordered_set<std::string> seen;
  for (const auto& sentence : sentences) {
    for (const auto& word : sentence) {
      if (!seen.insert(word).second) continue;
      int32 id = ngram_wid(model, word.c_str());
      if (id == ngram_unknown_wid(model) || id < 0) {
        own.words.insert(word);
        own.lacked.push_back(word);
        continue;
      }
      int32 used = 0;
      double log10 = logmath_log_to_log10(logmath, ngram_ng_score(model, id, nullptr, 0, &used));
      if (log10 < rareBelowLog10) own.words.insert(word);
    }
  }
  ngram_model_free(model);
  logmath_free(logmath);
  return own;
}

}  // namespace

PersonalBuildResult buildPersonalModel(const fs::path& textFolder, const std::string& textDigest,
                                       const fs::path& into, const ModelFiles& general,
                                       const std::string& voice) {
  auto failed = [](std::string reason) {
    return PersonalBuildResult{PersonalBuild::failed, std::move(reason)};
  };
  PersonalText text = readPersonalText(textFolder);
  if (text.digest != textDigest) return {PersonalBuild::textChanged, "the text changed"};
  // How often each word is written; its keys are views of the text's own words.
  std::unordered_map<std::string_view, std::size_t> counts;
  for (const auto& sentence : text.sentences) {
    for (const auto& word : sentence) ++counts[word];
  }
  auto written = [&](std::string_view word) -> std::size_t {
    auto found = counts.find(word);
    return found == counts.end() ? 0 : found->second;
  };
  auto dictionary = readDictionary(general.dictionary);
  if (!dictionary) return failed("the model's dictionary cannot be read");

  // The words the dictionary lacks, pronounced by espeak-ng in the model's phones.
  std::set<std::string> unknown;
  for (const auto& [word, count] : counts) {
    if (!dictionary->words.contains(std::string(word))) unknown.emplace(word);
  }
  // The fewest times a word is written for it to be among the `most` of `words` written most.
  auto fewestAmongMost = [&](const auto& words, std::size_t most) -> std::size_t {
    if (words.size() <= most) return 0;
    std::vector<std::size_t> times;
    for (const auto& word : words) times.push_back(written(word));
    std::nth_element(times.begin(), times.begin() + most, times.end(), std::greater<>());
    return times[most] + 1;
  };
  // Possessives are given to the new words written most: each word more slows every decode.
  std::size_t fewestForPossessive = fewestAmongMost(unknown, mostPossessives);
  std::vector<std::pair<std::string, std::string>> additions;  // a word and its dictionary line
  std::vector<std::string> newWords;
  std::unique_ptr<Phonemiser> phonemiser = Phonemiser::open(voice);
  // espeak-ng's readings, then CMU's letter-to-sound one where it hears the word otherwise.
  auto readingsOf = [&](const std::string& word) {
    std::vector<std::string> readings = modelPhones(phonemiser->phonemes(word));
    if (auto cmu = cmuReading(word);
        cmu && std::find(readings.begin(), readings.end(), *cmu) == readings.end()) {
      readings.push_back(*cmu);
    }
    return readings;
  };
  // Adds the readings not yet listed for the word, numbered after those that are; whether it
  // added any.
  Readings listedSoFar;
  auto add = [&](const std::string& word, const std::vector<std::string>& readings) {
    auto& listed = listedSoFar[word];
    std::size_t before = listed.size();
    for (const auto& reading : readings) {
      if (std::find(listed.begin(), listed.end(), reading) != listed.end()) continue;
      std::istringstream phones(reading);
      bool known = true;
      for (std::string phone; phones >> phone;) known = known && dictionary->phones.contains(phone);
      if (!known) continue;
      additions.emplace_back(
          word, (listed.empty() ? word : word + "(" + std::to_string(listed.size() + 1) + ")") +
                    " " + reading + "\n");
      listed.push_back(reading);
    }
    return listed.size() > before;
  };
  // Possessives the text does not write are said all the same ("Emeka's"): they are given the
  // word's readings with the ending, and a place in the n-grams below.
  std::vector<std::string> possessives;
  for (const auto& word : unknown) {
    if (!phonemiser) break;
    std::vector<std::string> readings = readingsOf(word);
    if (!add(word, readings)) continue;
    newWords.push_back(word);
    std::string possessive = word + "'s";
    if (word.ends_with("'s") || word.ends_with("s") || unknown.contains(possessive) ||
        dictionary->words.contains(possessive) || written(word) < fewestForPossessive) {
      continue;
    }
    std::vector<std::string> owned;
    for (const auto& reading : readings) owned.push_back(possessiveReading(reading));
    if (add(possessive, owned)) possessives.push_back(possessive);
  }
  dictionary->words.insert(newWords.begin(), newWords.end());
  dictionary->words.insert(possessives.begin(), possessives.end());

  // The n-grams of the text, sentences cut where a word can be neither read nor pronounced.
  auto sentences = cutAt(
      text.sentences, [&](const std::string& word) { return !dictionary->words.contains(word); });
  for (const auto& possessive : possessives) sentences.push_back({possessive});
  // Only the writer's own words and phrases are given weight: n-grams holding a word the
  // general language model lacks or holds rare. Common words elsewhere keep the general
  // model's probabilities, which a small text's counts would only make worse.
  auto own = ownWords(general, sentences);
  if (!own) return failed("the model's language model cannot be read");
  // Past `mostLackedWords`, the words the general model lacks that are written least are left
  // out, as words that cannot be pronounced are, with the possessives of new words left out.
  std::erase_if(own->lacked, [&](const std::string& word) { return written(word) == 0; });
  if (own->lacked.size() > mostLackedWords) {
    std::sort(own->lacked.begin(), own->lacked.end(), [&](const auto& a, const auto& b) {
      return written(a) != written(b) ? written(a) > written(b) : a < b;
    });
    std::unordered_set<std::string> leftOut;
    for (std::size_t i = mostLackedWords; i < own->lacked.size(); ++i) {
      leftOut.insert(own->lacked[i]);
      leftOut.insert(own->lacked[i] + "'s");
    }
    auto isLeftOut = [&](const std::string& word) { return leftOut.contains(word); };
    sentences = cutAt(sentences, isLeftOut);
    std::erase_if(own->words, isLeftOut);
    std::erase_if(newWords, isLeftOut);
    std::erase_if(additions, [&](const auto& addition) { return isLeftOut(addition.first); });
  }
  // The writer's words that the dictionary holds but the general model hears rarely, names
  // above all, are often said otherwise than the dictionary has them ("Mairead", "Pilates"):
  // espeak-ng's and CMU's readings join its own, for the ones written most.
  std::vector<std::string> rareKnown;
  for (const auto& word : own->words) {
    if (!listedSoFar.contains(word)) rareKnown.push_back(word);
  }
  std::sort(rareKnown.begin(), rareKnown.end());
  std::size_t fewestForReadings = fewestAmongMost(rareKnown, mostRespelled);
  std::erase_if(rareKnown,
                [&](const std::string& word) { return written(word) < fewestForReadings; });
  listedSoFar.merge(listedReadings(dictionary->text, rareKnown));
  for (const auto& word : rareKnown) {
    if (!phonemiser) break;
    add(word, readingsOf(word));
  }
  phonemiser.reset();
  std::string arpa = estimateArpa(sentences, 3, [&](const std::vector<std::string_view>& ngram) {
    return std::any_of(ngram.begin(), ngram.end(), [&](std::string_view word) {
      return own->words.contains(std::string(word));
    });
  });
  if (arpa.empty()) {
    return {PersonalBuild::cannotLearn, "none of its words can be read or pronounced"};
  }

  std::string combined = std::move(dictionary->text);
  if (!combined.empty() && combined.back() != '\n') combined += '\n';
  for (const auto& [word, line] : additions) combined += line;
  nlohmann::json summary{{"words", text.words()}, {"newWords", newWords}};
  summary["files"] = nlohmann::json::array();
  for (const auto& file : text.files) {
    summary["files"].push_back({{"name", file.name}, {"words", file.words}});
  }
  summary["skipped"] = text.skipped;
  summary["built"] = {{"dictionary.dict", record(combined)}, {"personal.lm", record(arpa)}};
  if (!writeFile(into / "dictionary.dict", combined) || !writeFile(into / "personal.lm", arpa)) {
    return failed(std::string("its model cannot be written in ") + into.parent_path().string() +
                  " (" + std::strerror(errno) + ")");
  }
  ModelFiles personal = general;
  personal.dictionary = into / "dictionary.dict";
  personal.personalLanguageModel = into / "personal.lm";
  if (!Decoder::trialRun(personal)) return failed("the recogniser could not load its model");
  // Written last: a folder with a summary is a whole build.
  auto json = summary.dump(1, ' ', false, nlohmann::json::error_handler_t::replace);
  if (!writeFile(into / "summary.json", json + "\n")) {
    return failed(std::string("its model cannot be written in ") + into.parent_path().string() +
                  " (" + std::strerror(errno) + ")");
  }
  return {};
}

}  // namespace vorel::linuxplatform
