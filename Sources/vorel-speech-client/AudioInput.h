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

// What standard input holds, told by its first bytes: a container libsndfile reads only from a
// file (FLAC, and MP3 with or without an ID3 tag, told by two MPEG frames in a row), one it reads
// as it comes (WAV, Ogg), or none (raw samples in the live format).
struct InputHead {
  enum class Kind { file, stream, raw };
  Kind kind;
  std::string start;  // the bytes read, an ID3 tag left out
};
// Fails on empty input, an ID3 tag with no MP3 after it, a read error or the stop.
std::expected<InputHead, std::string> readInputHead(const Stop& stop);

// Everything on standard input (an audio file, or raw samples in the live format, which are
// given a WAV header; at most 4 GiB), kept in an unnamed file in $TMPDIR or /tmp that nothing
// can leave behind: its descriptor, open for reading and inherited by children (a child reads
// it as /dev/fd/N). Fails with a line for people; stops, failing with "stopped", once `stop` is
// raised.
std::expected<int, std::string> keepStandardInput(const Stop& stop);

// Whether standard input was closed when the client started (its descriptor then holds
// /dev/null, so that nothing else takes it).
bool standardInputWasClosed();
void noteStandardInputClosed();

}  // namespace vorel::client
