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
// capitalised, and "I" with its forms ("I'm", "I'll", "I've", "I'd"); nothing else changes.
std::string asWritten(std::string_view words);

// Splits an utterance's words (their first and past-the-last frames) into phrases of at most
// `longest` frames where it can, each cut at the widest pause between two of its words: the
// [first, past-the-last) word ranges, in order, covering every word.
std::vector<std::pair<std::size_t, std::size_t>> phrases(
    const std::vector<std::pair<int, int>>& words, int longest);

// Turns a decoded utterance's words into results: phrases of at most `longest` frames as people
// write them, timed on the audio from `start` for `samples`; one empty result for no words.
std::vector<TranscriptionResult> utteranceResults(const std::vector<RecognisedWord>& words,
                                                  std::int64_t start, std::int64_t samples,
                                                  int longest);

}  // namespace vorel::linuxplatform
