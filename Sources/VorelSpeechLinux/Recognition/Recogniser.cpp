#include "Recogniser.h"

#include <algorithm>

#include "PersonalMix.h"

namespace vorel::linuxplatform {

std::expected<std::unique_ptr<Recogniser>, PlatformError> Recogniser::open(
    const ModelFiles& model, bool partialResults, Sink sink, int decoders,
    const ListenConfig& config) {
  // Live text needs a recogniser of its own beside the one that decodes utterances whole: load
  // both at once. It decodes with the general language model alone: mixed with the writer's
  // own, decoding is much slower, and the live text would take the time the finals need.
  std::unique_ptr<Decoder> running, whole;
  ModelFiles general = withoutPersonalModel(model);
  {
    std::jthread second;
    if (partialResults) second = std::jthread([&] { running = Decoder::load(general); });
    whole = Decoder::load(model);
  }
  if (!whole || (partialResults && !running)) {
    return std::unexpected(PlatformError{"the speech engine could not load the model in " +
                                         model.acousticModel.parent_path().string()});
  }
  std::vector<std::unique_ptr<UtteranceDecoder>> loaded;
  loaded.push_back(std::move(whole));
  // A file waits for the decoders, a few utterances a decoder ahead at most. Live, the
  // running decode never waits for them: how far behind they may fall is the session's to say.
  int most = std::max(decoders, 1);
  auto pool = std::make_unique<DecoderPool>(
      std::move(loaded), most,
      [model]() -> std::unique_ptr<UtteranceDecoder> { return Decoder::load(model); },
      std::move(sink),
      partialResults ? 0
                     : ListenConfig::fileUtterancesAheadPerDecoder* static_cast<std::size_t>(most));
  return std::unique_ptr<Recogniser>(new Recogniser(config, std::move(running), std::move(pool)));
}

Recogniser::Recogniser(const ListenConfig& config, std::unique_ptr<Decoder> running,
                       std::unique_ptr<DecoderPool> pool)
    : config_(config),
      running_(std::move(running)),
      pool_(std::move(pool)),
      denoiser_(config_, /*lookBack=*/!running_),
      detector_(config_),
      finder_(/*guesses=*/running_ != nullptr, config_) {}

Recogniser::~Recogniser() = default;

void Recogniser::feed(std::span<const std::int16_t> samples) {
  position_ += static_cast<std::int64_t>(samples.size());
  finder_.setAudioLength(position_);
  takeSamples(denoiser_.process(samples));
  if (finder_.open() && running_) {
    // The running decode takes the audio in blocks of the same size however it arrived, so that
    // the same audio streamed in any pieces reads alike.
    auto block = static_cast<std::size_t>(ListenConfig::samples(config_.decodeBlockMs));
    auto utterance = finder_.utterance();
    while (utterance.size() - runningFed_ >= block) {
      running_->add(utterance.subspan(runningFed_, block));
      runningFed_ += block;
    }
    reportPartial();
  }
}

void Recogniser::takeSamples(std::span<const std::int16_t> samples) {
  constexpr std::size_t frameSamples = ListenConfig::frameSamples;
  while (!samples.empty()) {
    std::size_t take = std::min(frameSamples - partialFrame_.size(), samples.size());
    partialFrame_.insert(partialFrame_.end(), samples.begin(), samples.begin() + take);
    samples = samples.subspan(take);
    if (partialFrame_.size() == frameSamples) {
      takeFrame(partialFrame_);
      partialFrame_.clear();
    }
  }
}

void Recogniser::takeFrame(std::span<const std::int16_t> frame) {
  handle(finder_.take(frame, detector_.isSpeech(frame)));
}

void Recogniser::handle(std::vector<UtteranceEvent> events) {
  int longestPhrase = ListenConfig::frames(config_.longestPhraseMs);
  for (auto& event : events) {
    switch (event.kind) {
      case UtteranceEvent::Kind::opened:
        lastPartial_.clear();
        runningFed_ = 0;
        if (running_) running_->begin();
        break;
      case UtteranceEvent::Kind::guess:
        guess_ = pool_->guess({event.start, std::move(event.audio), longestPhrase, event.heard});
        break;
      case UtteranceEvent::Kind::withdrawn:
        if (guess_) pool_->withdraw(*guess_);
        guess_.reset();
        break;
      case UtteranceEvent::Kind::closed:
        if (running_) running_->end();
        lastPartialFrame_ = finder_.framesSeen();
        if (event.byGuess && guess_) {
          pool_->confirm(*guess_, event.pauseMs);
        } else {
          pool_->decode(
              {event.start, std::move(event.audio), longestPhrase, event.heard, event.pauseMs});
        }
        guess_.reset();
        break;
      case UtteranceEvent::Kind::quiet:
        pool_->deliver({"", {sampleTime(event.start), sampleTime(0)}, true});
        lastPartialFrame_ = finder_.framesSeen();
        break;
    }
  }
}

void Recogniser::reportPartial() {
  std::string text = running_->hypothesis();
  std::int64_t frames = finder_.framesSeen();
  if (text == lastPartial_ &&
      frames - lastPartialFrame_ < ListenConfig::frames(config_.repeatPartialMs)) {
    return;
  }
  pool_->provisional(text, finder_.utteranceStart(), frames * ListenConfig::frameSamples);
  lastPartial_ = text;
  lastPartialFrame_ = frames;
}

void Recogniser::flush() {
  takeSamples(denoiser_.rest());
  if (!partialFrame_.empty()) {
    // The last few milliseconds: pad them to a whole frame of silence so nothing is lost.
    partialFrame_.resize(ListenConfig::frameSamples, 0);
    takeFrame(partialFrame_);
    partialFrame_.clear();
  }
  handle(finder_.finish());
  pool_->drain();
}

}  // namespace vorel::linuxplatform
