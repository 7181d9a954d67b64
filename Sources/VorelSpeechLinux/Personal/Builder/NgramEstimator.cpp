#include "NgramEstimator.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <unordered_map>

namespace vorel::linuxplatform {
namespace {

constexpr int bitsPerWord = 21;  // up to two million words, three to a key
constexpr std::uint64_t wordMask = (1u << bitsPerWord) - 1;
constexpr std::uint32_t start = 0;  // <s>
constexpr std::uint32_t end = 1;    // </s>
// The most n-grams of one order (two or three words) given a probability. A decade of daily
// entries (10 MB) holds a few hundred thousand of the writer's own; beyond that the model grows
// and slows every decode for n-grams seen once or twice.
constexpr std::size_t largestOrder = 300'000;

using Key = std::uint64_t;  // an n-gram's word ids, the first in the highest bits

Key keyOf(const std::uint32_t* ids, int n) {
  Key key = 0;
  for (int i = 0; i < n; ++i) key = key << bitsPerWord | ids[i];
  return key;
}
std::uint32_t wordAt(Key key, int n, int i) {
  return static_cast<std::uint32_t>(key >> (bitsPerWord * (n - 1 - i)) & wordMask);
}
Key withoutFirst(Key key, int n) {
  return key & ((Key{1} << (bitsPerWord * (n - 1))) - 1);
}
Key withoutLast(Key key) {
  return key >> bitsPerWord;
}

struct History {
  double total = 0;  // of the (adjusted) counts of the words after it
  double types = 0;  // how many different words follow it
};

std::string formatted(double log10Probability) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", log10Probability);
  return text;
}

}  // namespace

std::string estimateArpa(const std::vector<std::vector<std::string>>& sentences, int order,
                         const NgramFilter& scored) {
  order = std::clamp(order, 1, 3);
  std::unordered_map<std::string, std::uint32_t> ids{{"<s>", start}, {"</s>", end}};
  std::vector<std::string> words{"<s>", "</s>"};
  // counts[n]: of the n-grams, raw at first.
  std::array<std::unordered_map<Key, double>, 4> counts;
  std::vector<std::uint32_t> line;
  for (const auto& sentence : sentences) {
    if (sentence.empty()) continue;
    line.assign(1, start);
    for (const auto& word : sentence) {
      auto [at, added] = ids.try_emplace(word, static_cast<std::uint32_t>(words.size()));
      if (added) {
        if (words.size() > wordMask) return {};
        words.push_back(word);
      }
      line.push_back(at->second);
    }
    line.push_back(end);
    for (std::size_t i = 1; i < line.size(); ++i) {
      for (int n = 1; n <= order && static_cast<std::size_t>(n) <= i + 1; ++n) {
        counts[n][keyOf(&line[i + 1 - n], n)] += 1;
      }
    }
  }
  if (counts[1].empty()) return {};
  // Lower orders count the different words seen before an n-gram (Kneser-Ney), except for
  // n-grams at a sentence's start, which nothing can come before.
  for (int n = 1; n < order; ++n) {
    std::unordered_map<Key, double> continuation;
    for (const auto& [key, count] : counts[n + 1]) continuation[withoutFirst(key, n + 1)] += 1;
    for (auto& [key, count] : counts[n]) {
      if (wordAt(key, n, 0) != start) count = continuation[key];
    }
  }
  std::array<double, 4> discount{};
  std::array<std::unordered_map<Key, History>, 4> histories;
  for (int n = 1; n <= order; ++n) {
    double once = 0, twice = 0;
    for (const auto& [key, count] : counts[n]) {
      once += count == 1;
      twice += count == 2;
      History& history = histories[n][n == 1 ? 0 : withoutLast(key)];
      history.total += count;
      history.types += 1;
    }
    discount[n] = twice > 0 ? std::clamp(once / (once + 2 * twice), 0.1, 0.9) : 0.5;
  }
  // Interpolated probabilities of the n-grams seen, order by order: what the discounts take
  // from a history's words goes to the lower order's distribution.
  std::array<std::unordered_map<Key, double>, 4> probability;
  double vocabulary = static_cast<double>(words.size() - 1);  // every word but <s>
  const History& all = histories[1][0];
  double spread = discount[1] * all.types / all.total;
  for (const auto& [key, count] : counts[1]) {
    probability[1][key] = std::max(count - discount[1], 0.0) / all.total + spread / vocabulary;
  }
  for (std::uint32_t id = 1; id < words.size(); ++id) {
    probability[1].try_emplace(id, spread / vocabulary);  // seen only after <s>
  }
  for (int n = 2; n <= order; ++n) {
    for (const auto& [key, count] : counts[n]) {
      const History& history = histories[n][withoutLast(key)];
      double lower = probability[n - 1].at(withoutFirst(key, n));
      probability[n][key] = std::max(count - discount[n], 0.0) / history.total +
                            discount[n] * history.types / history.total * lower;
    }
  }
  // A history's backoff weight is the share its words gave the lower order.
  auto backoff = [&](Key key, int n) -> std::string {
    if (n >= order) return "";
    auto found = histories[n + 1].find(key);
    if (found == histories[n + 1].end()) return "\t0";
    const History& h = found->second;
    return "\t" + formatted(std::log10(discount[n + 1] * h.types / h.total));
  };

  // Which n-grams are written: every word; with a filter, of the longer n-grams those it takes,
  // and the shorter ones at their start and end, which the recogniser looks up on the way to
  // them (written without a probability). Any other n-gram would only lead to a word without
  // one, which is what leaving it out gives too.
  std::vector<std::string_view> ngram;
  auto spell = [&](Key key, int n) {
    ngram.resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) ngram[i] = words[wordAt(key, n, i)];
  };
  // Past `largestOrder` n-grams of an order with a probability, those seen least are left out.
  std::array<double, 4> fewest{};
  for (int n = 2; n <= order; ++n) {
    std::vector<double> seen;
    for (const auto& [key, p] : probability[n]) {
      spell(key, n);
      if (!scored || scored(ngram)) seen.push_back(counts[n].at(key));
    }
    if (seen.size() <= largestOrder) continue;
    std::nth_element(seen.begin(), seen.begin() + static_cast<long>(largestOrder), seen.end(),
                     std::greater<>());
    fewest[n] = seen[largestOrder] + 1;  // more than the first count that does not fit
  }
  std::array<std::unordered_map<Key, bool>, 4> written;  // n-gram: whether it has a probability
  for (int n = order; n >= 1; --n) {
    for (const auto& [key, p] : probability[n]) {
      spell(key, n);
      bool has = (!scored || scored(ngram)) && counts[n].at(key) >= fewest[n];
      if (n > 1 && !has && !written[n].contains(key)) continue;
      written[n][key] = has;
      if (n > 1) {
        written[n - 1].try_emplace(withoutLast(key), false);
        written[n - 1].try_emplace(withoutFirst(key, n), false);
      }
    }
  }
  written[1][start] = false;

  std::string arpa = "\\data\\\n";
  for (int n = 1; n <= order; ++n) {
    arpa += "ngram " + std::to_string(n) + "=" + std::to_string(written[n].size()) + "\n";
  }
  for (int n = 1; n <= order; ++n) {
    arpa += "\n\\" + std::to_string(n) + "-grams:\n";
    std::vector<std::pair<Key, bool>> sorted(written[n].begin(), written[n].end());
    std::sort(sorted.begin(), sorted.end());
    for (const auto& [key, has] : sorted) {
      spell(key, n);
      std::string spelt;
      for (int i = 0; i < n; ++i) spelt += (i ? " " : "") + std::string(ngram[i]);
      arpa += (has ? formatted(std::log10(probability[n].at(key))) : "-99") + "\t" + spelt +
              backoff(key, n) + "\n";
    }
  }
  arpa += "\n\\end\\\n";
  return arpa;
}

}  // namespace vorel::linuxplatform
