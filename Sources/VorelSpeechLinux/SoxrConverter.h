// The live audio converter: a streaming libsoxr resampler from mono 16-bit input to the
// analyzer's mono format, one per session, reporting the converter's output statuses.
#pragma once

#include <soxr.h>

#include <memory>
#include <vector>

#include "SpeechPlatform.h"

namespace vorel::linuxplatform {

class SoxrConverter final : public AudioConverter {
 public:
  // nullptr when the two formats cannot be converted (not mono, or no rate).
  static std::unique_ptr<SoxrConverter> make(const AudioFormat& from, const AudioFormat& to);
  ~SoxrConverter() override;

  ConverterOutputStatus convert(PcmBuffer& output, const InputProvider& provider) override;

 private:
  SoxrConverter(soxr_t resampler, AudioFormat to) : resampler_(resampler), to_(to) {}

  // Runs the resampler over in (null: flush) into output from its frameLength on; returns the
  // number of input frames used, or nothing on error.
  std::optional<std::size_t> process(const std::int16_t* in, std::size_t frames, PcmBuffer& output);

  soxr_t resampler_;
  AudioFormat to_;
  std::vector<std::int16_t> leftover_;  // input the last call had no room for
};

}  // namespace vorel::linuxplatform
