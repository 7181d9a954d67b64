#include "UtteranceFinder.h"

#include <algorithm>
#include <cmath>

namespace vorel::linuxplatform {
namespace {

// Makes out the pause at the end of an utterance to `pauseFrames`, repeating its last
// `quietFrames` (which are quiet): the recogniser normalises over the whole utterance, silence
// included, so an utterance ended early is decoded as it would be after the whole pause.
void makeOutPause(std::vector<std::int16_t>& audio, int quietFrames, int pauseFrames) {
  constexpr std::size_t frameSamples = ListenConfig::frameSamples;
  auto quietSamples = static_cast<std::size_t>(quietFrames) * frameSamples;
  if (quietFrames <= 0 || quietSamples > audio.size()) return;
  std::vector<std::int16_t> quiet(audio.end() - static_cast<std::ptrdiff_t>(quietSamples),
                                  audio.end());
  for (int frame = quietFrames; frame < pauseFrames; frame += quietFrames) {
    auto take = static_cast<std::size_t>(std::min(quietFrames, pauseFrames - frame)) * frameSamples;
    audio.insert(audio.end(), quiet.begin(), quiet.begin() + static_cast<std::ptrdiff_t>(take));
  }
}

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
    // Audio that starts with speech must not take the speech for the floor: the floor starts
    // no higher than a quiet room's, and rises from there if the room is louder.
    floor_ = started_ ? level : std::min(level, config_.floorAtMostDbfs);
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
      levels_.clear();
      for (const auto& kept : preroll_) {
        utterance_.insert(utterance_.end(), kept.begin(), kept.end());
        levels_.push_back(levelDbfs(kept));
      }
      preroll_.clear();
      events.push_back(event(Kind::opened, start_));
    } else if (framesSeen_ - lastReportFrame_ >= frames(config_.reportEveryMs)) {
      // Up to the frames kept before speech: they may yet belong to an utterance.
      auto kept = static_cast<std::int64_t>(preroll_.size());
      events.push_back(event(Kind::quiet, (framesSeen_ - kept) * frameSamples));
      lastReportFrame_ = framesSeen_;
    }
    return events;
  }
  if (speech && silenceRun_ >= frames(config_.shortPauseMs) &&
      static_cast<std::int64_t>(levels_.size()) >= frames(config_.longUtteranceS * 1000)) {
    // A long utterance ends at a short pause, once the pause is over: the speech after it
    // opens the next one. The pause's first guessAfterMs stay with the utterance, as they do
    // live, where the guess made then stands for it; the rest goes before the next one. The two
    // never share audio, so their results never overlap.
    int after = silenceRun_ - frames(config_.guessAfterMs);
    auto keep = static_cast<std::size_t>(std::clamp(after, 0, frames(config_.prerollMs)));
    splitAt(levels_.size() - keep, silenceRun_ - static_cast<int>(keep), events);
  }
  utterance_.insert(utterance_.end(), frame.begin(), frame.end());
  levels_.push_back(levelDbfs(frame));
  auto length = static_cast<std::int64_t>(levels_.size());
  if (speech && guessed_) {
    guessed_ = false;
    events.push_back(event(Kind::withdrawn, start_));
  }
  silenceRun_ = speech ? 0 : silenceRun_ + 1;
  int pauseToEnd = frames(config_.pauseToEndMs);
  if (silenceRun_ >= pauseToEnd) {
    events.push_back(close(silenceRun_));
  } else if (length >= frames(config_.longestUtteranceS * 1000)) {
    // No pause in time: cut inside the quietest stretch, and go on from there at once.
    if (guessed_) {
      guessed_ = false;
      events.push_back(event(Kind::withdrawn, start_));
    }
    splitAt(quietestCut(), ListenConfig::frames(config_.cutWindowMs) / 2, events);
    events[events.size() - 2].cut = true;
    events[events.size() - 2].pauseMs = 0;
  } else if (guesses_ && silenceRun_ == frames(config_.guessAfterMs) && !guessed_) {
    // Live, the final text should not wait for the pause to be long enough to end the
    // utterance: it is decoded whole from here on, and taken if the pause does end it.
    UtteranceEvent guess = event(Kind::guess, start_);
    guess.audio = utterance_;
    guess.heard = static_cast<std::int64_t>(utterance_.size());
    makeOutPause(guess.audio, silenceRun_, pauseToEnd);
    guessed_ = true;
    events.push_back(std::move(guess));
  }
  return events;
}

void UtteranceFinder::splitAt(std::size_t at, int quietFrames,
                              std::vector<UtteranceEvent>& events) {
  constexpr auto frameSamples = static_cast<std::ptrdiff_t>(ListenConfig::frameSamples);
  auto from = static_cast<std::ptrdiff_t>(at);
  std::vector<std::int16_t> rest(utterance_.begin() + from * frameSamples, utterance_.end());
  std::vector<double> restLevels(levels_.begin() + from, levels_.end());
  utterance_.resize(at * ListenConfig::frameSamples);
  events.push_back(close(quietFrames));
  open_ = true;
  start_ += static_cast<std::int64_t>(at) * ListenConfig::frameSamples;
  utterance_ = std::move(rest);
  levels_ = std::move(restLevels);
  events.push_back(event(UtteranceEvent::Kind::opened, start_));
}

std::size_t UtteranceFinder::quietestCut() const {
  auto window = static_cast<std::size_t>(ListenConfig::frames(config_.cutWindowMs));
  auto from = static_cast<std::size_t>(ListenConfig::frames(config_.longUtteranceS * 1000));
  std::size_t best = levels_.size() - window;
  double quietest = INFINITY;
  for (std::size_t at = from; at + window <= levels_.size(); ++at) {
    double power = 0;
    for (std::size_t f = at; f < at + window; ++f) power += std::pow(10.0, levels_[f] / 10);
    if (power <= quietest) {  // the later of equals: less to hear again
      quietest = power;
      best = at;
    }
  }
  return best + window / 2;
}

UtteranceEvent UtteranceFinder::close(int quietFrames) {
  open_ = false;
  lastReportFrame_ = framesSeen_;
  UtteranceEvent closed = event(UtteranceEvent::Kind::closed, start_);
  closed.pauseMs = silenceRun_ * ListenConfig::frameMs;
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
    makeOutPause(closed.audio, quietFrames, ListenConfig::frames(config_.pauseToEndMs));
  }
  utterance_ = {};
  levels_.clear();
  return closed;
}

std::vector<UtteranceEvent> UtteranceFinder::finish() {
  if (!open_) return {};
  UtteranceEvent closed = close(silenceRun_);
  closed.pauseMs = -1;
  return {std::move(closed)};
}

}  // namespace vorel::linuxplatform
