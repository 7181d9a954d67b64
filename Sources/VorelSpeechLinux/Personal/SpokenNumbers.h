// Numbers and abbreviations as English speakers read them aloud, in the words the recogniser's
// dictionary spells: "2024" "twenty twenty four", "3rd" "third", "Dr." "doctor".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorel::linuxplatform {

// "342": "three hundred forty two", appended to `out`.
void cardinalWords(unsigned long n, std::vector<std::string>& out);

// A number written in digits as it is read: years as years ("nineteen eighty four", "twenty
// twenty four"), a long code digit by digit, anything else as a cardinal. `digits` holds only
// the digits 0 to 9.
void numberWords(std::string_view digits, std::vector<std::string>& out);

// A time of day, "10:30": "ten thirty", "10:05": "ten oh five", "10:00": "ten".
void timeWords(unsigned long hours, unsigned minutes, std::vector<std::string>& out);

// "21": "twenty first".
void ordinalWords(unsigned long n, std::vector<std::string>& out);

// What an abbreviation written before a full stop is read as ("dr": "doctor"), from its lower
// case; nothing for a word that is none.
std::optional<std::string_view> abbreviationRead(std::string_view lowerCase);

}  // namespace vorel::linuxplatform
