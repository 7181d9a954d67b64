#include "Pronunciation.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>
#include <flite/flite.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

// flite's CMU lexicon, whose header the package does not install.
extern "C" cst_lexicon* cmu_lex_init(void);

namespace vorel::linuxplatform {
namespace {

// espeak-ng's English phonemes and the CMU phones closest to them: measured on 20,000 words of
// the recogniser's dictionary, the first reading matches the dictionary's phones for 57% of
// words exactly and 89% of phones; with the second reading, 60% of words.
const std::map<std::string_view, std::string_view>& table() {
  static const std::map<std::string_view, std::string_view> phones{
      // consonants
      {"p", "P"},
      {"b", "B"},
      {"t", "T"},
      {"d", "D"},
      {"k", "K"},
      {"g", "G"},
      {"f", "F"},
      {"v", "V"},
      {"T", "TH"},
      {"D", "DH"},
      {"s", "S"},
      {"z", "Z"},
      {"S", "SH"},
      {"Z", "ZH"},
      {"h", "HH"},
      {"m", "M"},
      {"n", "N"},
      {"N", "NG"},
      {"l", "L"},
      {"r", "R"},
      {"j", "Y"},
      {"w", "W"},
      {"tS", "CH"},
      {"dZ", "JH"},
      {"x", "K"},
      // flaps, syllabic and linking sounds, glottal stops
      {"t#", "T"},
      {"t2", "T"},
      {"d#", "D"},
      {"n-", "N"},
      {"l#", "L"},
      {"r-", ""},
      {"?", ""},
      {";", ""},
      // vowels
      {"@", "AH"},
      {"@2", "AH"},
      {"@5", "AH"},
      {"@-", "AH"},
      {"3", "ER"},
      {"3:", "ER"},
      {"a", "AE"},
      {"a#", "AH"},
      {"aa", "AE"},
      {"A:", "AA"},
      {"A@", "AA R"},
      {"0", "AA"},
      {"O:", "AO"},
      {"O", "AO"},
      {"O2", "AO"},
      {"O@", "AO R"},
      {"o@", "AO R"},
      {"OI", "OY"},
      {"aI", "AY"},
      {"aI3", "AY ER"},
      {"aI@", "AY AH"},
      {"aU", "AW"},
      {"e@", "EH R"},
      {"E", "EH"},
      {"E2", "EH"},
      {"E3", "EH"},
      {"eI", "EY"},
      {"i", "IY"},
      {"i:", "IY"},
      {"i@", "IY AH"},
      {"i@3", "IH R"},
      {"I", "IH"},
      {"I2", "IH"},
      {"I#", "IH"},
      {"U", "UH"},
      {"U@", "UH R"},
      {"u:", "UW"},
      {"u", "UW"},
      {"V", "AH"},
      {"oU", "OW"},
      {"@L", "AH L"},
      {"A~", "AA N"}};
  return phones;
}

// The other common reading of weak and short vowels, for the second pronunciation.
const std::map<std::string_view, std::string_view>& weakAlternatives() {
  static const std::map<std::string_view, std::string_view> phones{
      {"I2", "AH"}, {"I#", "AH"}, {"a#", "AE"}, {"0", "AO"}, {"@", "IH"}};
  return phones;
}

std::optional<std::string> mapped(std::string_view phonemes, bool weakOtherWay) {
  std::string out;
  while (!phonemes.empty()) {
    auto blank = phonemes.find(' ');
    std::string_view name = phonemes.substr(0, blank);
    phonemes = blank == std::string_view::npos ? "" : phonemes.substr(blank + 1);
    std::string bare;
    for (char c : name) {
      if (c != '\'' && c != ',') bare += c;
    }
    if (bare.empty()) continue;
    std::string_view phone;
    if (auto other = weakAlternatives().find(bare);
        weakOtherWay && other != weakAlternatives().end()) {
      phone = other->second;
    } else if (auto found = table().find(bare); found != table().end()) {
      phone = found->second;
    } else {
      return std::nullopt;
    }
    if (phone.empty()) continue;
    // An r-coloured vowel before an r ("m'e@rad") is one R, as the dictionary writes it.
    if (phone == "R" && (out == "R" || out.ends_with(" R"))) continue;
    if (!out.empty()) out += ' ';
    out += phone;
  }
  if (out.empty()) return std::nullopt;
  return out;
}

}  // namespace

std::vector<std::string> modelPhones(std::string_view espeakPhonemes) {
  std::vector<std::string> readings;
  auto usual = mapped(espeakPhonemes, false);
  if (!usual) return readings;
  readings.push_back(*usual);
  if (auto other = mapped(espeakPhonemes, true); other && *other != *usual) {
    readings.push_back(*other);
  }
  return readings;
}

std::unique_ptr<Phonemiser> Phonemiser::open(const std::string& voice) {
  espeak_ng_InitializePath(nullptr);
  if (espeak_ng_Initialize(nullptr) != ENS_OK) return nullptr;
  if (espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 0, nullptr) != ENS_OK) return nullptr;
  if (espeak_ng_SetVoiceByName(voice.c_str()) != ENS_OK) {
    espeak_ng_Terminate();
    return nullptr;
  }
  return std::unique_ptr<Phonemiser>(new Phonemiser());
}

Phonemiser::~Phonemiser() {
  espeak_ng_Terminate();
}

std::string Phonemiser::phonemes(const std::string& word) {
  std::string all;
  const void* text = word.c_str();
  // Phoneme names apart by '_', words by blanks: both become one blank.
  constexpr int asciiNamesApartByUnderscore = '_' << 8;
  while (text) {
    const char* part = espeak_TextToPhonemes(&text, espeakCHARS_UTF8, asciiNamesApartByUnderscore);
    if (!part) break;
    if (!all.empty()) all += ' ';
    all += part;
  }
  for (char& c : all) {
    if (c == '_') c = ' ';
  }
  return all;
}

std::optional<std::string> cmuReading(const std::string& word) {
  if (word.empty() || !std::all_of(word.begin(), word.end(),
                                   [](char c) { return (c >= 'a' && c <= 'z') || c == '\''; })) {
    return std::nullopt;
  }
  static cst_lexicon* lexicon = cmu_lex_init();
  if (!lexicon) return std::nullopt;
  cst_val* phones = lex_lookup(lexicon, word.c_str(), nullptr, nullptr);
  std::string reading;
  for (const cst_val* at = phones; at; at = val_cdr(at)) {
    std::string phone = val_string(val_car(at));
    while (!phone.empty() && phone.back() >= '0' && phone.back() <= '9') phone.pop_back();
    if (phone == "ax") phone = "ah";  // flite's schwa, which the model writes AH
    if (phone == "axr") phone = "er";
    if (phone.empty() || phone == "pau") continue;
    for (auto& c : phone) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    reading += (reading.empty() ? "" : " ") + phone;
  }
  delete_val(phones);
  if (reading.empty()) return std::nullopt;
  return reading;
}

std::string possessiveReading(const std::string& reading) {
  std::string last = reading.substr(reading.rfind(' ') + 1);
  static const std::set<std::string> voiceless = {"P", "T", "K", "F", "TH"};
  static const std::set<std::string> hissing = {"S", "Z", "SH", "ZH", "CH", "JH"};
  if (hissing.contains(last)) return reading + " IH Z";
  return reading + (voiceless.contains(last) ? " S" : " Z");
}

}  // namespace vorel::linuxplatform
