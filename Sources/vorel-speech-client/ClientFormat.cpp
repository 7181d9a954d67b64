#include "ClientFormat.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vorel::client {
namespace {

// Display width of UTF-8 text, counting each code point as one column.
int columns(const std::string& text) {
  return static_cast<int>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

}  // namespace

std::optional<Format> formatNamed(const std::string& name) {
  if (name == "text") return Format::text;
  if (name == "srt") return Format::srt;
  if (name == "vtt") return Format::vtt;
  if (name == "json") return Format::json;
  if (name == "txt") return Format::txt;
  return std::nullopt;
}

std::string clock(std::uint64_t ms, char separator) {
  char text[48];
  std::snprintf(text, sizeof text, "%02llu:%02llu:%02llu%c%03llu",
                static_cast<unsigned long long>(ms / 3600000),
                static_cast<unsigned long long>(ms / 60000 % 60),
                static_cast<unsigned long long>(ms / 1000 % 60), separator,
                static_cast<unsigned long long>(ms % 1000));
  return text;
}

std::string shortClock(std::uint64_t ms) {
  std::uint64_t seconds = ms / 1000;
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned long long>(seconds / 60 % 60),
                  static_cast<unsigned long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
  }
  return text;
}

std::string timestamped(const SpeechSegment& segment) {
  return "[" + clock(segment.startMs) + " --> " + clock(segment.endMs) + "]  " + segment.text;
}

namespace {

std::vector<std::string> wordsOf(const std::string& text) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    if (end > at) words.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

std::string joined(const std::vector<std::string>& words, std::size_t from, std::size_t to) {
  std::string text;
  for (std::size_t w = from; w < to; ++w) text += (w > from ? " " : "") + words[w];
  return text;
}

// The words as at most two lines within the width, as even as they go; nothing when they do
// not fit (a single word always does).
std::optional<std::vector<std::string>> twoLines(const std::vector<std::string>& words, int width) {
  std::string whole = joined(words, 0, words.size());
  if (columns(whole) <= width || words.size() == 1) return std::vector<std::string>{whole};
  std::optional<std::vector<std::string>> best;
  int bestLongest = 0;
  for (std::size_t cut = 1; cut < words.size(); ++cut) {
    std::string top = joined(words, 0, cut), bottom = joined(words, cut, words.size());
    int longest = std::max(columns(top), columns(bottom));
    bool fits = (columns(top) <= width || cut == 1) &&
                (columns(bottom) <= width || cut + 1 == words.size());
    if (fits && (!best || longest < bestLongest)) {
      best = std::vector<std::string>{top, bottom};
      bestLongest = longest;
    }
  }
  return best;
}

}  // namespace

std::vector<Cue> cuesOf(const SpeechSegment& segment, const CueLayout& layout) {
  auto words = wordsOf(segment.text);
  if (words.empty()) return {};
  std::uint64_t duration = segment.endMs > segment.startMs ? segment.endMs - segment.startMs : 0;
  std::vector<int> before{0};  // characters before each word, and in all of them last
  for (const auto& word : words) before.push_back(before.back() + columns(word) + 1);
  auto total = static_cast<std::uint64_t>(before.back());
  auto timeAt = [&](std::size_t word) {
    return segment.startMs + duration * static_cast<std::uint64_t>(before[word]) / total;
  };
  std::uint64_t longest = std::max<std::uint64_t>(layout.maxDurationMs, 1);
  // The fewest cues, of text as even as the words allow, that keep to the layout.
  for (std::size_t count = std::max<std::uint64_t>(1, (duration + longest - 1) / longest);
       count <= words.size(); ++count) {
    std::vector<Cue> cues;
    std::size_t first = 0;
    bool fits = true;
    for (std::size_t k = 1; k <= count && fits; ++k) {
      std::size_t past = first + 1;
      std::uint64_t target = total * k / count;
      while (past < words.size() - (count - k) &&
             static_cast<std::uint64_t>(before[past]) < target) {
        ++past;
      }
      if (k == count) past = words.size();
      std::vector<std::string> group(words.begin() + static_cast<std::ptrdiff_t>(first),
                                     words.begin() + static_cast<std::ptrdiff_t>(past));
      auto lines = twoLines(group, layout.maxLineWidth);
      Cue cue{lines.value_or(std::vector<std::string>{}), timeAt(first), timeAt(past)};
      fits = lines && (cue.endMs - cue.startMs <= longest || group.size() == 1);
      cues.push_back(std::move(cue));
      first = past;
    }
    if (fits) return cues;
  }
  // Only when no split fits: a word a cue.
  std::vector<Cue> cues;
  for (std::size_t w = 0; w < words.size(); ++w)
    cues.push_back({{words[w]}, timeAt(w), timeAt(w + 1)});
  return cues;
}

std::string Document::open() const {
  switch (format_) {
    case Format::vtt:
      return "WEBVTT\n\n";
    case Format::json:
      return "[";
    default:
      return "";
  }
}

std::string Document::add(const SpeechSegment& segment) {
  std::string out;
  switch (format_) {
    case Format::text:
      out = timestamped(segment) + "\n";
      break;
    case Format::txt:
      out = segment.text + "\n";
      break;
    case Format::srt:
    case Format::vtt:
      for (const auto& cue : cuesOf(segment, layout_)) {
        bool srt = format_ == Format::srt;
        if (srt) out += std::to_string(++cues_) + "\n";
        out += clock(cue.startMs, srt ? ',' : '.') + " --> " + clock(cue.endMs, srt ? ',' : '.') +
               "\n";
        for (const auto& line : cue.lines) out += line + "\n";
        out += "\n";
      }
      break;
    case Format::json:
      out = (segments_ ? "," : "") + Wire::encode(segment).value_or("{}");
      break;
  }
  ++segments_;
  return out;
}

std::string Document::close() const {
  return format_ == Format::json ? "]\n" : "";
}

std::string bytes(std::uint64_t count) {
  char text[32];
  if (count >= 1'000'000'000) {
    std::snprintf(text, sizeof text, "%.1f GB", count / 1e9);
  } else if (count >= 1'000'000) {
    std::snprintf(text, sizeof text, "%.1f MB", count / 1e6);
  } else if (count >= 1000) {
    std::snprintf(text, sizeof text, "%.1f kB", count / 1e3);
  } else {
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(count));
  }
  return text;
}

std::string progressLine(const std::string& label, double fraction, const std::string& details,
                         int width) {
  fraction = std::clamp(std::isfinite(fraction) ? fraction : 0.0, 0.0, 1.0);
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100));
  std::string tail = std::string(" ") + percent + (details.empty() ? "" : "  " + details);
  int room = width - columns(label) - columns(tail) - 3;  // the two brackets and a blank
  if (room < 10) {                                        // too narrow for details: keep the bar
    tail = std::string(" ") + percent;
    room = width - columns(label) - columns(tail) - 3;
  }
  std::string bar;
  if (room > 0) {
    int filled = static_cast<int>(fraction * room);
    bar = " [" + std::string(filled, '#') + std::string(room - filled, '.') + "]";
  }
  std::string line = label + bar + tail;
  return columns(line) > width ? tailToWidth(line, width) : line;
}

std::string tailToWidth(const std::string& text, int width) {
  if (width <= 0) return {};
  if (columns(text) <= width) return text;
  // Keep the last width - 1 code points after an ellipsis.
  int keep = width - 1;
  std::size_t at = text.size();
  while (keep > 0 && at > 0) {
    --at;
    if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80) --keep;
  }
  return "…" + text.substr(at);
}

}  // namespace vorel::client
