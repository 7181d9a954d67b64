// What the audio goes through before speech is looked for in it: a gauge of how noisy it is, and
// a denoiser that takes stationary noise out where there is noise to take.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <utility>
#include <vector>

#include "ListenConfig.h"

struct SpeexPreprocessState_;

namespace vorel::linuxplatform {

// Whether recent audio is noisy: the loudest 20 ms blocks of the last ten seconds stand less
// than 31 dB above the quietest of the last three (which, between words, hold only the noise);
// it is clean again once they stand more than 35 dB apart. A recording with real silence
// between its words never counts as noisy, whatever its level. The first three seconds are
// not judged.
class NoiseLevel {
 public:
  explicit NoiseLevel(const ListenConfig& config = {});
  // Judges after each block; no judgement before a floor window's worth of audio.
  void add(std::span<const std::int16_t> block);
  bool noisy() const { return noisy_; }
  bool judged() const { return count_ >= floorBlocks_; }
  // Before the first judgement: whether what there has been so far sounds noisy.
  bool noisySoFar() const;

 private:
  const std::int64_t floorBlocks_;
  const std::int64_t peakBlocks_;
  const double noisyBelowDb_;
  const double cleanAboveDb_;
  std::int64_t count_ = 0;
  bool noisy_ = false;
  // Blocks that may still be the window's extreme: (block number, level in dBFS).
  std::deque<std::pair<std::int64_t, double>> quietest_;
  std::deque<std::pair<std::int64_t, double>> loudest_;
};

// Suppresses stationary noise (the Speex preprocessor: denoising only, no gain control) in
// 20 ms blocks where the audio is noisy, and passes clean audio as it is; the output keeps the
// input's timeline, held back by less than one block. Looking back (for a file, where nobody
// waits for the first words), the first three seconds are held until they can be judged, so
// that noise from the very start is taken out too.
class Denoiser {
 public:
  static constexpr int blockSamples = ListenConfig::noiseBlockSamples;
  explicit Denoiser(const ListenConfig& config, bool lookBack = false);
  ~Denoiser();
  Denoiser(const Denoiser&) = delete;
  Denoiser& operator=(const Denoiser&) = delete;

  // The samples ready: those of every whole block completed by these (or, looking back, none
  // until the first judgement, then all held so far).
  std::span<const std::int16_t> process(std::span<const std::int16_t> samples);
  // At the end of the audio: what is still held, judged on what there was, and what is left
  // short of a block, as it came.
  std::vector<std::int16_t> rest();

 private:
  void releaseHeld(bool noisy);

  SpeexPreprocessState_* state_;
  NoiseLevel level_;
  bool holding_;
  std::vector<std::int16_t> heldRaw_;  // the first blocks, as they came
  std::vector<std::int16_t> partial_;  // short of a block
  std::vector<std::int16_t> out_;
};

}  // namespace vorel::linuxplatform
