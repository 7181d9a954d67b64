// Recognition of a 16 kHz 16-bit mono stream into timed results: the pipeline that wires the
// front end, the utterance finder, the PocketSphinx decoders and the decoder pool.
//
// PocketSphinx's own silence removal drops frames, so its frame numbers drift off the audio
// timeline. The recogniser therefore finds utterances itself, with an energy detector over 10 ms
// frames, and hands PocketSphinx only the utterances (with a little audio around them) with its
// silence removal off: word frames then count from the utterance's first sample, whose place on
// the timeline is known. Utterances end at pauses (long ones at shorter pauses), and none is
// longer than ten seconds, so final text comes while people talk.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Decoder.h"
#include "DecoderPool.h"
#include "FrontEnd.h"
#include "ListenConfig.h"
#include "ModelFiles.h"
#include "SpeechPlatform.h"
#include "UtteranceFinder.h"

namespace vorel::linuxplatform {

class Recogniser {
 public:
  static constexpr int sampleRate = ListenConfig::sampleRate;
  using Sink = std::function<void(TranscriptionResult)>;

  // Loads the model; fails with a readable reason. Utterances are decoded whole, by up to
  // `decoders` decoders at once; with partial results, the text of an open utterance comes
  // from a running decode as it is spoken.
  static std::expected<std::unique_ptr<Recogniser>, PlatformError> open(
      const ModelFiles& model, bool partialResults, Sink sink, int decoders = 1,
      const ListenConfig& config = {});
  ~Recogniser();
  Recogniser(const Recogniser&) = delete;
  Recogniser& operator=(const Recogniser&) = delete;

  // Decodes more audio; results reach the sink as utterances end (and, with partial results,
  // as the hypothesis of an open utterance changes).
  void feed(std::span<const std::int16_t> samples);
  // Ends an open utterance and waits until every result has been delivered.
  void flush();
  // Samples fed so far: the position on the audio timeline.
  std::int64_t position() const { return position_; }

 private:
  Recogniser(const ListenConfig& config, std::unique_ptr<Decoder> running,
             std::unique_ptr<DecoderPool> pool);

  void takeSamples(std::span<const std::int16_t> samples);
  void takeFrame(std::span<const std::int16_t> frame);
  void handle(std::vector<UtteranceEvent> events);
  void reportPartial();

  const ListenConfig config_;
  std::unique_ptr<Decoder> running_;  // live text of an open utterance; none for files
  std::unique_ptr<DecoderPool> pool_;
  Denoiser denoiser_;
  SpeechDetector detector_;
  UtteranceFinder finder_;

  std::vector<std::int16_t> partialFrame_;  // samples short of a whole frame
  std::int64_t position_ = 0;               // samples fed

  std::size_t runningFed_ = 0;  // of the open utterance, the running decode has had this much
  std::optional<DecoderPool::Ticket> guess_;  // the decode of a guessed end
  std::string lastPartial_;
  std::int64_t lastPartialFrame_ = 0;
};

}  // namespace vorel::linuxplatform
