// Time on a media timeline, as a rational number of seconds, and ranges of it.
#pragma once

#include <cmath>
#include <cstdint>

namespace vorel {

// A point on a media timeline: value / timescale seconds, with validity flags.
struct MediaTime {
  enum Flag : std::uint32_t {
    valid = 1,
    positiveInfinity = 4,
    negativeInfinity = 8,
    indefinite = 16,
  };

  std::int64_t value = 0;
  std::int32_t timescale = 0;
  std::uint32_t flags = 0;

  static MediaTime make(std::int64_t value, std::int32_t timescale) {
    return {value, timescale, timescale > 0 ? std::uint32_t{valid} : 0u};
  }
  static MediaTime invalid() { return {}; }

  bool isNumeric() const {
    return (flags & (valid | positiveInfinity | negativeInfinity | indefinite)) == valid;
  }
  double seconds() const {
    if (!isNumeric()) return std::nan("");
    return static_cast<double>(value) / static_cast<double>(timescale);
  }
};

struct MediaTimeRange {
  MediaTime start;
  MediaTime duration;

  MediaTime end() const {
    if (!start.isNumeric() || !duration.isNumeric()) return MediaTime::invalid();
    if (start.timescale == duration.timescale) {
      return MediaTime::make(start.value + duration.value, start.timescale);
    }
    constexpr std::int32_t micro = 1'000'000;
    return MediaTime::make(std::llround((start.seconds() + duration.seconds()) * micro), micro);
  }
};

}  // namespace vorel
