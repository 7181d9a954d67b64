// Pronunciations for words the recogniser's dictionary lacks, from espeak-ng: its phoneme
// names mapped onto the model's (CMU) phones by a table.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorel::linuxplatform {

// espeak-ng's phonemes for a word, as its ASCII names one blank apart, stress marks and all
// ("k 'A: m b V tS @"), in the model's phones ("K AA M B AH CH AH"): the usual reading first,
// then, when it differs, one with the word's weak vowels read the other common way. Nothing
// when a phoneme has no match in the table.
std::vector<std::string> modelPhones(std::string_view espeakPhonemes);

// espeak-ng for one language, for one thread. The library keeps its state in the process:
// open one at a time.
class Phonemiser {
 public:
  // "en-us" and the like; nothing when espeak-ng or its data for the voice is missing.
  static std::unique_ptr<Phonemiser> open(const std::string& voice);
  ~Phonemiser();
  Phonemiser(const Phonemiser&) = delete;
  Phonemiser& operator=(const Phonemiser&) = delete;

  // The word's phonemes as espeak-ng's ASCII names, one blank apart.
  std::string phonemes(const std::string& word);

 private:
  Phonemiser() = default;
};

// The reading of CMU's own letter-to-sound rules (flite's, trained on the CMU dictionary the
// model's phones come from), in the model's phones ("P R IY IY AH" for "priya"): a second
// reading beside espeak-ng's, which often hears a name another way. Only words of the letters
// a to z and apostrophes are read; nothing otherwise. Not for several threads at once.
std::optional<std::string> cmuReading(const std::string& word);

// A word's possessive ("emeka's") read from the word's reading: "S" after a voiceless
// consonant, "IH Z" after a hissing one, "Z" otherwise.
std::string possessiveReading(const std::string& reading);

}  // namespace vorel::linuxplatform
