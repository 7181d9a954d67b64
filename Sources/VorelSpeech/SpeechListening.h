// Live dictation: a session that turns raw audio chunks into volatile text, final segments and
// exactly one terminal event.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "Channel.h"
#include "SpeechPlatform.h"
#include "SpeechWire.h"

namespace vorel {

// What a live session offers its handle.
class LiveListening {
 public:
  virtual ~LiveListening() = default;
  virtual void feed(std::string chunk) = 0;
  virtual void finish() = 0;
  virtual void abort() = 0;
  // Ends the session without a terminal event of its own; whether it was still open.
  virtual bool endQuietly() = 0;
};

// The handle of one live session; inert (every operation does nothing) without a session.
class LiveHandle {
 public:
  explicit LiveHandle(std::shared_ptr<LiveListening> session = nullptr)
      : session_(std::move(session)) {}

  // Hands one chunk of raw audio on; waits only while two minutes of audio are already queued.
  void feed(std::string chunk) {
    if (session_) session_->feed(std::move(chunk));
  }
  // Marks the end of the audio and returns once the session has ended and written its last
  // event.
  void finish() {
    if (session_) session_->finish();
  }
  // Ends the session with "cancelled".
  void abort() {
    if (session_) session_->abort();
  }
  // Ends the session at once without a terminal event, for the caller to write one; whether
  // it was still open (so that the caller's is the only one).
  bool endQuietly() { return session_ ? session_->endQuietly() : true; }

 private:
  std::shared_ptr<LiveListening> session_;
};

// Tells a live session when the recogniser's final results have fallen more than a minute of
// speech behind the audio fed to it. Silence never counts.
class Lag {
 public:
  static constexpr double limitSeconds = 60.0;

  // Whether a chunk of 16-bit little-endian samples is speech: its root mean square is at least
  // 0.001 of full scale (-60 dBFS).
  static bool isSpeech(std::string_view chunk);
  // Records a chunk of the given duration; true while the unheard speech is at most a minute.
  bool fed(double seconds, bool speech);
  // Records that the recogniser's results have reached this position on the audio timeline.
  void heard(double through);

 private:
  struct Mark {
    double end;
    double spoken;
  };

  std::mutex lock_;  // guards fedThrough_, spoken_ and marks_
  double fedThrough_ = 0;
  double spoken_ = 0;
  std::deque<Mark> marks_;
  double heardSpoken_ = 0;
};

// One live dictation: audio chunks in, events out, exactly one terminal event.
class SpeechSession final : public LiveListening {
 public:
  // Signed 16-bit little-endian mono at 48000 frames a second: 96000 bytes are one second.
  static AudioFormat inputFormat();
  static constexpr double bytesPerSecond = 96000.0;
  // Audio waiting to be converted, and converted audio waiting for the analyzer, each at most
  // this long: past it the sender is held back. Longer than the lag rule's minute, so that
  // speech the recogniser cannot keep up with still ends the session by that rule, while
  // silence sent faster than it is heard cannot grow the queues without bound.
  static constexpr double backlogSeconds = 120.0;

  // Starts a session: it resolves the locale and starts the recogniser in the background.
  static std::shared_ptr<SpeechSession> open(SpeechPlatform& platform, const std::string& locale,
                                             OnEvent onEvent);

  // Converts one chunk of input audio into the analyzer's format: a buffer (possibly of zero
  // frames), or nothing when the chunk could not be converted.
  static std::optional<PcmBuffer> convert(std::string_view chunk, const AudioFormat& from,
                                          AudioConverter& with, const AudioFormat& to);
  // What the converter still holds at the end of the audio, as one buffer (possibly of zero
  // frames), or nothing when the converter fails.
  static std::optional<PcmBuffer> flush(AudioConverter& with, const AudioFormat& to);

  ~SpeechSession() override;

  void feed(std::string chunk) override;
  void finish() override;
  void abort() override { end(SpeechEvent::cancelled()); }
  bool endQuietly() override { return close(nullptr); }
  // Delivers the terminal event, unless the session has already ended.
  void end(SpeechEvent event) { close(&event); }

 private:
  SpeechSession(SpeechPlatform& platform, OnEvent onEvent);

  // Runs the platform's analyzer over the session's audio until it ends (the analyzing thread).
  void analyze(Channel<std::string>& audio, const std::string& locale);
  void readResults(ResultStream& results);
  // Delivers a volatile or segments event while the session is open.
  void deliver(SpeechEvent event);
  // Ends the session, with `event` as its terminal event if there is one, unless it has already
  // ended; whether it was this call that ended it.
  bool close(const SpeechEvent* event);

  SpeechPlatform& platform_;
  std::shared_ptr<Channel<std::string>> pcm_;
  OnEvent onEvent_;
  Lag lag_;
  std::atomic<bool> ended_{false};
  std::atomic<bool> fellBehind_{false};  // set once, by the first chunk the lag rule refuses
  std::stop_source stopping_;  // requested once the session has ended: queued audio is moot
  // Lock order: emitting_ before the output channel's lock (deliveries write under it);
  // emitting_ and lock_ are never held together.
  // Lock order: emitting_ before the output's own lock (deliveries write lines while holding
  // it); lock_ is never held while emitting_ is taken.
  std::mutex emitting_;                 // guards every delivery and the setting of ended_
  std::mutex lock_;                     // guards analyzer_ and run_
  std::shared_ptr<Analyzer> analyzer_;  // guarded by lock_
  std::shared_future<void> run_;        // guarded by lock_
  // The session's threads, each started at most once and joined by the destructor: analyzing,
  // ending on lag (started by feed) and cancelling the analyzer (started by the winning end).
  std::jthread analyzing_;
  std::jthread ending_;
  std::jthread cancelling_;
};

}  // namespace vorel
