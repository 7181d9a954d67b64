// Where dictated audio comes from: a file, standard input or the microphone, always delivered
// as 48 kHz signed 16-bit mono samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "Stop.h"

namespace vorel::client {

inline constexpr int liveRate = 48000;
inline constexpr std::size_t liveBlockBytes = 9600;  // 100 ms of live audio

class AudioInput {
 public:
  // Takes the next samples; false to stop.
  using Take = std::function<bool(std::span<const std::int16_t>)>;

  // "" is the default microphone (PulseAudio, which PipeWire also serves); "-" is standard
  // input: a WAV, FLAC, Ogg or MP3 stream, told by its header, or else raw samples in the live
  // format; anything else is an audio file. Fails with a line for people; waiting for standard
  // input or the sound server ends, with no input, once `stop` is raised.
  static std::expected<std::unique_ptr<AudioInput>, std::string> open(const std::string& source,
                                                                      const Stop& stop);

  virtual ~AudioInput() = default;
  // Delivers the audio until its end, a false from `take`, or the stop; returns why it stopped
  // early when that was a failure (a read error is one, never taken for the end).
  virtual std::expected<void, std::string> read(const Take& take, const Stop& stop) = 0;
  // Whether the audio comes at the pace of speech by itself (a microphone does).
  virtual bool live() const { return false; }
};

}  // namespace vorel::client
