#include "SpeechPlatform.h"

namespace vorel {

std::optional<PcmBuffer> PcmBuffer::make(const AudioFormat& format, std::uint32_t capacity) {
  constexpr std::uint64_t maxSamples = std::uint64_t{1} << 31;
  if (!(format.sampleRate > 0) || format.channels == 0 || capacity == 0) return std::nullopt;
  std::uint64_t samples = std::uint64_t{capacity} * format.channels;
  if (samples > maxSamples) return std::nullopt;
  PcmBuffer buffer{format, capacity, 0, {}, {}};
  if (format.commonFormat == CommonFormat::int16) {
    buffer.int16.assign(samples, 0);
  } else {
    buffer.float32.assign(samples, 0.0f);
  }
  return buffer;
}

}  // namespace vorel
