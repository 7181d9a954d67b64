#include "AudioFiles.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <vector>

namespace vorel::real {
namespace {

std::int16_t toInt16(float sample) {
  float scaled = std::clamp(sample, -1.0f, 1.0f) * 32767.0f;
  return static_cast<std::int16_t>(std::lrint(scaled));
}

}  // namespace

std::expected<std::shared_ptr<SoundFile>, PlatformError> SoundFile::open(const std::string& path) {
  std::error_code error;
  auto status = std::filesystem::status(path, error);
  if (!std::filesystem::exists(status)) {
    return std::unexpected(PlatformError{"there is no audio file at " + path});
  }
  if (std::filesystem::is_directory(status)) {
    return std::unexpected(PlatformError{path + " is a folder, not an audio file"});
  }
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) {
    std::string why = sf_strerror(nullptr);
    while (!why.empty() && (why.back() == '.' || why.back() == ' ')) why.pop_back();
    return std::unexpected(
        PlatformError{"the audio file " + path + " could not be read (" + why + ")"});
  }
  return std::shared_ptr<SoundFile>(new SoundFile(path, file, info));
}

SoundFile::~SoundFile() {
  sf_close(file_);
}

std::expected<void, PlatformError> SoundFile::read(
    int rate, const std::function<bool(std::span<const std::int16_t>)>& block) {
  constexpr sf_count_t blockFrames = 8192;
  const int channels = std::max(info_.channels, 1);
  if (info_.samplerate <= 0) {
    return std::unexpected(PlatformError{"the audio file " + path_ + " has no sample rate"});
  }
  if (sf_seek(file_, 0, SEEK_SET) < 0 && info_.seekable) {
    return std::unexpected(PlatformError{"the audio file " + path_ + " could not be rewound"});
  }
  soxr_t resampler = nullptr;
  if (info_.samplerate != rate) {
    soxr_error_t failure = nullptr;
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    resampler = soxr_create(info_.samplerate, rate, 1, &failure, nullptr, &quality, nullptr);
    if (!resampler) {
      return std::unexpected(PlatformError{"the speech engine could not resample " + path_});
    }
  }
  std::vector<float> interleaved(blockFrames * channels);
  std::vector<float> mono(blockFrames);
  std::vector<float> resampled(
      static_cast<std::size_t>(std::ceil(blockFrames * double(rate) / info_.samplerate)) + 64);
  std::vector<std::int16_t> samples;
  auto deliver = [&](const float* data, std::size_t count) {
    samples.resize(count);
    std::transform(data, data + count, samples.begin(), toInt16);
    return count == 0 || block(samples);
  };
  auto resample = [&](const float* in, std::size_t count) {
    // Pulls everything soxr has for this input (all of it when in is null: the end).
    for (;;) {
      std::size_t used = 0, produced = 0;
      soxr_process(resampler, in, count, &used, resampled.data(), resampled.size(), &produced);
      if (!deliver(resampled.data(), produced)) return false;
      if (in) {
        in += used;
        count -= used;
        if (count == 0 && produced < resampled.size()) return true;
      } else if (produced == 0) {
        return true;
      }
    }
  };

  bool more = true;
  std::expected<void, PlatformError> outcome;
  while (more) {
    sf_count_t got = sf_readf_float(file_, interleaved.data(), blockFrames);
    if (got <= 0) break;
    for (sf_count_t f = 0; f < got; ++f) {
      float sum = 0;
      for (int c = 0; c < channels; ++c) sum += interleaved[f * channels + c];
      mono[f] = sum / channels;
    }
    more = resampler ? resample(mono.data(), static_cast<std::size_t>(got))
                     : deliver(mono.data(), static_cast<std::size_t>(got));
  }
  if (more && resampler) resample(nullptr, 0);
  if (sf_error(file_) != SF_ERR_NO_ERROR) {
    outcome = std::unexpected(PlatformError{"the audio file " + path_ + " could not be read (" +
                                            sf_strerror(file_) + ")"});
  }
  if (resampler) soxr_delete(resampler);
  return outcome;
}

}  // namespace vorel::real
