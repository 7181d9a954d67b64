// What vorel-speech-client shows people: timestamps, subtitle formats and progress bars.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "SpeechWire.h"

namespace vorel::client {

enum class Format { text, srt, vtt, json, txt };
std::optional<Format> formatNamed(const std::string& name);

// "01:02:03.456" (separator "." or ",").
std::string clock(std::uint64_t ms, char separator = '.');
// "2:03" or "1:02:03", for short displays.
std::string shortClock(std::uint64_t ms);

// The whole document for a list of segments in a format.
std::string render(const std::vector<SpeechSegment>& segments, Format format);
// One segment as the default text format shows it.
std::string timestamped(const SpeechSegment& segment);

// "12.3 MB"
std::string bytes(std::uint64_t count);

// A progress line fitted to a width: a label, a bar and the details that fit after it.
std::string progressLine(const std::string& label, double fraction, const std::string& details,
                         int width);

// The end of a text that fits a width, with a leading ellipsis when cut.
std::string tailToWidth(const std::string& text, int width);

}  // namespace vorel::client
