// PocketSphinx decoding of a 16 kHz 16-bit mono stream into timed results.
//
// PocketSphinx's own silence removal drops frames, so its frame numbers drift off the audio
// timeline. The decoder therefore finds utterances itself, with an energy detector over 10 ms
// frames, and hands PocketSphinx only the utterances (with a little audio around them) with its
// silence removal off: word frames then count from the utterance's first sample, whose place on
// the timeline is known. Utterances end at pauses, and long ones are cut at the next short pause
// well before PocketSphinx's buffers overrun.
#pragma once

#include <cstdint>
#include <deque>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "SpeechPlatform.h"

struct ps_decoder_s;
struct SpeexPreprocessState_;

namespace vorel::real {

// Where a PocketSphinx model's three parts are.
struct ModelFiles {
  std::filesystem::path acousticModel;  // a folder holding mdef, means, variances ...
  std::filesystem::path languageModel;  // *.lm.bin, *.lm or *.DMP
  std::filesystem::path dictionary;     // *.dict
};

// The recogniser's words (lower case, one blank apart) as people write them: the first word
// capitalised, and "I" with its forms ("I'm", "I'll", "I've", "I'd"); nothing else changes.
std::string asWritten(std::string_view words);

// Splits an utterance's words (their first and past-the-last frames) into phrases of at most
// `longest` frames where it can, each cut at the widest pause between two of its words: the
// [first, past-the-last) word ranges, in order, covering every word.
std::vector<std::pair<std::size_t, std::size_t>> phrases(
    const std::vector<std::pair<int, int>>& words, int longest);

// Finds the three parts in a model folder, or says what is missing.
std::expected<ModelFiles, std::string> findModel(const std::filesystem::path& folder);

// Energy-based speech detection over 10 ms frames, with a noise floor that follows the quietest
// recent frames.
class SpeechDetector {
 public:
  static constexpr int frameSamples = 160;  // 10 ms at 16 kHz
  bool isSpeech(std::span<const std::int16_t> frame);

 private:
  double floor_ = 0;
  bool started_ = false;
};

// Whether recent audio is noisy: the loudest 20 ms blocks of the last ten seconds stand less
// than 31 dB above the quietest of the last three (which, between words, hold only the noise);
// it is clean again once they stand more than 35 dB apart. A recording with real silence
// between its words never counts as noisy, whatever its level. The first three seconds are
// not judged.
class NoiseLevel {
 public:
  static constexpr int floorBlocks = 150;  // 3 s
  static constexpr int peakBlocks = 500;   // 10 s
  static constexpr double noisyBelowDb = 31;
  static constexpr double cleanAboveDb = 35;

  // Judges after each block; no judgement before a floor window's worth of audio.
  void add(std::span<const std::int16_t> block);
  bool noisy() const { return noisy_; }

 private:
  std::int64_t count_ = 0;
  bool noisy_ = false;
  // Blocks that may still be the window's extreme: (block number, level in dBFS).
  std::deque<std::pair<std::int64_t, double>> quietest_;
  std::deque<std::pair<std::int64_t, double>> loudest_;
};

// Suppresses stationary noise (the Speex preprocessor: denoising only, no gain control) in
// 20 ms blocks where the audio is noisy, and passes clean audio as it is; the output keeps the
// input's timeline, held back by less than one block.
class Denoiser {
 public:
  static constexpr int blockSamples = 320;  // 20 ms at 16 kHz
  Denoiser();
  ~Denoiser();
  Denoiser(const Denoiser&) = delete;
  Denoiser& operator=(const Denoiser&) = delete;

  // The denoised samples of every whole block completed by these.
  std::span<const std::int16_t> process(std::span<const std::int16_t> samples);
  // What is left short of a block, as it came.
  std::vector<std::int16_t> rest() { return std::exchange(held_, {}); }

 private:
  SpeexPreprocessState_* state_;
  NoiseLevel level_;
  std::vector<std::int16_t> held_;
  std::vector<std::int16_t> out_;
};

class Decoder {
 public:
  static constexpr int sampleRate = 16000;
  // Results are phrases of at most about 7 s: subtitles and a journal read them as sentences.
  static constexpr int longestPhraseFrames = 700;
  using Sink = std::function<void(TranscriptionResult)>;

  // Loads the model; fails with a readable reason.
  static std::expected<std::unique_ptr<Decoder>, PlatformError> open(const ModelFiles& model,
                                                                     bool partialResults,
                                                                     Sink sink);
  // Loads the model and decodes half a second of near silence with it; whether that worked.
  // Damaged models can end the process instead: run this in a child process (see ModelCheck).
  static bool trialRun(const ModelFiles& model);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // Decodes more audio; results reach the sink as utterances end (and, with partial results,
  // as the hypothesis of an open utterance changes).
  void feed(std::span<const std::int16_t> samples);
  // Ends an open utterance and delivers its result.
  void flush();
  // Samples fed so far: the position on the audio timeline.
  std::int64_t position() const { return position_; }

 private:
  Decoder(ps_decoder_s* ps, bool partialResults, Sink sink);

  void takeFrame(std::span<const std::int16_t> frame);
  void startUtterance();
  void endUtterance();
  void decodePending(bool all);
  void reportPartial();
  void reportSilence();
  static MediaTime at(std::int64_t sample) { return MediaTime::make(sample, sampleRate); }

  void takeSamples(std::span<const std::int16_t> samples);

  ps_decoder_s* ps_;
  bool partialResults_;
  Sink sink_;
  Denoiser denoiser_;
  SpeechDetector detector_;

  std::vector<std::int16_t> partialFrame_;  // samples short of a whole frame
  std::int64_t position_ = 0;               // samples fed
  std::int64_t framesSeen_ = 0;             // whole frames taken

  std::deque<std::vector<std::int16_t>> preroll_;  // recent frames while no utterance is open
  int speechRun_ = 0;

  bool inUtterance_ = false;
  std::int64_t utteranceStart_ = 0;  // sample of the utterance's first frame
  std::int64_t utteranceFrames_ = 0;
  int silenceRun_ = 0;
  std::vector<std::int16_t> pending_;  // utterance audio not yet handed to PocketSphinx

  std::string lastPartial_;
  std::int64_t lastReportFrame_ = 0;
};

}  // namespace vorel::real
