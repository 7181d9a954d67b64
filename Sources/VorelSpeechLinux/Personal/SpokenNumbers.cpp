#include "SpokenNumbers.h"

#include <array>

namespace vorel::linuxplatform {
namespace {

const std::array<const char*, 20> ones = {
    "zero",     "one",     "two",     "three",     "four",     "five",    "six",
    "seven",    "eight",   "nine",    "ten",       "eleven",   "twelve",  "thirteen",
    "fourteen", "fifteen", "sixteen", "seventeen", "eighteen", "nineteen"};
const std::array<const char*, 10> tens = {"",      "",      "twenty",  "thirty", "forty",
                                          "fifty", "sixty", "seventy", "eighty", "ninety"};
const std::array<const char*, 20> onesOrdinal = {
    "zeroth",     "first",     "second",    "third",       "fourth",     "fifth",     "sixth",
    "seventh",    "eighth",    "ninth",     "tenth",       "eleventh",   "twelfth",   "thirteenth",
    "fourteenth", "fifteenth", "sixteenth", "seventeenth", "eighteenth", "nineteenth"};
const std::array<const char*, 10> tensOrdinal = {"",          "",         "twentieth", "thirtieth",
                                                 "fortieth",  "fiftieth", "sixtieth",  "seventieth",
                                                 "eightieth", "ninetieth"};

void below100(unsigned n, std::vector<std::string>& out) {
  if (n < 20) {
    out.emplace_back(ones[n]);
  } else {
    out.emplace_back(tens[n / 10]);
    if (n % 10) out.emplace_back(ones[n % 10]);
  }
}

struct Abbreviation {
  const char* written;  // lower case, without its full stop
  const char* read;
};
constexpr Abbreviation abbreviations[] = {
    {"dr", "doctor"},      {"mr", "mister"}, {"mrs", "missus"},   {"ms", "miz"},
    {"st", "saint"},       {"mt", "mount"},  {"jr", "junior"},    {"sr", "senior"},
    {"prof", "professor"}, {"vs", "versus"}, {"etc", "et cetera"}};

}  // namespace

void cardinalWords(unsigned long n, std::vector<std::string>& out) {
  if (n >= 1'000'000) {
    cardinalWords(n / 1'000'000, out);
    out.emplace_back("million");
    if (n % 1'000'000) cardinalWords(n % 1'000'000, out);
  } else if (n >= 1000) {
    cardinalWords(n / 1000, out);
    out.emplace_back("thousand");
    if (n % 1000) cardinalWords(n % 1000, out);
  } else if (n >= 100) {
    out.emplace_back(ones[n / 100]);
    out.emplace_back("hundred");
    if (n % 100) below100(static_cast<unsigned>(n % 100), out);
  } else {
    below100(static_cast<unsigned>(n), out);
  }
}

void numberWords(std::string_view digits, std::vector<std::string>& out) {
  if (digits.size() > 9) {  // a long code: digit by digit
    for (char c : digits) out.emplace_back(ones[c - '0']);
    return;
  }
  unsigned long n = std::stoul(std::string(digits));
  bool year = digits.size() == 4 && ((n >= 1100 && n < 2000) || (n >= 2010 && n < 2100));
  if (year && n % 100 == 0) {
    below100(static_cast<unsigned>(n / 100), out);
    out.emplace_back("hundred");
  } else if (year) {
    below100(static_cast<unsigned>(n / 100), out);
    if (n % 100 < 10) out.emplace_back("oh");
    below100(static_cast<unsigned>(n % 100), out);
  } else {
    cardinalWords(n, out);
  }
}

void timeWords(unsigned long hours, unsigned minutes, std::vector<std::string>& out) {
  cardinalWords(hours, out);
  if (minutes > 0 && minutes < 10) out.emplace_back("oh");
  if (minutes > 0) below100(minutes % 100, out);
}

void ordinalWords(unsigned long n, std::vector<std::string>& out) {
  if (n % 100 == 0 || n >= 1000) {
    cardinalWords(n, out);
    out.back() += "th";
    return;
  }
  if (n >= 100) {
    cardinalWords(n / 100 * 100, out);
    n %= 100;
  }
  if (n < 20) {
    out.emplace_back(onesOrdinal[n]);
  } else if (n % 10 == 0) {
    out.emplace_back(tensOrdinal[n / 10]);
  } else {
    out.emplace_back(tens[n / 10]);
    out.emplace_back(onesOrdinal[n % 10]);
  }
}

std::optional<std::string_view> abbreviationRead(std::string_view lowerCase) {
  for (const auto& a : abbreviations) {
    if (lowerCase == a.written) return a.read;
  }
  return std::nullopt;
}

}  // namespace vorel::linuxplatform
