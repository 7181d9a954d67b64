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

std::string render(const std::vector<SpeechSegment>& segments, Format format) {
  std::string out;
  switch (format) {
    case Format::text:
      for (const auto& s : segments) out += timestamped(s) + "\n";
      break;
    case Format::txt:
      for (const auto& s : segments) out += s.text + "\n";
      break;
    case Format::srt:
      for (std::size_t i = 0; i < segments.size(); ++i) {
        const auto& s = segments[i];
        out += std::to_string(i + 1) + "\n" + clock(s.startMs, ',') + " --> " +
               clock(s.endMs, ',') + "\n" + s.text + "\n\n";
      }
      break;
    case Format::vtt:
      out = "WEBVTT\n\n";
      for (const auto& s : segments) {
        out += clock(s.startMs) + " --> " + clock(s.endMs) + "\n" + s.text + "\n\n";
      }
      break;
    case Format::json:
      out = "[";
      for (std::size_t i = 0; i < segments.size(); ++i) {
        out += (i ? "," : "") + Wire::encode(segments[i]).value_or("{}");
      }
      out += "]\n";
      break;
  }
  return out;
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
