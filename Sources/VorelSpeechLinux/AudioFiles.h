// Audio files through libsndfile (WAV, FLAC, Ogg/Vorbis, Opus, MP3 ...), read as the analyzer
// wants them: 16 kHz 16-bit mono, resampled with libsoxr.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "SpeechPlatform.h"

namespace vorel::linuxplatform {

class SoundFile final : public AudioFile {
 public:
  // Sample rates a speech recording may have; others are refused as damaged or absurd.
  static constexpr int lowestRate = 4000;
  static constexpr int highestRate = 384000;

  // Opens a regular file (never a FIFO, device or folder) that libsndfile reads.
  static std::expected<std::shared_ptr<SoundFile>, PlatformError> open(const std::string& path);
  // Reads a stream (a pipe too) that libsndfile reads as it comes, named in failures by `name`
  // (a whole phrase: "the audio on standard input"); takes the descriptor. Its length is
  // unknown.
  static std::expected<std::shared_ptr<SoundFile>, PlatformError> openStream(
      int fd, const std::string& name);
  ~SoundFile() override;

  double sampleRate() const override { return info_.samplerate; }
  std::int64_t lengthInFrames() const override { return info_.frames; }

  // Fails with a readable reason.
  std::expected<void, PlatformError> read(int rate, const Block& block) override;

 private:
  SoundFile(std::string name, int fd, SNDFILE* file, SF_INFO info)
      : name_(std::move(name)), fd_(fd), file_(file), info_(info) {}

  std::string name_;  // "the audio file PATH", or what openStream was given
  int fd_;
  SNDFILE* file_;
  SF_INFO info_;
};

}  // namespace vorel::linuxplatform
