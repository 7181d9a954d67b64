// Everything PocketSphinx: loading a model (one load at a time, the library's log off),
// decoding an utterance whole, a running decode for the text of an utterance still being
// spoken, and the trial run that proves a model loads.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ModelFiles.h"
#include "Transcript.h"

struct ps_decoder_s;

namespace vorel::linuxplatform {

// What decodes an utterance whole: a decoder, or a test's stand-in for one.
class UtteranceDecoder {
 public:
  virtual ~UtteranceDecoder() = default;
  // The utterance's words, normalised over all of it as the model asks; nothing when the
  // recogniser failed.
  virtual std::optional<std::vector<RecognisedWord>> decodeWhole(
      std::span<const std::int16_t> utterance) = 0;
};

// One loaded PocketSphinx decoder.
class Decoder final : public UtteranceDecoder {
 public:
  static std::unique_ptr<Decoder> load(const ModelFiles& model);
  // Loads the model and decodes half a second of near silence with it; whether that worked.
  // Damaged models can end the process instead: run this in a child process (see ModelCheck).
  static bool trialRun(const ModelFiles& model);
  ~Decoder() override;
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  std::optional<std::vector<RecognisedWord>> decodeWhole(
      std::span<const std::int16_t> utterance) override;

  // A running decode, normalised as it goes: for the text of an utterance still being spoken.
  void begin();
  void add(std::span<const std::int16_t> samples);
  std::string hypothesis();
  void end();

 private:
  explicit Decoder(ps_decoder_s* ps) : ps_(ps) {}
  std::vector<RecognisedWord> words();

  ps_decoder_s* ps_;
  bool running_ = false;
};

}  // namespace vorel::linuxplatform
