// The writer's text, which is anything a file holds: read as words, then modelled.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "NgramEstimator.h"
#include "PersonalText.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vorel::linuxplatform;
  std::string text(reinterpret_cast<const char*>(data), size);
  bool isUtf8Text = isText(text);
  auto sentences = sentencesOf(text);
  for (const auto& sentence : sentences) {
    if (sentence.empty()) std::abort();
    for (const auto& word : sentence) {
      // A word is one dictionary token: something, no blank, no upper-case ASCII, valid UTF-8.
      if (word.empty() || word.find_first_of(" \t\r\n\f") != std::string::npos) std::abort();
      for (char c : word) {
        if (c >= 'A' && c <= 'Z') std::abort();
      }
      if (isUtf8Text && !isText(word)) std::abort();
    }
  }
  std::string arpa = estimateArpa(sentences);
  if (sentences.empty() != arpa.empty()) std::abort();
  // Every probability written is a number no greater than 0 (log10), every backoff finite.
  std::istringstream lines(arpa);
  bool inGrams = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.ends_with("-grams:")) {
      inGrams = true;
      continue;
    }
    if (line.empty() || line[0] == '\\') continue;
    if (!inGrams) continue;
    char* end = nullptr;
    double p = std::strtod(line.c_str(), &end);
    if (end == line.c_str() || !(p <= 0) || !std::isfinite(p)) std::abort();
    auto tab = line.rfind('\t');
    if (tab != std::string::npos && tab > static_cast<std::size_t>(end - line.c_str())) {
      double backoff = std::strtod(line.c_str() + tab + 1, nullptr);
      if (!std::isfinite(backoff)) std::abort();
    }
  }
  return 0;
}
