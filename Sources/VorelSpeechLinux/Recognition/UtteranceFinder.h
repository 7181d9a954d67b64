// Where utterances are: speech told from the noise floor frame by frame, and the endpoint rules
// that open an utterance, guess its end at the start of a pause, withdraw the guess when speech
// goes on, and close it. Frames in, events out: no recogniser here.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "ListenConfig.h"

namespace vorel::linuxplatform {

// Energy-based speech detection over 10 ms frames, with a noise floor that follows the quietest
// recent frames. It hears the audio after noise suppression, where speech stands well above
// the floor even in a noisy room.
class SpeechDetector {
 public:
  explicit SpeechDetector(const ListenConfig& config = {}) : config_(config) {}
  bool isSpeech(std::span<const std::int16_t> frame);

 private:
  ListenConfig config_;
  double floor_ = 0;
  bool started_ = false;
};

struct UtteranceEvent {
  enum class Kind {
    opened,     // speech began: an utterance from `start` (with the audio kept before it)
    guess,      // a pause began: `audio` is the utterance so far, its pause made out to full
                // length, of which the first `heard` samples were heard
    withdrawn,  // speech went on after the guess: it was not the end
    closed,     // the utterance ended: `audio` is all of it (`heard` samples), or nothing when
                // the guess made at the start of its pause stands for it (`byGuess`); when it
                // was `cut` without a pause, the next utterance opens where it ends. A pause
                // shorter than pauseToEndMs at its end is made out to that length, past `heard`
    quiet,      // nothing has been said for a while, up to `start`
  };
  Kind kind = Kind::quiet;
  std::int64_t start = 0;  // in samples on the timeline
  std::vector<std::int16_t> audio;
  std::int64_t heard = 0;
  bool byGuess = false;
  bool cut = false;
  int pauseMs = 0;  // closed: the pause after it (0 when cut, -1 at the end of the audio)
};

// An utterance ends at a pause of pauseToEndMs, or once it is longer than longUtteranceS at a
// pause of shortPauseMs, when speech resumes after it (so that its decode has all of the pause,
// and the next utterance the end of it); one that reaches longestUtteranceS without either is
// cut at its
// quietest cutWindowMs past longUtteranceS, and the rest goes on as the next utterance. So no
// utterance is longer than longestUtteranceS, and the places are decided by the audio alone.
class UtteranceFinder {
 public:
  // With `guesses`, the end of an utterance is guessed at the start of each pause.
  explicit UtteranceFinder(bool guesses, const ListenConfig& config = {});

  // Takes one frame of audio (ListenConfig::frameSamples) and whether it is speech.
  std::vector<UtteranceEvent> take(std::span<const std::int16_t> frame, bool speech);
  // How much audio there is: an utterance closed is never reported past it (the last frame may
  // be padding).
  void setAudioLength(std::int64_t samples) { audioLength_ = samples; }
  // Closes an open utterance at the end of the audio.
  std::vector<UtteranceEvent> finish();

  bool open() const { return open_; }
  // The open utterance: where it starts, and its audio so far.
  std::int64_t utteranceStart() const { return start_; }
  std::span<const std::int16_t> utterance() const { return utterance_; }
  std::int64_t framesSeen() const { return framesSeen_; }

 private:
  // Ends the open utterance, whose last `quietFrames` are quiet.
  UtteranceEvent close(int quietFrames);
  // Ends the open utterance after its first `at` frames, the last `quietFrames` of them quiet,
  // and opens the rest as the next one at once: a closed and an opened event.
  void splitAt(std::size_t at, int quietFrames, std::vector<UtteranceEvent>& events);
  // Where to cut an utterance that has grown too long, in frames: inside its quietest stretch.
  std::size_t quietestCut() const;

  const ListenConfig config_;
  const bool guesses_;
  std::int64_t audioLength_ = INT64_MAX;
  std::int64_t framesSeen_ = 0;
  std::int64_t lastReportFrame_ = 0;
  std::deque<std::vector<std::int16_t>> preroll_;  // recent frames while no utterance is open
  int speechRun_ = 0;
  bool open_ = false;
  std::int64_t start_ = 0;  // sample of the utterance's first frame
  int silenceRun_ = 0;
  bool guessed_ = false;  // a guess stands for the open utterance's end
  std::vector<std::int16_t> utterance_;
  std::vector<double> levels_;  // of each of the utterance's frames, in dBFS
};

}  // namespace vorel::linuxplatform
