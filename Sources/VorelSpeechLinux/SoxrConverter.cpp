#include "SoxrConverter.h"

namespace vorel::linuxplatform {

std::unique_ptr<SoxrConverter> SoxrConverter::make(const AudioFormat& from, const AudioFormat& to) {
  if (from.channels != 1 || to.channels != 1 || from.commonFormat != CommonFormat::int16 ||
      !(from.sampleRate > 0) || !(to.sampleRate > 0)) {
    return nullptr;
  }
  soxr_io_spec_t io = soxr_io_spec(
      SOXR_INT16_I, to.commonFormat == CommonFormat::int16 ? SOXR_INT16_I : SOXR_FLOAT32_I);
  // No dither: it adds noise from a random seed, and the same audio must always be heard the
  // same way.
  io.flags |= SOXR_NO_DITHER;
  soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_error_t error = nullptr;
  soxr_t resampler = soxr_create(from.sampleRate, to.sampleRate, 1, &error, &io, &quality, nullptr);
  if (!resampler || error) return nullptr;
  return std::unique_ptr<SoxrConverter>(new SoxrConverter(resampler, to));
}

SoxrConverter::~SoxrConverter() {
  soxr_delete(resampler_);
}

std::optional<std::size_t> SoxrConverter::process(const std::int16_t* in, std::size_t frames,
                                                  PcmBuffer& output) {
  std::size_t room = output.frameCapacity - output.frameLength;
  void* out = output.format.commonFormat == CommonFormat::int16
                  ? static_cast<void*>(output.int16.data() + output.frameLength)
                  : static_cast<void*>(output.float32.data() + output.frameLength);
  std::size_t used = 0, produced = 0;
  if (soxr_process(resampler_, in, frames, &used, out, room, &produced) != nullptr) {
    return std::nullopt;
  }
  output.frameLength += static_cast<std::uint32_t>(produced);
  return used;
}

ConverterOutputStatus SoxrConverter::convert(PcmBuffer& output, const InputProvider& provider) {
  if (output.format != to_) return ConverterOutputStatus::error;
  // First whatever an earlier call could not take.
  if (!leftover_.empty()) {
    auto used = process(leftover_.data(), leftover_.size(), output);
    if (!used) return ConverterOutputStatus::error;
    leftover_.erase(leftover_.begin(), leftover_.begin() + static_cast<std::ptrdiff_t>(*used));
  }
  while (output.frameLength < output.frameCapacity) {
    auto input = provider(output.frameCapacity - output.frameLength);
    switch (input.status) {
      case ConverterInputStatus::noDataNow:
        return ConverterOutputStatus::inputRanDry;
      case ConverterInputStatus::endOfStream:
        return process(nullptr, 0, output) ? ConverterOutputStatus::endOfStream
                                           : ConverterOutputStatus::error;
      case ConverterInputStatus::haveData:
        break;
    }
    if (!input.buffer || input.buffer->format.commonFormat != CommonFormat::int16) {
      return ConverterOutputStatus::error;
    }
    const auto* samples = input.buffer->int16.data();
    std::size_t frames = input.buffer->frameLength;
    auto used = process(samples, frames, output);
    if (!used) return ConverterOutputStatus::error;
    leftover_.insert(leftover_.end(), samples + *used, samples + frames);
  }
  return ConverterOutputStatus::haveData;
}

}  // namespace vorel::linuxplatform
