// A small n-gram language model of a text, estimated with interpolated Kneser-Ney smoothing
// (one discount per order, from the counts of counts) and written as ARPA text, the format
// language-model tools exchange.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vorel::linuxplatform {

// The model of the sentences (each a list of words, without sentence marks), up to `order`
// words (1 to 3) long: ARPA text, "<s>" and "</s>" marking the sentences' ends; nothing for
// no words. When `scored` is given, only the n-grams it takes have their probability; of the
// others only those at the start and end of one that has are written, with none (-99). Of the
// longer n-grams with a probability, at most a few hundred thousand of each order are kept,
// those seen most.
using NgramFilter = std::function<bool(const std::vector<std::string_view>& ngram)>;
std::string estimateArpa(const std::vector<std::vector<std::string>>& sentences, int order = 3,
                         const NgramFilter& scored = nullptr);

}  // namespace vorel::linuxplatform
