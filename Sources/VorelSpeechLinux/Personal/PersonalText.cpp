#include "PersonalText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utf8proc.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "Sha256.h"
#include "SpokenNumbers.h"
#include "TextFolder.h"

namespace vorel::linuxplatform {
namespace {

constexpr std::size_t longestWord = 40;  // bytes; longer "words" are no words

// The code point starting at `i` (advancing it), or nothing for a byte that starts none.
std::optional<char32_t> nextCodePoint(std::string_view text, std::size_t& i) {
  auto byte = static_cast<unsigned char>(text[i]);
  int length = byte < 0x80 ? 1 : byte >> 5 == 6 ? 2 : byte >> 4 == 14 ? 3 : byte >> 3 == 30 ? 4 : 0;
  if (length == 0 || i + length > text.size()) return std::nullopt;
  char32_t point = length == 1 ? byte : byte & (0x7f >> length);
  for (int k = 1; k < length; ++k) {
    auto next = static_cast<unsigned char>(text[i + k]);
    if (next >> 6 != 2) return std::nullopt;
    point = point << 6 | (next & 0x3f);
  }
  static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < smallest[length] || point > 0x10ffff || (point >= 0xd800 && point < 0xe000)) {
    return std::nullopt;
  }
  i += length;
  return point;
}

void appendUtf8(std::string& out, char32_t point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xc0 | point >> 6);
    out += static_cast<char>(0x80 | (point & 0x3f));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xe0 | point >> 12);
    out += static_cast<char>(0x80 | (point >> 6 & 0x3f));
    out += static_cast<char>(0x80 | (point & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | point >> 18);
    out += static_cast<char>(0x80 | (point >> 12 & 0x3f));
    out += static_cast<char>(0x80 | (point >> 6 & 0x3f));
    out += static_cast<char>(0x80 | (point & 0x3f));
  }
}

// Lower case by Unicode's own mapping ("Ÿ" is "ÿ").
char32_t lower(char32_t c) {
  return static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c)));
}

// The letters names are written with: Latin (ASCII, Latin-1, Extended-A and -B, Extended
// Additional), and the combining accents that follow a letter with no precomposed form.
bool isLetter(char32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= 0xc0 && c <= 0x24f && c != 0xd7 && c != 0xf7) || (c >= 0x300 && c <= 0x36f) ||
         (c >= 0x1e00 && c <= 0x1eff);
}

// The text with its accents composed (Unicode's NFC), so that "n" and a combining tilde are
// the one letter "ñ"; the text as it is when it is not UTF-8.
std::string composed(std::string_view text) {
  utf8proc_uint8_t* out = nullptr;
  auto length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                             static_cast<utf8proc_ssize_t>(text.size()), &out,
                             static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  if (length < 0) return std::string(text);
  std::string result(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
  std::free(out);
  return result;
}

bool endsSentence(char32_t c) {
  return c == '.' || c == '!' || c == '?' || c == ';' || c == ':' || c == '\n' || c == 0x2026;
}

class Reader {
 public:
  std::vector<std::vector<std::string>> sentences;

  void word(std::string token, bool fullStopAfter, bool& sentenceEnds) {
    std::string lowerCase;
    for (std::size_t i = 0; i < token.size();) {
      auto point = nextCodePoint(token, i);
      if (!point) return;
      appendUtf8(lowerCase, lower(*point));
    }
    if (fullStopAfter) {
      if (auto spoken = abbreviationRead(lowerCase)) {
        for (std::string_view read(*spoken); !read.empty();) {
          auto blank = read.find(' ');
          current_.emplace_back(read.substr(0, blank));
          read = blank == std::string_view::npos ? "" : read.substr(blank + 1);
        }
        sentenceEnds = false;  // "Dr. Novak" goes on
        return;
      }
    }
    if (lowerCase.size() <= longestWord) current_.push_back(std::move(lowerCase));
  }

  void digits(std::string_view token) {
    // 3rd, 21st, 4th: ordinals.
    std::size_t end = 0;
    while (end < token.size() && token[end] >= '0' && token[end] <= '9') ++end;
    std::string_view suffix = token.substr(end);
    std::string_view digits = token.substr(0, end);
    if (!suffix.empty()) {
      std::string lowerSuffix;
      for (char c : suffix) lowerSuffix += static_cast<char>(c | 0x20);
      if ((lowerSuffix == "st" || lowerSuffix == "nd" || lowerSuffix == "rd" ||
           lowerSuffix == "th") &&
          digits.size() <= 6) {
        ordinalWords(std::stoul(std::string(digits)), current_);
      } else {
        numberWords(digits, current_);
        word(std::string(suffix), false, ignored_);
      }
      return;
    }
    numberWords(digits, current_);
  }

  void endSentence() {
    if (!current_.empty()) sentences.push_back(std::move(current_));
    current_.clear();
  }

  void read(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
      std::size_t start = i;
      auto point = nextCodePoint(text, i);
      if (!point) {
        ++i;
        continue;
      }
      char32_t c = *point;
      if (isLetter(c) || (c >= '0' && c <= '9')) {
        // A token: letters and digits, with apostrophes inside ("don't", "o'brien").
        std::size_t end = i;
        std::size_t j = i;
        while (j < text.size()) {
          std::size_t at = j;
          auto next = nextCodePoint(text, j);
          if (!next) break;
          bool inside = isLetter(*next) || (*next >= '0' && *next <= '9');
          if (!inside && (*next == '\'' || *next == 0x2019) && j < text.size()) {
            std::size_t k = j;
            auto after = nextCodePoint(text, k);
            if (after && isLetter(*after)) {
              inside = true;
              next = '\'';
            }
          }
          if (!inside) {
            j = at;
            break;
          }
          end = j;
        }
        std::string token;
        for (std::size_t k = start; k < end;) {
          auto p = nextCodePoint(text, k);
          appendUtf8(token, *p == 0x2019 ? U'\'' : *p);
        }
        i = end;
        auto isDigit = [&](std::size_t at) {
          return at < text.size() && text[at] >= '0' && text[at] <= '9';
        };
        // "3,000": one number.
        if (token.size() <= 3 &&
            std::all_of(token.begin(), token.end(), [](char d) { return d >= '0' && d <= '9'; })) {
          while (i + 3 < text.size() && text[i] == ',' && isDigit(i + 1) && isDigit(i + 2) &&
                 isDigit(i + 3) && !isDigit(i + 4)) {
            token += text.substr(i + 1, 3);
            i += 4;
          }
        }
        // "10:30": a time of day.
        if (i + 2 < text.size() && text[i] == ':' && token.size() <= 2 &&
            std::all_of(token.begin(), token.end(), [](char d) { return d >= '0' && d <= '9'; }) &&
            text[i + 1] >= '0' && text[i + 1] <= '9' && text[i + 2] >= '0' && text[i + 2] <= '9' &&
            (i + 3 >= text.size() || text[i + 3] < '0' || text[i + 3] > '9')) {
          unsigned minutes = static_cast<unsigned>((text[i + 1] - '0') * 10 + text[i + 2] - '0');
          timeWords(std::stoul(token), minutes, current_);
          i += 3;
          continue;
        }
        bool fullStopAfter = i < text.size() && text[i] == '.';
        bool sentenceEnds = true;
        if (token[0] >= '0' && token[0] <= '9') {
          // Digits, then maybe letters: separated where they meet.
          std::size_t digitEnd = 0;
          while (digitEnd < token.size() && token[digitEnd] >= '0' && token[digitEnd] <= '9') {
            ++digitEnd;
          }
          bool onlyDigitsThenLetters =
              std::all_of(token.begin() + static_cast<long>(digitEnd), token.end(),
                          [](char d) { return !(d >= '0' && d <= '9'); });
          if (onlyDigitsThenLetters) {
            digits(token);
          } else {
            word(token, false, sentenceEnds);
          }
          // "1.5", "3,000": the parts are read on their own.
          if (i + 1 < text.size() && (text[i] == '.' || text[i] == ',') && text[i + 1] >= '0' &&
              text[i + 1] <= '9') {
            if (text[i] == '.') current_.emplace_back("point");
            ++i;
          }
          continue;
        }
        word(std::move(token), fullStopAfter, sentenceEnds);
        if (fullStopAfter && !sentenceEnds) ++i;  // the abbreviation's full stop
        continue;
      }
      if (c == '%') {
        current_.emplace_back("percent");
      } else if (c == '&') {
        current_.emplace_back("and");
      } else if (endsSentence(c)) {
        endSentence();
      }
    }
    endSentence();
  }

 private:
  std::vector<std::string> current_;
  bool ignored_ = true;
};

}  // namespace

std::size_t PersonalText::words() const {
  std::size_t total = 0;
  for (const auto& file : files) total += file.words;
  return total;
}

bool isText(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    auto point = nextCodePoint(bytes, i);
    if (!point) return false;
    if (*point < 0x20 && *point != '\t' && *point != '\n' && *point != '\r' && *point != '\f') {
      return false;
    }
  }
  return true;
}

std::vector<std::vector<std::string>> sentencesOf(std::string_view text) {
  Reader reader;
  reader.read(composed(text));
  return std::move(reader.sentences);
}

PersonalText readPersonalText(const std::filesystem::path& folder) {
  PersonalText text;
  auto opened = TextFolder::open(folder, false);
  if (!opened) {
    // A folder that is not there is no text; one that cannot be read as the writer's is named.
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(folder, error)) ||
        std::filesystem::is_symlink(std::filesystem::symlink_status(folder.parent_path(), error))) {
      text.skipped.push_back(opened.error());
    }
    return text;
  }
  int dir = opened->fd();
  std::vector<std::string> names = opened->names();
  Sha256 digest;
  std::size_t left = largestText;
  for (const auto& name : names) {
    auto skip = [&](const std::string& why) { text.skipped.push_back(name + ": " + why); };
    int fd = ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      skip(errno == ELOOP ? "it is a link" : std::strerror(errno));
      continue;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      ::close(fd);
      skip("it is not a file");
      continue;
    }
    if (static_cast<std::uintmax_t>(info.st_size) > left) {
      ::close(fd);
      skip("there is more text than the 20 MB read");
      continue;
    }
    std::string bytes(static_cast<std::size_t>(info.st_size) + 1, '\0');
    std::size_t got = 0;
    bool failed = false;
    for (;;) {
      ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) failed = true;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
      if (got == bytes.size()) break;
    }
    ::close(fd);
    if (failed) {
      skip("it cannot be read");
      continue;
    }
    if (got > static_cast<std::size_t>(info.st_size)) {
      skip("it grew while it was read");
      continue;
    }
    bytes.resize(got);
    if (!isText(bytes)) {
      skip("it is not UTF-8 text");
      continue;
    }
    left -= got;
    digest.update(name);
    digest.update(std::string_view("\0", 1));
    digest.update(std::to_string(got));
    digest.update(std::string_view("\0", 1));
    digest.update(bytes);
    auto sentences = sentencesOf(bytes);
    PersonalFile file{name, 0};
    for (auto& sentence : sentences) {
      file.words += sentence.size();
      text.sentences.push_back(std::move(sentence));
    }
    text.files.push_back(std::move(file));
  }
  text.digest = digest.hex();
  return text;
}

}  // namespace vorel::linuxplatform
