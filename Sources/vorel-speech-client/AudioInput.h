// Where dictated audio comes from: a file, standard input or the microphone, always delivered
// as 48 kHz signed 16-bit mono samples.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>

namespace vorel::client {

inline constexpr int liveRate = 48000;

class AudioInput {
 public:
  // Takes the next samples; false to stop.
  using Take = std::function<bool(std::span<const std::int16_t>)>;

  // "" is the default microphone (PulseAudio, which PipeWire also serves); "-" is standard
  // input: a WAV, FLAC, Ogg or MP3 stream, told by its header, or else raw samples in the live
  // format; anything else is an audio file. Fails with a line for people.
  static std::expected<std::unique_ptr<AudioInput>, std::string> open(const std::string& source);

  virtual ~AudioInput() = default;
  // Delivers the audio until its end, a false from `take`, or `interrupted`; returns why it
  // stopped early when that was a failure.
  virtual std::expected<void, std::string> read(const Take& take,
                                                const std::atomic<bool>& interrupted) = 0;
  // Whether the audio comes at the pace of speech by itself (a microphone does).
  virtual bool live() const { return false; }
};

// A temporary file, removed with its owner, or by removeTemporaryFileNow.
class TemporaryFile {
 public:
  // Everything on standard input (an audio file, at most 4 GiB), kept in $TMPDIR or /tmp.
  static std::expected<TemporaryFile, std::string> holdingStandardInput();
  TemporaryFile(TemporaryFile&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  TemporaryFile& operator=(TemporaryFile&&) = delete;
  ~TemporaryFile();
  const std::string& path() const { return path_; }

 private:
  explicit TemporaryFile(std::string path);
  std::string path_;
};

// Removes the temporary file that exists, if one does, from a signal handler about to _exit:
// async-signal-safe.
void removeTemporaryFileNow();

}  // namespace vorel::client
