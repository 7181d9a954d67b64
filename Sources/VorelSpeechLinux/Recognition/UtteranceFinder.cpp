#include "UtteranceFinder.h"

#include <algorithm>

namespace vorel::linuxplatform {
namespace {

UtteranceEvent event(UtteranceEvent::Kind kind, std::int64_t start) {
  UtteranceEvent made;
  made.kind = kind;
  made.start = start;
  return made;
}

}  // namespace

bool SpeechDetector::isSpeech(std::span<const std::int16_t> frame) {
  double level = levelDbfs(frame);
  if (!started_ || level < floor_) {
    floor_ = level;
    started_ = true;
  } else {
    floor_ += config_.floorRiseDbPerFrame;  // unless quieter frames pull it down
  }
  return level > std::max(floor_ + config_.speechAboveFloorDb, config_.speechAtLeastDbfs);
}

UtteranceFinder::UtteranceFinder(bool guesses, const ListenConfig& config)
    : config_(config), guesses_(guesses) {}

std::vector<UtteranceEvent> UtteranceFinder::take(std::span<const std::int16_t> frame,
                                                  bool speech) {
  using Kind = UtteranceEvent::Kind;
  constexpr auto frames = ListenConfig::frames;
  constexpr std::int64_t frameSamples = ListenConfig::frameSamples;
  std::vector<UtteranceEvent> events;
  ++framesSeen_;
  if (!open_) {
    preroll_.emplace_back(frame.begin(), frame.end());
    if (static_cast<int>(preroll_.size()) > frames(config_.prerollMs)) preroll_.pop_front();
    speechRun_ = speech ? speechRun_ + 1 : 0;
    if (speechRun_ >= frames(config_.speechToStartMs)) {
      open_ = true;
      start_ = (framesSeen_ - static_cast<std::int64_t>(preroll_.size())) * frameSamples;
      silenceRun_ = 0;
      speechRun_ = 0;
      utterance_.clear();
      for (const auto& kept : preroll_)
        utterance_.insert(utterance_.end(), kept.begin(), kept.end());
      preroll_.clear();
      events.push_back(event(Kind::opened, start_));
    } else if (framesSeen_ - lastReportFrame_ >= frames(config_.reportEveryMs)) {
      events.push_back(event(Kind::quiet, framesSeen_ * frameSamples));
      lastReportFrame_ = framesSeen_;
    }
    return events;
  }
  utterance_.insert(utterance_.end(), frame.begin(), frame.end());
  auto length = static_cast<std::int64_t>(utterance_.size()) / frameSamples;
  if (speech && guessed_) {
    guessed_ = false;
    events.push_back(event(Kind::withdrawn, start_));
  }
  silenceRun_ = speech ? 0 : silenceRun_ + 1;
  int pauseToEnd = frames(config_.pauseToEndMs);
  if (silenceRun_ >= pauseToEnd ||
      (length >= frames(config_.longUtteranceS * 1000) &&
       silenceRun_ >= frames(config_.shortPauseMs)) ||
      length >= frames(config_.longestUtteranceS * 1000)) {
    events.push_back(close());
  } else if (guesses_ && silenceRun_ == frames(config_.guessAfterMs) && !guessed_) {
    // Live, the final text should not wait for the pause to be long enough to end the
    // utterance: it is decoded whole from here on, and taken if the pause does end it. Only
    // part of the pause has been heard: the rest is made of the part heard, so that the
    // utterance is decoded as it would be once the pause had ended it (the normalisation over
    // the whole utterance counts its silence too).
    int guessAfter = frames(config_.guessAfterMs);
    UtteranceEvent guess = event(Kind::guess, start_);
    guess.audio = utterance_;
    guess.heard = static_cast<std::int64_t>(utterance_.size());
    auto& audio = guess.audio;
    std::size_t pause = static_cast<std::size_t>(guessAfter) * frameSamples;
    std::vector<std::int16_t> quiet(audio.end() - static_cast<std::ptrdiff_t>(pause), audio.end());
    for (int frame = guessAfter; frame < pauseToEnd; frame += guessAfter) {
      auto take = static_cast<std::size_t>(std::min(guessAfter, pauseToEnd - frame)) * frameSamples;
      audio.insert(audio.end(), quiet.begin(), quiet.begin() + static_cast<std::ptrdiff_t>(take));
    }
    guessed_ = true;
    events.push_back(std::move(guess));
  }
  return events;
}

UtteranceEvent UtteranceFinder::close() {
  open_ = false;
  lastReportFrame_ = framesSeen_;
  UtteranceEvent closed = event(UtteranceEvent::Kind::closed, start_);
  if (guessed_) {
    // The guess's decode stands for the utterance: the pause after it holds no words.
    guessed_ = false;
    closed.byGuess = true;
  } else {
    // Never past the audio: the last frame may be padding.
    auto samples = std::clamp<std::int64_t>(audioLength_ - start_, 0,
                                            static_cast<std::int64_t>(utterance_.size()));
    utterance_.resize(static_cast<std::size_t>(samples));
    closed.heard = samples;
    closed.audio = std::move(utterance_);
  }
  utterance_ = {};
  return closed;
}

std::vector<UtteranceEvent> UtteranceFinder::finish() {
  if (!open_) return {};
  return {close()};
}

}  // namespace vorel::linuxplatform
