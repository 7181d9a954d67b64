#include "AudioFiles.h"

#include <fcntl.h>
#include <soxr.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <vector>

namespace vorel::linuxplatform {
namespace {

std::int16_t toInt16(float sample) {
  float scaled = std::clamp(sample, -1.0f, 1.0f) * 32767.0f;
  return static_cast<std::int16_t>(std::lrint(scaled));
}

}  // namespace

std::expected<std::shared_ptr<SoundFile>, PlatformError> SoundFile::open(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return std::unexpected(PlatformError{"there is no audio file at " + path});
  }
  // Opened without blocking and checked on the descriptor itself: a FIFO or a device would wait
  // for a writer or never end, and only a regular file is a recording.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      return std::unexpected(PlatformError{"there is no audio file at " + path});
    }
    return std::unexpected(PlatformError{"the audio file " + path + " could not be opened (" +
                                         std::strerror(errno) + ")"});
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    bool folder = S_ISDIR(info.st_mode);
    ::close(fd);
    if (folder) return std::unexpected(PlatformError{path + " is a folder, not an audio file"});
    return std::unexpected(PlatformError{path + " is not a regular file, not an audio file"});
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return openStream(fd, "the audio file " + path);
}

std::expected<std::shared_ptr<SoundFile>, PlatformError> SoundFile::openStream(
    int fd, const std::string& name) {
  SF_INFO format{};
  SNDFILE* file = sf_open_fd(fd, SFM_READ, &format, /*close_desc=*/SF_FALSE);
  if (!file) {
    ::close(fd);
    std::string why = sf_strerror(nullptr);
    while (!why.empty() && (why.back() == '.' || why.back() == ' ')) why.pop_back();
    return std::unexpected(PlatformError{name + " could not be read (" + why + ")"});
  }
  if (format.samplerate < lowestRate || format.samplerate > highestRate) {
    sf_close(file);
    ::close(fd);
    return std::unexpected(
        PlatformError{name + " says its sample rate is " + std::to_string(format.samplerate) +
                      " Hz, which no speech recording has (" + std::to_string(lowestRate) + " to " +
                      std::to_string(highestRate) + " Hz)"});
  }
  return std::shared_ptr<SoundFile>(new SoundFile(name, fd, file, format));
}

SoundFile::~SoundFile() {
  sf_close(file_);
  ::close(fd_);
}

std::expected<void, PlatformError> SoundFile::read(int rate, const Block& block) {
  constexpr sf_count_t blockFrames = 8192;
  const int channels = std::max(info_.channels, 1);
  if (info_.samplerate <= 0) {
    return std::unexpected(PlatformError{name_ + " has no sample rate"});
  }
  if (sf_seek(file_, 0, SEEK_SET) < 0 && info_.seekable) {
    return std::unexpected(PlatformError{name_ + " could not be rewound"});
  }
  soxr_t resampler = nullptr;
  if (info_.samplerate != rate) {
    soxr_error_t failure = nullptr;
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    resampler = soxr_create(info_.samplerate, rate, 1, &failure, nullptr, &quality, nullptr);
    if (!resampler) {
      return std::unexpected(PlatformError{"the speech engine could not resample " + name_});
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
    outcome =
        std::unexpected(PlatformError{name_ + " could not be read (" + sf_strerror(file_) + ")"});
  }
  if (resampler) soxr_delete(resampler);
  return outcome;
}

}  // namespace vorel::linuxplatform
