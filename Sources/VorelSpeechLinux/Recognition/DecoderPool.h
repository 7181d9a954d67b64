// Decodes utterances whole on worker threads, each with a recogniser of its own (the ones given
// first, then more made as they are needed, up to `most`), and delivers their results to the
// sink in the order the utterances were given, between results given directly. Holds at most
// two utterances a worker waiting; `decode` waits for room.
//
// Locks: mutex_ alone, and the sink is called with it held (so results leave in order); the
// sink must not call back into the pool.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Recogniser.h"
#include "SpeechPlatform.h"

namespace vorel::linuxplatform {

class DecoderPool {
 public:
  using Sink = std::function<void(TranscriptionResult)>;
  // Makes one more recogniser; nothing when it cannot (out of memory, most likely).
  using Factory = std::function<std::unique_ptr<UtteranceDecoder>()>;
  using Ticket = std::uint64_t;

  DecoderPool(std::vector<std::unique_ptr<UtteranceDecoder>> loaded, int most, Factory make,
              Sink sink);
  ~DecoderPool();  // abandons what is waiting, waits for decodes under way
  DecoderPool(const DecoderPool&) = delete;
  DecoderPool& operator=(const DecoderPool&) = delete;

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

  void work(std::unique_ptr<UtteranceDecoder> recogniser);
  void deliverReady();  // with mutex_ held
  std::size_t waiting() const;

  const int most_;
  const Factory make_;
  Sink sink_;

  std::mutex mutex_;  // guards everything below; the sink is called with it held, in order
  std::condition_variable changed_;
  std::deque<Slot> slots_;  // in delivery order
  Ticket nextTicket_ = 0;
  int idle_ = 0;                                          // workers waiting for an utterance
  std::vector<std::unique_ptr<UtteranceDecoder>> spare_;  // made, no worker yet
  bool stopping_ = false;
  std::vector<std::jthread> workers_;  // last: joined first on destruction
};

}  // namespace vorel::linuxplatform
