// PocketSphinx decoding of a 16 kHz 16-bit mono stream into timed results.
//
// PocketSphinx's own silence removal drops frames, so its frame numbers drift off the audio
// timeline. The decoder therefore finds utterances itself, with an energy detector over 10 ms
// frames, and hands PocketSphinx only the utterances (with a little audio around them) with its
// silence removal off: word frames then count from the utterance's first sample, whose place on
// the timeline is known. Utterances end at pauses, and long ones are cut at the next short pause
// well before PocketSphinx's buffers overrun.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "ModelFiles.h"
#include "SpeechPlatform.h"

struct ps_decoder_s;
struct SpeexPreprocessState_;

namespace vorel::linuxplatform {

// The recogniser's words (lower case, one blank apart) as people write them: the first word
// capitalised, and "I" with its forms ("I'm", "I'll", "I've", "I'd"); nothing else changes.
std::string asWritten(std::string_view words);

// Splits an utterance's words (their first and past-the-last frames) into phrases of at most
// `longest` frames where it can, each cut at the widest pause between two of its words: the
// [first, past-the-last) word ranges, in order, covering every word.
std::vector<std::pair<std::size_t, std::size_t>> phrases(
    const std::vector<std::pair<int, int>>& words, int longest);

// Energy-based speech detection over 10 ms frames, with a noise floor that follows the quietest
// recent frames. It hears the audio after noise suppression, where speech stands well above
// the floor even in a noisy room.
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
  bool judged() const { return count_ >= floorBlocks; }
  // Before the first judgement: whether what there has been so far sounds noisy.
  bool noisySoFar() const;

 private:
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
  static constexpr int blockSamples = 320;  // 20 ms at 16 kHz
  explicit Denoiser(bool lookBack = false);
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

// One loaded PocketSphinx recogniser: decodes an utterance whole, or runs over one as it grows.
class Recogniser {
 public:
  // A recognised word, with its first and past-the-last 10 ms frames in the utterance.
  struct Word {
    std::string spelling;
    int first;
    int past;
  };

  static std::unique_ptr<Recogniser> load(const ModelFiles& model);
  ~Recogniser();
  Recogniser(const Recogniser&) = delete;
  Recogniser& operator=(const Recogniser&) = delete;

  // Decodes a whole utterance at once, normalised over all of it as the model asks.
  std::vector<Word> decodeWhole(std::span<const std::int16_t> utterance);

  // A running decode, normalised as it goes: for the text of an utterance still being spoken.
  void begin();
  void add(std::span<const std::int16_t> samples);
  std::string hypothesis();
  void end();

 private:
  explicit Recogniser(ps_decoder_s* ps) : ps_(ps) {}
  std::vector<Word> words();

  ps_decoder_s* ps_;
  bool running_ = false;
};

// Decodes utterances whole on worker threads, each with a recogniser of its own (the first one
// given loaded, the others loaded once, as they are needed, up to `most`), and delivers their
// results to the sink in the order the utterances were given, between results given directly. Holds
// at most two utterances a worker waiting; `decode` waits for room.
class WholeUtterances {
 public:
  using Sink = std::function<void(TranscriptionResult)>;
  using Ticket = std::uint64_t;

  WholeUtterances(ModelFiles model, std::vector<std::unique_ptr<Recogniser>> loaded, int most,
                  Sink sink);
  ~WholeUtterances();  // abandons what is waiting, waits for decodes under way
  WholeUtterances(const WholeUtterances&) = delete;
  WholeUtterances& operator=(const WholeUtterances&) = delete;

  // An utterance starting at `start` samples into the audio, whose results are cut at
  // `longestPhrase` frames and lie within its first `heard` samples (the rest is padding).
  Ticket decode(std::int64_t start, std::vector<std::int16_t> audio, int longestPhrase,
                std::int64_t heard);
  // Drops an utterance's results (decoding it only if already under way).
  void withdraw(Ticket ticket);
  // Delivers a result in its turn, after those of the utterances given before it.
  void deliver(TranscriptionResult result);
  // Delivers a result only if nothing is waiting to be delivered; whether it was.
  bool deliverIfIdle(TranscriptionResult result);
  // Waits until everything given has been delivered.
  void drain();

 private:
  struct Slot {
    enum class State { waiting, decoding, done, withdrawn } state;
    Ticket ticket;
    std::int64_t start = 0;
    std::vector<std::int16_t> audio;
    int longestPhrase = 0;
    std::int64_t heard = 0;
    std::vector<TranscriptionResult> results;
  };

  void work(std::unique_ptr<Recogniser> recogniser);
  void deliverReady();  // with mutex_ held
  std::size_t waiting() const;

  const ModelFiles model_;
  const int most_;
  Sink sink_;

  std::mutex mutex_;  // guards everything below; the sink is called with it held, in order
  std::condition_variable changed_;
  std::deque<Slot> slots_;  // in delivery order
  Ticket nextTicket_ = 0;
  int idle_ = 0;                                    // workers waiting for an utterance
  std::vector<std::unique_ptr<Recogniser>> spare_;  // loaded, no worker yet
  bool stopping_ = false;
  std::vector<std::jthread> workers_;  // last: joined first on destruction
};

// Turns a decoded utterance's words into results: phrases of at most `longest` frames as people
// write them, timed on the audio from `start` for `samples`; one empty result for no words.
std::vector<TranscriptionResult> utteranceResults(const std::vector<Recogniser::Word>& words,
                                                  std::int64_t start, std::int64_t samples,
                                                  int longest);

class Decoder {
 public:
  static constexpr int sampleRate = 16000;
  // Results are phrases of at most about 7 s: subtitles and a journal read them as sentences.
  static constexpr int longestPhraseFrames = 700;
  using Sink = std::function<void(TranscriptionResult)>;

  // Loads the model; fails with a readable reason. Utterances are decoded whole, by up to
  // `decoders` recognisers at once; with partial results, the text of an open utterance comes
  // from a running decode as it is spoken.
  static std::expected<std::unique_ptr<Decoder>, PlatformError> open(const ModelFiles& model,
                                                                     bool partialResults, Sink sink,
                                                                     int decoders = 1);
  // Loads the model and decodes half a second of near silence with it; whether that worked.
  // Damaged models can end the process instead: run this in a child process (see ModelCheck).
  static bool trialRun(const ModelFiles& model);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // Decodes more audio; results reach the sink as utterances end (and, with partial results,
  // as the hypothesis of an open utterance changes).
  void feed(std::span<const std::int16_t> samples);
  // Ends an open utterance and waits until every result has been delivered.
  void flush();
  // Samples fed so far: the position on the audio timeline.
  std::int64_t position() const { return position_; }

 private:
  Decoder(std::unique_ptr<Recogniser> running, std::unique_ptr<WholeUtterances> whole);

  void takeFrame(std::span<const std::int16_t> frame);
  void startUtterance();
  void endUtterance();
  void guessEnd();
  void reportPartial();
  void reportSilence();
  static MediaTime at(std::int64_t sample) { return MediaTime::make(sample, sampleRate); }

  void takeSamples(std::span<const std::int16_t> samples);

  std::unique_ptr<Recogniser> running_;  // live text of an open utterance; none for files
  std::unique_ptr<WholeUtterances> whole_;
  Denoiser denoiser_;
  SpeechDetector detector_;

  std::vector<std::int16_t> partialFrame_;  // samples short of a whole frame
  std::int64_t position_ = 0;               // samples fed
  std::int64_t framesSeen_ = 0;             // whole frames taken

  std::deque<std::vector<std::int16_t>> preroll_;  // recent frames while no utterance is open
  int speechRun_ = 0;

  bool inUtterance_ = false;
  std::int64_t utteranceStart_ = 0;  // sample of the utterance's first frame
  int silenceRun_ = 0;
  std::vector<std::int16_t> utterance_;  // the open utterance's audio
  std::size_t runningFed_ = 0;           // of which the running decode has had this much
  // A decode started when a pause began, in case it ends the utterance.
  std::optional<WholeUtterances::Ticket> guess_;

  std::string lastPartial_;
  std::int64_t lastReportFrame_ = 0;
};

}  // namespace vorel::linuxplatform
