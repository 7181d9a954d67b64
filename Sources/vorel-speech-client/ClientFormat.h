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

// How subtitle cues are laid out: at most two lines of at most maxLineWidth characters (a longer
// word stands on a line of its own) and at most maxDurationMs a cue.
struct CueLayout {
  int maxLineWidth = 42;
  std::uint64_t maxDurationMs = 7000;
};

struct Cue {
  std::vector<std::string> lines;
  std::uint64_t startMs = 0;
  std::uint64_t endMs = 0;
};

// A segment as subtitle cues, split at word boundaries; the time of the segment is shared out
// by the length of the text.
std::vector<Cue> cuesOf(const SpeechSegment& segment, const CueLayout& layout);

// A document written as the segments arrive: its opening, a piece a segment, its close.
class Document {
 public:
  explicit Document(Format format, CueLayout layout = {}) : format_(format), layout_(layout) {}
  std::string open() const;
  std::string add(const SpeechSegment& segment);
  std::string close() const;

 private:
  Format format_;
  CueLayout layout_;
  int cues_ = 0;
  int segments_ = 0;
};

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
