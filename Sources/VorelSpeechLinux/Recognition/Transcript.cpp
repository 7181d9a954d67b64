#include "Transcript.h"

#include <algorithm>
#include <set>

#include "ListenConfig.h"

namespace vorel::linuxplatform {

namespace {

bool alwaysCapital(const std::string& word) {
  static const std::set<std::string, std::less<>> names = {
      "i",        "i'm",    "i'll",      "i've",    "i'd",      "monday",   "tuesday", "wednesday",
      "thursday", "friday", "saturday",  "sunday",  "january",  "february", "april",   "june",
      "july",     "august", "september", "october", "november", "december"};
  return names.contains(word);
}

}  // namespace

std::string asWritten(std::string_view words, bool sentenceStart) {
  std::string text;
  std::size_t at = 0;
  while (at < words.size()) {
    std::size_t end = std::min(words.find(' ', at), words.size());
    std::string word(words.substr(at, end - at));
    bool first = text.empty();
    if (((first && sentenceStart) || alwaysCapital(word)) && !word.empty() && word[0] >= 'a' &&
        word[0] <= 'z') {
      word[0] = static_cast<char>(word[0] - 'a' + 'A');
    }
    if (!first) text += ' ';
    text += word;
    at = end + 1;
  }
  return text;
}

std::string Sentences::write(std::string_view words, bool mayEnd) {
  if (words.empty()) return {};
  std::string text = asWritten(words, atStart_);
  atStart_ = mayEnd;
  return text;
}

bool sentenceMayEnd(int pauseMs) {
  return pauseMs < 0 || pauseMs >= sentenceEndPauseMs;
}

std::vector<std::pair<std::size_t, std::size_t>> phrases(
    const std::vector<std::pair<int, int>>& words, int longest) {
  std::vector<std::pair<std::size_t, std::size_t>> found;
  std::size_t first = 0;
  while (first < words.size()) {
    std::size_t past = first + 1;  // the first word that does not fit
    while (past < words.size() && words[past].second - words[first].first <= longest) ++past;
    std::size_t cut = past;
    if (past < words.size()) {
      // The widest pause between two words, up to the one before the first that does not
      // fit; the later of equals.
      int widest = -1;
      for (std::size_t w = first + 1; w <= past; ++w) {
        int pause = words[w].first - words[w - 1].second;
        if (pause >= widest) {
          widest = pause;
          cut = w;
        }
      }
    }
    found.emplace_back(first, cut);
    first = cut;
  }
  return found;
}

std::vector<TranscriptionResult> utteranceResults(const std::vector<RecognisedWord>& words,
                                                  std::int64_t start, std::int64_t samples,
                                                  int longest) {
  if (words.empty()) return {{"", {sampleTime(start), sampleTime(samples)}, true}};
  // The last frame may be padding past the audio: never report beyond it.
  auto sample = [&](int frame) {
    return start + std::min(samples, std::int64_t{frame} * ListenConfig::frameSamples);
  };
  std::vector<std::pair<int, int>> frames;
  for (const auto& word : words) frames.emplace_back(word.first, word.past);
  std::vector<TranscriptionResult> results;
  for (auto [first, past] : phrases(frames, longest)) {
    std::string text;
    for (std::size_t w = first; w < past; ++w) text += (w > first ? " " : "") + words[w].spelling;
    std::int64_t from = sample(words[first].first), to = sample(words[past - 1].past);
    results.push_back({text, {sampleTime(from), sampleTime(to - from)}, true});
  }
  return results;
}

}  // namespace vorel::linuxplatform
