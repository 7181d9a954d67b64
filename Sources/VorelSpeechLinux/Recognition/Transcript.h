// The recogniser's words as people read them: written as people write them, cut into phrases
// at their widest pauses, and timed on the audio.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "SpeechPlatform.h"

namespace vorel::linuxplatform {

// A recognised word, with its first and past-the-last 10 ms frames in its utterance.
struct RecognisedWord {
  std::string spelling;
  int first;
  int past;
};

// The recogniser's words (lower case, one blank apart) as people write them: the first word
// capitalised (unless not `sentenceStart`), "I" with its forms ("I'm", "I'll", "I've", "I'd"),
// and the days of the week and the months (but "may" and "march", more often other words);
// nothing else changes.
std::string asWritten(std::string_view words, bool sentenceStart = true);

// Results written as sentences, in the order they are heard: a capital only where a sentence
// may start (the first words, and after a pause that may end a sentence), never where speech
// was cut or a long utterance split into phrases. No full stops: neither the pause nor the
// language model's sentence-end probability tells a sentence's end from a pause inside it
// often enough (measured on recordings with pauses inside sentences).
class Sentences {
 public:
  // The words of a final result; `mayEnd` when a sentence may end after them.
  std::string write(std::string_view words, bool mayEnd);
  // Provisional text, written as it would be now; changes nothing.
  std::string preview(std::string_view words) const { return asWritten(words, atStart_); }

 private:
  bool atStart_ = true;
};

// Whether a sentence may end after an utterance with a pause of `pauseMs` after it (negative:
// the end of the audio; 0: speech was cut).
bool sentenceMayEnd(int pauseMs);

// Splits an utterance's words (their first and past-the-last frames) into phrases of at most
// `longest` frames where it can, each cut at the widest pause between two of its words: the
// [first, past-the-last) word ranges, in order, covering every word.
std::vector<std::pair<std::size_t, std::size_t>> phrases(
    const std::vector<std::pair<int, int>>& words, int longest);

// Turns a decoded utterance's words into results: phrases of at most `longest` frames (the
// recogniser's words, for Sentences to write), timed on the audio from `start` for `samples`;
// one empty result for no words.
std::vector<TranscriptionResult> utteranceResults(const std::vector<RecognisedWord>& words,
                                                  std::int64_t start, std::int64_t samples,
                                                  int longest);

}  // namespace vorel::linuxplatform
