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
#include <unordered_set>

#include "ChildProcess.h"
#include "NgramEstimator.h"
#include "PersonalText.h"
#include "Pronunciation.h"
#include "Recogniser.h"
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

// The words of the sentences that the general language model lacks or gives a unigram
// probability below `rareBelowLog10`.
std::optional<std::unordered_set<std::string>> ownWords(
    const ModelFiles& general, const std::vector<std::vector<std::string>>& sentences) {
  logmath_t* logmath = logmath_init(1.0001, 0, 0);
  if (!logmath) return std::nullopt;
  ngram_model_t* model =
      ngram_model_read(nullptr, general.languageModel.c_str(), NGRAM_AUTO, logmath);
  if (!model) {
    logmath_free(logmath);
    return std::nullopt;
  }
  std::unordered_set<std::string> own;
  std::unordered_set<std::string> seen;
  for (const auto& sentence : sentences) {
    for (const auto& word : sentence) {
      if (!seen.insert(word).second) continue;
      int32 id = ngram_wid(model, word.c_str());
      if (id == ngram_unknown_wid(model) || id < 0) {
        own.insert(word);
        continue;
      }
      int32 used = 0;
      double log10 = logmath_log_to_log10(logmath, ngram_ng_score(model, id, nullptr, 0, &used));
      if (log10 < rareBelowLog10) own.insert(word);
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
  auto dictionary = readDictionary(general.dictionary);
  if (!dictionary) return failed("the model's dictionary cannot be read");

  // The words the dictionary lacks, pronounced by espeak-ng in the model's phones.
  std::map<std::string, std::size_t> unknownCounts;
  for (const auto& sentence : text.sentences) {
    for (const auto& word : sentence) {
      if (!dictionary->words.contains(word)) ++unknownCounts[word];
    }
  }
  std::set<std::string> unknown;
  for (const auto& [word, count] : unknownCounts) unknown.insert(word);
  // Possessives are given to the new words written most: each word more slows every decode.
  std::size_t fewestForPossessive = 0;
  if (unknownCounts.size() > mostPossessives) {
    std::vector<std::size_t> counts;
    for (const auto& [word, count] : unknownCounts) counts.push_back(count);
    std::nth_element(counts.begin(), counts.begin() + mostPossessives, counts.end(),
                     std::greater<>());
    fewestForPossessive = counts[mostPossessives] + 1;
  }
  std::string additions;
  std::vector<std::string> newWords;
  std::unique_ptr<Phonemiser> phonemiser = unknown.empty() ? nullptr : Phonemiser::open(voice);
  // Each word as the dictionary lists it: its readings, the first under its own name.
  auto add = [&](const std::string& word, const std::vector<std::string>& readings) {
    int kept = 0;
    for (const auto& reading : readings) {
      std::istringstream phones(reading);
      bool known = true;
      for (std::string phone; phones >> phone;) known = known && dictionary->phones.contains(phone);
      if (!known) continue;
      additions +=
          (kept == 0 ? word : word + "(" + std::to_string(kept + 1) + ")") + " " + reading + "\n";
      ++kept;
    }
    return kept > 0;
  };
  // Possessives the text does not write are said all the same ("Emeka's"): they are given the
  // word's readings with the ending, and a place in the n-grams below.
  std::vector<std::string> possessives;
  for (const auto& word : unknown) {
    if (!phonemiser) break;
    // espeak-ng's readings, then CMU's letter-to-sound one where it hears the word otherwise.
    std::vector<std::string> readings = modelPhones(phonemiser->phonemes(word));
    if (auto cmu = cmuReading(word);
        cmu && std::find(readings.begin(), readings.end(), *cmu) == readings.end()) {
      readings.push_back(*cmu);
    }
    if (!add(word, readings)) continue;
    newWords.push_back(word);
    std::string possessive = word + "'s";
    if (word.ends_with("'s") || word.ends_with("s") || unknown.contains(possessive) ||
        dictionary->words.contains(possessive) || unknownCounts[word] < fewestForPossessive) {
      continue;
    }
    std::vector<std::string> owned;
    for (const auto& reading : readings) owned.push_back(possessiveReading(reading));
    if (add(possessive, owned)) possessives.push_back(possessive);
  }
  phonemiser.reset();
  dictionary->words.insert(newWords.begin(), newWords.end());
  dictionary->words.insert(possessives.begin(), possessives.end());

  // The n-grams of the text, sentences cut where a word can be neither read nor pronounced.
  std::vector<std::vector<std::string>> sentences;
  for (const auto& sentence : text.sentences) {
    std::vector<std::string> part;
    for (const auto& word : sentence) {
      if (dictionary->words.contains(word)) {
        part.push_back(word);
      } else if (!part.empty()) {
        sentences.push_back(std::move(part));
        part.clear();
      }
    }
    if (!part.empty()) sentences.push_back(std::move(part));
  }
  for (const auto& possessive : possessives) sentences.push_back({possessive});
  // Only the writer's own words and phrases are given weight: n-grams holding a word the
  // general language model lacks or holds rare. Common words elsewhere keep the general
  // model's probabilities, which a small text's counts would only make worse.
  auto own = ownWords(general, sentences);
  if (!own) return failed("the model's language model cannot be read");
  std::string arpa = estimateArpa(sentences, 3, [&](const std::vector<std::string_view>& ngram) {
    return std::any_of(ngram.begin(), ngram.end(),
                       [&](std::string_view word) { return own->contains(std::string(word)); });
  });
  if (arpa.empty()) {
    return {PersonalBuild::cannotLearn, "none of its words can be read or pronounced"};
  }

  std::string combined = std::move(dictionary->text);
  if (!combined.empty() && combined.back() != '\n') combined += '\n';
  combined += additions;
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
  if (!Recogniser::trialRun(personal)) return failed("the recogniser could not load its model");
  // Written last: a folder with a summary is a whole build.
  auto json = summary.dump(1, ' ', false, nlohmann::json::error_handler_t::replace);
  if (!writeFile(into / "summary.json", json + "\n")) {
    return failed(std::string("its model cannot be written in ") + into.parent_path().string() +
                  " (" + std::strerror(errno) + ")");
  }
  return {};
}

}  // namespace vorel::linuxplatform
