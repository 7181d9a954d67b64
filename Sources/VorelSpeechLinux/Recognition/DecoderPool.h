// Decodes utterances whole on worker threads, each with a decoder of its own (the ones given
// first, then more made as they are needed, up to `most`), and delivers their results to the
// sink in the order the utterances were given, between results given directly.
//
// Live, it also keeps the provisional text: that of the utterance still being spoken, and that
// of each utterance whose results are not out yet. Each provisional result it delivers holds all
// of that text, so the provisional text never waits for a decode, and no part of it follows the
// results of the same speech.
//
// Locks: mutex_ alone, and the sink is called with it held (so results leave in order); the
// sink must not call back into the pool.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Decoder.h"
#include "SpeechPlatform.h"

namespace vorel::linuxplatform {

class DecoderPool {
 public:
  using Sink = std::function<void(TranscriptionResult)>;
  // Makes one more decoder; nothing when it cannot (out of memory, most likely).
  using Factory = std::function<std::unique_ptr<UtteranceDecoder>()>;
  using Ticket = std::uint64_t;

  // An utterance starting at `start` samples into the audio, whose results are cut at
  // `longestPhrase` frames and lie within its first `heard` samples (the rest is padding).
  struct Utterance {
    std::int64_t start = 0;
    std::vector<std::int16_t> audio;
    int longestPhrase = 0;
    std::int64_t heard = 0;
    int pauseMs = 0;  // after it: 0 when cut, -1 at the end of the audio
  };

  // With `waitingAtMost`, `decode` waits while that many utterances wait for a decoder;
  // without (0), it never waits.
  DecoderPool(std::vector<std::unique_ptr<UtteranceDecoder>> loaded, int most, Factory make,
              Sink sink, std::size_t waitingAtMost);
  ~DecoderPool();  // abandons what is waiting, waits for decodes under way
  DecoderPool(const DecoderPool&) = delete;
  DecoderPool& operator=(const DecoderPool&) = delete;

  // An utterance that has ended; the provisional text of the open one becomes its own.
  Ticket decode(Utterance utterance);
  // An utterance that may have ended: decoded now, its results held until it is confirmed.
  Ticket guess(Utterance utterance);
  // The guess stands, with a pause of `pauseMs` after it: as `decode`, with the decode already
  // under way.
  void confirm(Ticket ticket, int pauseMs);
  // Drops an utterance's results (decoding it only if already under way).
  void withdraw(Ticket ticket);
  // Delivers a result in its turn, after those of the utterances given before it.
  void deliver(TranscriptionResult result);
  // The provisional text of the open utterance, from `start` to `end` samples into the audio:
  // delivered at once, after that of the utterances whose results are not out yet.
  void provisional(std::string text, std::int64_t start, std::int64_t end);
  // Waits until everything given has been delivered.
  void drain();

 private:
  struct Slot {
    enum class State { waiting, decoding, done, withdrawn } state;
    Ticket ticket;
    Utterance utterance;
    bool held = false;        // a guess not yet confirmed
    std::string provisional;  // shown until its results are out
    std::vector<TranscriptionResult> results;
  };

  Ticket add(Utterance utterance, bool held);  // with mutex_ held
  void work(std::unique_ptr<UtteranceDecoder> recogniser);
  void deliverReady();  // with mutex_ held
  // With mutex_ held: the provisional text, `always`, or when there is some that was not shown.
  void deliverProvisional(bool always);
  std::size_t waiting() const;  // with mutex_ held

  const int most_;
  const Factory make_;
  const std::size_t waitingAtMost_;
  Sink sink_;

  std::mutex mutex_;  // guards everything below; the sink is called with it held, in order
  std::condition_variable changed_;
  std::deque<Slot> slots_;  // in delivery order
  Ticket nextTicket_ = 0;
  std::string current_;  // provisional text of the open utterance
  std::int64_t currentStart_ = 0, currentEnd_ = 0;
  std::string shown_;                                     // the provisional text last delivered
  Sentences sentences_;                                   // the text delivered so far, as sentences
  int idle_ = 0;                                          // workers waiting for an utterance
  std::vector<std::unique_ptr<UtteranceDecoder>> spare_;  // made, no worker yet
  bool stopping_ = false;
  std::vector<std::jthread> workers_;  // last: joined first on destruction
};

}  // namespace vorel::linuxplatform
