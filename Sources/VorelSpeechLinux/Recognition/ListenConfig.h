// Every tuning value of listening in one place, each with its unit in its name, grouped by what
// it tunes: the audio, finding utterances (the endpoint rules), decoding, telling speech from
// the noise floor (the speech detector), and noise. The defaults are the numbers the
// recogniser is measured with; the pipeline is given them where it is built, and tests may give
// smaller ones.
#pragma once

#include <cstdint>
#include <span>

#include "MediaTime.h"

namespace vorel::linuxplatform {

struct ListenConfig {
  // The audio the recogniser hears, and the frames speech is told in.
  static constexpr int sampleRate = 16000;
  static constexpr int frameMs = 10;
  static constexpr int frameSamples = sampleRate * frameMs / 1000;  // 160

  // Finding utterances.
  int prerollMs = 300;         // audio kept before speech starts
  int speechToStartMs = 30;    // speech in a row that opens an utterance
  int pauseToEndMs = 350;      // a pause this long ends an utterance
  int longUtteranceS = 5;      // past this, a shorter pause ends it
  int shortPauseMs = 150;      // that shorter pause
  int longestUtteranceS = 10;  // by this, cut without a pause: at the quietest stretch past
  int cutWindowMs = 50;        // longUtteranceS, this long
  int guessAfterMs = 150;      // live, a pause this long starts the final decode
  int reportEveryMs = 1000;    // a result at least this often while nothing is said
  int repeatPartialMs = 200;   // an unchanged partial text again after this
  int decodeBlockMs = 100;     // the running decode takes audio in blocks this long
  int longestPhraseMs = 7000;  // results are phrases of at most this

  // Decoding: a file's utterances on up to this many decoders (each holds a model, about 20
  // MB), each at most this many utterances ahead of its results.
  static constexpr int mostFileDecoders = 4;
  static constexpr int fileUtterancesAheadPerDecoder = 2;

  // Telling speech from the noise floor.
  double speechAboveFloorDb = 15;     // a frame this far above the floor is speech
  double speechAtLeastDbfs = -60;     // and never quieter than this
  double floorRiseDbPerFrame = 0.02;  // the floor creeps up by 2 dB a second
  double floorAtMostDbfs = -50;       // where the floor starts, unless the audio starts quieter

  // Telling a noisy recording from a clean one (20 ms blocks).
  static constexpr int noiseBlockSamples = 320;
  int noiseFloorWindowS = 3;  // the quietest blocks of this long hold the noise
  int noisePeakWindowS = 10;  // the loudest blocks of this long hold the speech
  double noisyBelowDb = 31;   // noisy when speech stands less than this above the noise
  double cleanAboveDb = 35;   // clean again when more than this
  int noiseSuppressDb = -15;  // how far the denoiser pushes noise down

  static constexpr int frames(int ms) { return ms / frameMs; }
  static constexpr std::int64_t samples(int ms) { return std::int64_t{ms} * sampleRate / 1000; }
};

// A sentence may end at a pause that ends an utterance.
inline constexpr int sentenceEndPauseMs = ListenConfig{}.pauseToEndMs;

// The level of some samples in dB below full scale (-100 for digital silence).
double levelDbfs(std::span<const std::int16_t> samples);

// A position on the recogniser's timeline, in samples, as a media time.
inline MediaTime sampleTime(std::int64_t sample) {
  return MediaTime::make(sample, ListenConfig::sampleRate);
}

}  // namespace vorel::linuxplatform
