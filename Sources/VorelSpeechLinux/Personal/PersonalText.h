// The writer's own text for a locale: plain UTF-8 files (*.txt) in a folder of their own, read
// as sentences of words spelt the way the recogniser's dictionary spells them.
//
// Only regular files named *.txt directly in the folder are read, never through a link; a file
// that is not UTF-8 text, cannot be read, or would take the text past `largestText` is skipped
// and said so. Reading never fails: the worst case is no text.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vorel::linuxplatform {

struct PersonalFile {
  std::string name;
  std::size_t words = 0;
};

struct PersonalText {
  std::vector<PersonalFile> files;                  // by name
  std::vector<std::vector<std::string>> sentences;  // lower-case words
  std::vector<std::string> skipped;                 // "<name>: <why>"
  std::string digest;                               // of the names and content read
  std::size_t words() const;
};

// At most this much text is read, all files together.
inline constexpr std::size_t largestText = 20 << 20;

PersonalText readPersonalText(const std::filesystem::path& folder);

// Text as sentences of dictionary words: lower case, numbers, ordinals, times and a few
// abbreviations read out as words ("2024" "twenty twenty four", "3rd" "third", "Dr." "doctor").
std::vector<std::vector<std::string>> sentencesOf(std::string_view text);

// Whether bytes are UTF-8 text (no NUL, no other control characters but tab, line ends and
// form feed).
bool isText(std::string_view bytes);

}  // namespace vorel::linuxplatform
